#pragma once

// JsonMap: the request and reply record, a flat JSON object held as at most
// 128 key / text pairs sorted by key without regard to case. The service and
// the adapter library share this header: the adapter (a separate shared
// library with its own copy of this module) reads maps that the service
// built and passes by pointer, so the record itself is plain C, its strings
// on the C heap. C++ callers hold maps through JsonMapPtr and never free by
// hand.
//
// Per-key flag keys (K is the key, the flag's value "true" in any case):
//   K_CorvantixEncryptFlag  K is hex of AES-256-CBC cipher text under the
//                           share secret and the fixed IV
//   K_CorvantixFlag         every "*" in K stands for a backslash
//   K_CorvantixSlashFlag    every "==CorvantixSlash==" stands for a backslash
//   K_CorvantixBase64Flag   K is Base64, "+", "/", "=" possibly %-escaped
//   K_CorvantixHide         K is masked in the parameter log
// The first four are tried in this order; the first that is set decides.

#include "common/ResultCode.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

inline constexpr int kJsonMapMaxEntries = 128;

inline constexpr std::string_view kJsonEncryptFlag = "_CorvantixEncryptFlag";
inline constexpr std::string_view kJsonStarFlag = "_CorvantixFlag";
inline constexpr std::string_view kJsonSlashFlag = "_CorvantixSlashFlag";
inline constexpr std::string_view kJsonBase64Flag = "_CorvantixBase64Flag";
inline constexpr std::string_view kJsonHideFlag = "_CorvantixHide";
inline constexpr std::string_view kJsonShareSecretKey = "Corvantix_share_secret";
// The share secret's first bytes are the AES-256 key; a shorter one is refused.
inline constexpr std::size_t kJsonShareSecretMin = 32;

struct JsonMapEntry {
    char* key;                  // as it stood between the quotes
    char* textValue;            // or null
    unsigned char* binaryValue; // or null; never set here, never freed by the map
    std::uint32_t binaryLength;
};

struct JsonMap {
    JsonMapEntry entries[kJsonMapMaxEntries]; // 0 .. count-1 in use, sorted; the rest zero
    char* rawText;                            // the parsed text; null for a built map
    std::int32_t count;
};

static_assert(std::is_standard_layout_v<JsonMap> && std::is_trivially_copyable_v<JsonMap>);

// Frees every key and text value (wiped first: values may be PINs), the raw
// text and the map. Null does nothing.
void freeJsonMap(JsonMap* map) noexcept;

struct JsonMapDeleter {
    void operator()(JsonMap* map) const noexcept { freeJsonMap(map); }
};
using JsonMapPtr = std::unique_ptr<JsonMap, JsonMapDeleter>;

// A zero-filled map; null when memory runs out (logged).
JsonMapPtr newJsonMap();

// -1, 0, 1 by case-insensitive key order; 100 when either is null.
int compareJsonMapEntry(const JsonMapEntry* a, const JsonMapEntry* b);

// The value of key among entries low .. high: the text value, or the bytes of
// a binary value; nullopt when missing. A miss with the key-check mode on is
// logged and sets the key-check error, unless the key holds "Corvantix" or
// "topui".
std::optional<std::string> BinarySearchCorvantixJsonMap(const JsonMap* map, int low, int high,
                                                        std::string_view key);

// Tokenises with jsmn (the root object and at most 128 pairs); null for text that is
// not an object of 1 to 128 pairs. Keys stay as written, values un-escaped.
JsonMapPtr parseJsonMap(std::optional<std::string_view> json);

// Sets key (any case; the first spelling stays) to text; a 129th key is
// refused and the map stays as it was. Always 0.
int addJsonMapValue(JsonMap* map, std::string_view key, std::optional<std::string_view> text);
// "result" = code in decimal.
void setJsonMapResult(JsonMap* map, int code);

// {"key": "<Base64 of value>", ...} in key order, entries without a text
// value left out.
std::optional<std::string> jsonMapToString(const JsonMap* map);

// The value decoded by its key's flag keys; a failed decoding gives the raw
// value (logged).
std::string getDecodedValue(const JsonMap* map, std::string_view key, std::string_view rawValue);
// The decoded value; nullopt when the key is missing.
std::optional<std::string> getJsonMapValue(const JsonMap* map, std::string_view key);
// "CorvantixMode" / "timeout": "true" 1, "false" 0, else the leading decimal
// number (0 when none or missing).
int getCorvantixMode(const JsonMap* map);
int getJsonMapTimeout(const JsonMap* map);
// True exactly when the decoded value is "true" in any case.
bool getJsonMapBool(const JsonMap* map, std::string_view key);

// Logs every entry while logging is on, masking PINs, passwords, hidden keys
// and the share secret.
void displayParameter(const JsonMap* map);

// Only \r, \n, \t, \u000f, \u000e, \u001b and \" are un-escaped, in that order.
std::optional<std::string> unescapeJsonText(std::optional<std::string_view> input);

// The adapter's key check: while on, a missing key is logged and recorded.
void setJsonMapKeyCheck(bool on);
int jsonMapKeyCheckError();
void setJsonMapKeyCheckError(int error);

// The IV of values sent enciphered under the share secret; the page uses the
// same one.
std::array<std::uint8_t, 16> jsonMapFixedIv();
