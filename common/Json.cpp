#include "common/Json.h"

#include "common/AES.h"
#include "common/Cipher.h"
#include "common/Tool.h"
#include "common/ToolLog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#define JSMN_STATIC
#include <jsmn.h>

namespace {

// The root object and 128 pairs.
constexpr int kJsonMapTokens = 2 * kJsonMapMaxEntries + 1;

bool keyCheckMode = false;
int keyCheckError = 0;
// The parameter log decodes hide flags, and decoding an enciphered value
// logs the parameters: a nested call would never end.
bool displaying = false;

int lowerByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

int compareIgnoreCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = lowerByte(a[i]);
        const int y = lowerByte(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return compareIgnoreCase(a, b) == 0;
}

std::string_view textOf(const char* p) {
    return p == nullptr ? std::string_view{} : std::string_view(p);
}

int entryCount(const JsonMap& map) {
    return std::clamp<int>(map.count, 0, kJsonMapMaxEntries);
}

// A NUL-terminated copy on the C heap; null when memory runs out.
char* copyText(std::string_view text) {
    auto* p = static_cast<char*>(std::malloc(text.size() + 1));
    if (p != nullptr) {
        std::memcpy(p, text.data(), text.size());
        p[text.size()] = '\0';
    }
    return p;
}

void freeText(char* p) {
    if (p != nullptr) {
        secureWipe(p, std::strlen(p));
        std::free(p);
    }
}

void wipe(std::string& text) {
    secureWipe(text.data(), text.size());
}

void sortEntries(JsonMap& map) {
    std::stable_sort(map.entries, map.entries + entryCount(map),
                     [](const JsonMapEntry& a, const JsonMapEntry& b) {
                         return compareJsonMapEntry(&a, &b) < 0;
                     });
}

std::optional<std::string> lookup(const JsonMap* map, std::string_view key) {
    if (map == nullptr) {
        return std::nullopt;
    }
    return BinarySearchCorvantixJsonMap(map, 0, entryCount(*map) - 1, key);
}

bool flagIsSet(const JsonMap* map, std::string_view key, std::string_view flag) {
    std::string name(key);
    name.append(flag);
    auto value = lookup(map, name);
    if (!value) {
        return false;
    }
    const bool set = equalsIgnoreCase(*value, "true");
    wipe(*value);
    return set;
}

// atoi without its overflow: the leading decimal number, clamped to int.
int leadingNumber(const std::string& text) {
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

int integerValue(const JsonMap* map, std::string_view key) {
    auto value = getJsonMapValue(map, key);
    if (!value) {
        return 0;
    }
    if (equalsIgnoreCase(*value, "true")) {
        return 1;
    }
    if (equalsIgnoreCase(*value, "false")) {
        return 0;
    }
    return leadingNumber(*value);
}

std::string decryptWithShareSecret(const JsonMap* map, std::string_view rawValue) {
    displayParameter(map);
    logNormal("find key: ", kJsonShareSecretKey);
    auto secret = lookup(map, kJsonShareSecretKey);
    if (!secret) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    if (secret->size() < kJsonShareSecretMin) {
        // Only the first 32 bytes are the key; fewer would be read past.
        logWarningInt("Share secret too short: ", static_cast<long>(secret->size()));
        wipe(*secret);
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    const std::string cipher = hexToBytes(rawValue);
    const auto iv = jsonMapFixedIv();
    auto plain =
        decryptAesCbc(std::span<const std::uint8_t>(
                          reinterpret_cast<const std::uint8_t*>(cipher.data()), cipher.size()),
                      std::span<const std::uint8_t, 32>(
                          reinterpret_cast<const std::uint8_t*>(secret->data()), 32),
                      iv);
    wipe(*secret);
    if (!plain) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    return std::move(*plain);
}

} // namespace

// ---- Record -------------------------------------------------------------------

void freeJsonMap(JsonMap* map) noexcept {
    if (map == nullptr) {
        return;
    }
    for (int i = 0; i < entryCount(*map); ++i) {
        freeText(map->entries[i].key);
        freeText(map->entries[i].textValue);
    }
    freeText(map->rawText);
    std::free(map);
}

JsonMapPtr newJsonMap() {
    auto* map = static_cast<JsonMap*>(std::calloc(1, sizeof(JsonMap)));
    if (map == nullptr) {
        CORVANTIX_ALLOCATION_FAILURE();
    }
    return JsonMapPtr(map);
}

int compareJsonMapEntry(const JsonMapEntry* a, const JsonMapEntry* b) {
    if (a == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputA");
    }
    if (b == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputB");
    }
    if (a == nullptr || b == nullptr) {
        return 100;
    }
    return compareIgnoreCase(textOf(a->key), textOf(b->key));
}

std::optional<std::string> BinarySearchCorvantixJsonMap(const JsonMap* map, int low, int high,
                                                        std::string_view key) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    const int count = entryCount(*map);
    low = std::max(low, 0);
    high = std::min(high, count - 1);
    const JsonMapEntry* found = nullptr;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const int order = compareIgnoreCase(textOf(map->entries[mid].key), key);
        if (order == 0) {
            found = &map->entries[mid];
            break;
        }
        if (order < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    if (found == nullptr) {
        if (keyCheckMode && key.find("Corvantix") == std::string_view::npos &&
            key.find("topui") == std::string_view::npos) {
            logWarning("Json map key not found: ", key);
            keyCheckError = kResultKeyMissing;
        }
        return std::nullopt;
    }
    if (found->textValue != nullptr) {
        return std::string(found->textValue);
    }
    if (found->binaryValue != nullptr) {
        return std::string(reinterpret_cast<const char*>(found->binaryValue), found->binaryLength);
    }
    return std::nullopt;
}

JsonMapPtr parseJsonMap(std::optional<std::string_view> json) {
    if (!json) {
        CORVANTIX_NULL_PARAMETER("inputJsonStr");
        return nullptr;
    }
    jsmn_parser parser;
    jsmn_init(&parser);
    std::array<jsmntok_t, kJsonMapTokens> tokens{};
    const int n = jsmn_parse(&parser, json->data(), json->size(), tokens.data(),
                             static_cast<unsigned>(tokens.size()));
    if (n < 2) {
        logError("jsmn parse error");
        // A text that does not parse cannot be masked key by key, and a PIN
        // may stand anywhere in it: only its length is logged.
        logError("Error json: ", "length " + std::to_string(json->size()));
        return nullptr;
    }
    auto map = newJsonMap();
    if (!map) {
        return nullptr;
    }
    const auto slice = [&](const jsmntok_t& t) {
        if (t.start < 0 || t.end < t.start || static_cast<std::size_t>(t.end) > json->size()) {
            return std::string_view{};
        }
        return json->substr(static_cast<std::size_t>(t.start),
                            static_cast<std::size_t>(t.end - t.start));
    };
    // Pairs from the last back to the first; nesting is not followed.
    bool complete = true;
    for (int k = n - 2; k >= 1 && map->count < kJsonMapMaxEntries; k -= 2) {
        JsonMapEntry& entry = map->entries[map->count];
        entry.key = copyText(slice(tokens[static_cast<std::size_t>(k)]));
        if (entry.key == nullptr) {
            CORVANTIX_ALLOCATION_FAILURE();
            complete = false;
            break;
        }
        std::string value = *unescapeJsonText(slice(tokens[static_cast<std::size_t>(k + 1)]));
        entry.textValue = copyText(value);
        wipe(value);
        ++map->count;
        if (entry.textValue == nullptr) {
            CORVANTIX_ALLOCATION_FAILURE();
            complete = false;
            break;
        }
    }
    sortEntries(*map);
    if (complete) {
        map->rawText = copyText(*json);
    }
    return map;
}

int addJsonMapValue(JsonMap* map, std::string_view key, std::optional<std::string_view> text) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return 0;
    }
    const int count = entryCount(*map);
    for (int i = 0; i < count; ++i) {
        JsonMapEntry& entry = map->entries[i];
        if (entry.key != nullptr && equalsIgnoreCase(entry.key, key)) {
            freeText(entry.textValue);
            entry.textValue = text ? copyText(*text) : nullptr;
            if (text && entry.textValue == nullptr) {
                CORVANTIX_ALLOCATION_FAILURE();
            }
            return 0;
        }
    }
    if (count >= kJsonMapMaxEntries) {
        return 0;
    }
    char* keyCopy = copyText(key);
    char* textCopy = text ? copyText(*text) : nullptr;
    if (keyCopy == nullptr || (text && textCopy == nullptr)) {
        CORVANTIX_ALLOCATION_FAILURE();
        freeText(keyCopy);
        freeText(textCopy);
        return 0;
    }
    map->entries[count] = JsonMapEntry{keyCopy, textCopy, nullptr, 0};
    map->count = count + 1;
    sortEntries(*map);
    return 0;
}

void setJsonMapResult(JsonMap* map, int code) {
    addJsonMapValue(map, "result", std::to_string(code));
}

std::optional<std::string> jsonMapToString(const JsonMap* map) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    std::string out = "{";
    bool first = true;
    for (int i = 0; i < entryCount(*map); ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.textValue == nullptr) {
            continue;
        }
        if (!first) {
            out += ", ";
        }
        first = false;
        out.append("\"").append(textOf(entry.key)).append("\": \"");
        out.append(base64Encode(entry.textValue)).append("\"");
    }
    out += "}";
    return out;
}

// ---- Getters ------------------------------------------------------------------

std::string getDecodedValue(const JsonMap* map, std::string_view key, std::string_view rawValue) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::string(rawValue);
    }
    if (flagIsSet(map, key, kJsonEncryptFlag)) {
        return decryptWithShareSecret(map, rawValue);
    }
    if (flagIsSet(map, key, kJsonStarFlag)) {
        return replaceString(rawValue, "*", "\\");
    }
    if (flagIsSet(map, key, kJsonSlashFlag)) {
        return replaceString(rawValue, "==CorvantixSlash==", "\\");
    }
    if (flagIsSet(map, key, kJsonBase64Flag)) {
        return decodeEscapedBase64(rawValue);
    }
    return std::string(rawValue);
}

std::optional<std::string> getJsonMapValue(const JsonMap* map, std::string_view key) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    auto raw = lookup(map, key);
    if (!raw) {
        return std::nullopt;
    }
    std::string decoded = getDecodedValue(map, key, *raw);
    wipe(*raw);
    return decoded;
}

int getCorvantixMode(const JsonMap* map) {
    return integerValue(map, "CorvantixMode");
}

int getJsonMapTimeout(const JsonMap* map) {
    return integerValue(map, "timeout");
}

bool getJsonMapBool(const JsonMap* map, std::string_view key) {
    auto value = getJsonMapValue(map, key);
    return value && equalsIgnoreCase(*value, "true");
}

void displayParameter(const JsonMap* map) {
    if (!logWritersOn() || displaying) {
        return;
    }
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return;
    }
    displaying = true;
    logNormal("= DISPLAY PARAMETER", " ===== start =====");
    for (int i = 0; i < entryCount(*map); ++i) {
        const JsonMapEntry& entry = map->entries[i];
        const std::string_view key = textOf(entry.key);
        const std::string message = std::string(key) + ": ";
        if (entry.textValue == nullptr) {
            logNormal(message, entry.binaryValue != nullptr ? "[binary_value]" : "[empty]");
            continue;
        }
        const std::string_view value = entry.textValue;
        const std::string lower = toLowerString(message);
        bool masked = false;
        if (equalsIgnoreCase(key, kJsonShareSecretKey)) {
            masked = true; // a key: never in a log
        } else if (lower.find("corvantix") != std::string::npos) {
            masked = false;
        } else if (lower.find("pin") != std::string::npos ||
                   lower.find("pw") != std::string::npos ||
                   lower.find("pass") != std::string::npos) {
            masked = true;
        } else {
            masked = getJsonMapBool(map, std::string(key) + std::string(kJsonHideFlag));
        }
        logNormal(message, masked ? std::string(value.size(), '*') : std::string(value));
    }
    logNormal("= DISPLAY PARAMETER", " ===== end =====");
    displaying = false;
}

// ---- Texts ----------------------------------------------------------------------

std::optional<std::string> unescapeJsonText(std::optional<std::string_view> input) {
    if (!input) {
        CORVANTIX_NULL_PARAMETER("inputData");
        return std::nullopt;
    }
    std::string text = replaceString(*input, "\\r", "\r");
    text = replaceString(text, "\\n", "\n");
    text = replaceString(text, "\\t", "\t");
    text = replaceString(text, "\\u000f", "\x0f");
    text = replaceString(text, "\\u000e", "\x0e");
    text = replaceString(text, "\\u001b", "\x1b");
    text = replaceString(text, "\\\"", "\"");
    return text;
}

// ---- Key check and IV --------------------------------------------------------------

void setJsonMapKeyCheck(bool on) {
    keyCheckMode = on;
}

int jsonMapKeyCheckError() {
    return keyCheckError;
}

void setJsonMapKeyCheckError(int error) {
    keyCheckError = error;
}

std::array<std::uint8_t, 16> jsonMapFixedIv() {
    // Built at run time rather than kept as one byte string in the program.
    static constexpr std::uint32_t kWords[4] = {0x5A17C3E9, 0x0B4D8F62, 0xE1297A5C, 0x3C86D04B};
    std::array<std::uint8_t, 16> iv{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            iv[4 * i + b] = static_cast<std::uint8_t>(kWords[i] >> (24 - 8 * b));
        }
    }
    return iv;
}
