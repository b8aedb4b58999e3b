#pragma once

// The toolbox of texts every program links: text helpers, numbers, Base64, a
// flat JSON lookup, version comparison, random identifiers. The log writers
// are in ToolLog.h, the routines that touch the operating system in
// ToolSystem.h.

#include "common/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kProductWord = "VondelCorvantix";

// ---- Texts ---------------------------------------------------------------

// Every occurrence, left to right without overlap; an empty pattern changes nothing.
std::string replaceString(std::string_view text, std::string_view pattern,
                          std::string_view replacement);
std::string removeExeExtension(std::string_view path);
bool startsWith(std::optional<std::string_view> prefix, std::optional<std::string_view> mainText);
// Characters from .. to - 1, clipped to the text.
std::string subString(std::string_view text, std::size_t from, std::size_t to);
std::string toLowerString(std::string_view text); // ASCII A-Z only
std::vector<std::string> splitString(std::string_view text, std::string_view delimiter);
// 16 characters: blanks, then the text; nullopt for a text over 16 characters.
std::optional<std::string> rightAlignText(std::optional<std::string_view> text);

// ---- Numbers -------------------------------------------------------------

// Decimal; strict allows only digits and a leading "-". Leaves the
// conversion status behind (kResultSuccess, kResultNotNumber, kResultNoText)
// for the calling thread only: isConvertError() and conversionStatus() read
// the status of the calling thread's last conversion.
std::int32_t stringToLong(std::optional<std::string_view> text, bool strict);
std::int32_t hexStringToLong(std::optional<std::string_view> text);
bool isConvertError();
int conversionStatus();
// length / 2 bytes; any character that is not a hex digit counts as 0.
std::string hexToBytes(std::string_view hex);

// ---- Base64 and JSON -----------------------------------------------------

std::string base64Encode(std::string_view bytes);
// Decodes up to the first character outside the alphabet ("=" included).
std::string base64Decode(std::string_view text);
// "%2B", "%2F" and "%3D" back to "+", "/" and "=", then Base64.
std::string decodeEscapedBase64(std::string_view text);
// Flat-object lookup, key compared without regard to case; nullopt when the
// key is absent or the text is not JSON.
std::optional<std::string> getJsonValue(std::optional<std::string_view> json, std::string_view key);

// ---- Versions, random values, identifiers --------------------------------

// -1 older, 0 equal, 1 newer, 2 differs as text, 3 different component
// counts, kResultNotAvailable, kResultBadArgument.
int compareVersion(std::optional<std::string_view> a, std::optional<std::string_view> b);
bool getRandomBytes(std::uint8_t* buffer, std::size_t count);
// Eight characters of 0-9A-Z and "_SID".
std::string generateSessionId();
