#include "common/Tool.h"

#include "common/ToolLog.h"
#include "platform/random/Random.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#define JSMN_STATIC
#include <jsmn.h>

namespace {

// Each thread reads the status its own last conversion left: the message
// receiver decodes time values while a request thread compares versions.
thread_local int convertStatus = kResultSuccess;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kSessionAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kJsonValueTokens = 64;
constexpr std::size_t kVersionMax = 511;

// Each byte's place in the alphabet, or -1: one look-up per character of a
// posted request instead of a chain of range tests.
constexpr std::array<signed char, 256> kBase64Values = [] {
    std::array<signed char, 256> values{};
    values.fill(-1);
    for (std::size_t i = 0; i < kBase64Alphabet.size(); ++i) {
        values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
    }
    return values;
}();

int base64Value(char c) {
    return kBase64Values[static_cast<unsigned char>(c)];
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;
}

std::int32_t convert(std::optional<std::string_view> text, bool strict, int base) {
    convertStatus = kResultSuccess;
    if (!text) {
        convertStatus = kResultNoText;
        return 0;
    }
    if (strict) {
        for (std::size_t i = 0; i < text->size(); ++i) {
            const char c = (*text)[i];
            if (!((c >= '0' && c <= '9') || (c == '-' && i == 0))) {
                convertStatus = kResultNotNumber;
                return 0;
            }
        }
    }
    const std::string copy(*text);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(copy.c_str(), &end, base);
    if (end == copy.c_str() || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        convertStatus = kResultNotNumber;
        return 0;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

// ---- Texts ---------------------------------------------------------------

std::string replaceString(std::string_view text, std::string_view pattern,
                          std::string_view replacement) {
    if (pattern.empty()) {
        return std::string(text);
    }
    std::string out;
    std::size_t at = 0;
    for (;;) {
        const auto hit = text.find(pattern, at);
        if (hit == std::string_view::npos) {
            out.append(text.substr(at));
            return out;
        }
        out.append(text.substr(at, hit - at)).append(replacement);
        at = hit + pattern.size();
    }
}

std::string removeExeExtension(std::string_view path) {
    return replaceString(path, ".exe", "");
}

bool startsWith(std::optional<std::string_view> prefix, std::optional<std::string_view> mainText) {
    if (!prefix) {
        return true;
    }
    if (!mainText) {
        CORVANTIX_NULL_PARAMETER("inputMainString");
        return false;
    }
    return mainText->starts_with(*prefix);
}

std::string subString(std::string_view text, std::size_t from, std::size_t to) {
    if (from >= text.size() || to <= from) {
        return {};
    }
    return std::string(text.substr(from, to - from));
}

std::string toLowerString(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::vector<std::string> splitString(std::string_view text, std::string_view delimiter) {
    std::vector<std::string> out;
    if (text.empty() || delimiter.empty()) {
        return out;
    }
    std::size_t at = 0;
    for (;;) {
        const auto hit = text.find(delimiter, at);
        if (hit == std::string_view::npos) {
            out.emplace_back(text.substr(at));
            return out;
        }
        out.emplace_back(text.substr(at, hit - at));
        at = hit + delimiter.size();
    }
}

std::optional<std::string> rightAlignText(std::optional<std::string_view> text) {
    if (!text) {
        CORVANTIX_NULL_PARAMETER("MainText");
        return std::nullopt;
    }
    if (text->size() > 16) {
        return std::nullopt;
    }
    std::string out(16 - text->size(), ' ');
    out.append(*text);
    return out;
}

// ---- Numbers -------------------------------------------------------------

std::int32_t stringToLong(std::optional<std::string_view> text, bool strict) {
    return convert(text, strict, 10);
}

std::int32_t hexStringToLong(std::optional<std::string_view> text) {
    return convert(text, false, 16);
}

bool isConvertError() {
    const int status = convertStatus;
    return status == kResultNotNumber || status == kResultNoText;
}

int conversionStatus() {
    return convertStatus;
}

std::string hexToBytes(std::string_view hex) {
    std::string out(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>((hexValue(hex[2 * i]) << 4) | hexValue(hex[2 * i + 1]));
    }
    return out;
}

// ---- Base64 and JSON -----------------------------------------------------

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

namespace {

// Base64 up to the first character outside the alphabet; with escapes on,
// "%2B", "%2F" and "%3D" read as "+", "/" and "=". In one pass: no escape's
// replacement makes another escape.
std::string decodeBase64(std::string_view text, bool escapes) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t n = 0;
    unsigned buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (escapes && c == '%' && i + 2 < text.size()) {
            const std::string_view code = text.substr(i + 1, 2);
            if (code == "2B" || code == "2F" || code == "3D") {
                c = code == "2B" ? '+' : code == "2F" ? '/' : '=';
                i += 2;
            }
        }
        const int v = base64Value(c);
        if (v < 0) {
            break;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[n++] = static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    out.resize(n);
    return out;
}

} // namespace

std::string base64Decode(std::string_view text) {
    return decodeBase64(text, false);
}

std::string decodeEscapedBase64(std::string_view text) {
    return decodeBase64(text, true);
}

std::optional<std::string> getJsonValue(std::optional<std::string_view> json,
                                        std::string_view key) {
    if (!json) {
        CORVANTIX_NULL_PARAMETER("inputJSONObj");
        return std::nullopt;
    }
    jsmn_parser parser;
    jsmn_init(&parser);
    std::array<jsmntok_t, kJsonValueTokens> tokens{};
    const int count = jsmn_parse(&parser, json->data(), json->size(), tokens.data(), tokens.size());
    if (count < 0) {
        return std::nullopt;
    }
    const std::string wanted = toLowerString(key);
    const auto text = [&](const jsmntok_t& t) {
        if (t.start < 0 || t.end < t.start || static_cast<std::size_t>(t.end) > json->size()) {
            return std::string_view{};
        }
        return json->substr(static_cast<std::size_t>(t.start),
                            static_cast<std::size_t>(t.end - t.start));
    };
    for (int i = 1; i < count; i += 2) {
        const auto name = text(tokens[static_cast<std::size_t>(i)]);
        if (!name.empty() && toLowerString(name) == wanted) {
            if (i + 1 >= count) {
                return std::nullopt;
            }
            return replaceString(text(tokens[static_cast<std::size_t>(i + 1)]), "\\\"", "\"");
        }
    }
    return std::nullopt;
}

// ---- Versions, random values, identifiers --------------------------------

int compareVersion(std::optional<std::string_view> a, std::optional<std::string_view> b) {
    if (!a) {
        CORVANTIX_NULL_PARAMETER("inputVersionA");
    }
    if (!b) {
        CORVANTIX_NULL_PARAMETER("inputVersionB");
    }
    if (!a || !b) {
        return kResultNotAvailable;
    }
    const auto components = [](std::string_view version) {
        std::string text;
        for (const char c : version.substr(0, kVersionMax)) {
            if (c == ' ' || c == '\t') {
                continue;
            }
            text += c == '.' ? ',' : c;
        }
        return splitString(text, ",");
    };
    const auto left = components(*a);
    const auto right = components(*b);
    if (left.size() != right.size()) {
        return 3;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i].empty() || right[i].empty()) {
            return kResultBadArgument;
        }
    }
    const auto logTextMode = [](const std::string& x, const std::string& y) {
        logWarning("Version check: ", "String compare mode");
        logWarning(" - Version A: ", x);
        logWarning(" - Version B: ", y);
    };
    for (std::size_t i = 0; i < left.size(); ++i) {
        const auto x = stringToLong(left[i], true);
        if (isConvertError()) {
            logTextMode(left[i], right[i]);
            if (left[i] != right[i]) {
                return 2;
            }
            continue;
        }
        const auto y = stringToLong(right[i], true);
        if (isConvertError()) {
            if (left[i] != right[i]) {
                logTextMode(left[i], right[i]);
                return 2;
            }
            continue;
        }
        if (x < y) {
            return -1;
        }
        if (x > y) {
            return 1;
        }
    }
    return 0;
}

bool getRandomBytes(std::uint8_t* buffer, std::size_t count) {
    return platform::randomBytes(buffer, count);
}

std::string generateSessionId() {
    std::array<std::uint8_t, 8> bytes{};
    if (!getRandomBytes(bytes.data(), bytes.size())) {
        bytes.fill(0);
    }
    std::string id;
    for (const auto b : bytes) {
        id += kSessionAlphabet[b % kSessionAlphabet.size()];
    }
    return id + "_SID";
}
