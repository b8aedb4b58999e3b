#include "control/crypto/QxCAPICoder.h"

#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace {

constexpr const char* kModule = "QxCAPICoder";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineLength = 64;
constexpr std::size_t kMaxTypeName = 110;
constexpr std::size_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

constexpr std::uint8_t kInvalid = 0xFF;

// Character to 6-bit value, kInvalid outside the alphabet. Built on first
// use; a function-local static is safe when first used by two threads.
const std::array<std::uint8_t, 256>& reverseTable() {
    static const std::array<std::uint8_t, 256> table = [] {
        std::array<std::uint8_t, 256> t{};
        t.fill(kInvalid);
        for (std::uint8_t i = 0; i < 64; ++i) {
            t[static_cast<unsigned char>(kAlphabet[i])] = i;
        }
        return t;
    }();
    return table;
}

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// 4 characters for every 3 bytes or part of them.
std::size_t base64Chars(std::size_t length) {
    return (length + 2) / 3 * 4;
}

// The characters plus one line feed for each started line of 64.
std::size_t base64LinesSize(std::size_t length) {
    const std::size_t chars = base64Chars(length);
    return chars + (chars + kLineLength - 1) / kLineLength;
}

// Writes the Base64 characters of data, a line feed after every 64 of them
// and after the last when lineBreaks is set. out has room for all of it.
void writeBase64(const std::uint8_t* data, std::size_t length, char* out, bool lineBreaks) {
    std::size_t column = 0;
    const auto put = [&](char c) {
        *out++ = c;
        if (lineBreaks && ++column == kLineLength) {
            *out++ = '\n';
            column = 0;
        }
    };
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t v =
            (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        put(kAlphabet[(v >> 18) & 0x3F]);
        put(kAlphabet[(v >> 12) & 0x3F]);
        put(kAlphabet[(v >> 6) & 0x3F]);
        put(kAlphabet[v & 0x3F]);
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (two ? data[i + 1] << 8 : 0);
        put(kAlphabet[(v >> 18) & 0x3F]);
        put(kAlphabet[(v >> 12) & 0x3F]);
        put(two ? kAlphabet[(v >> 6) & 0x3F] : '=');
        put('=');
    }
    if (lineBreaks && column != 0) {
        *out++ = '\n';
    }
}

// The output rule for the two-argument form: on 0, *out has room for size
// bytes (and the extra ones when allocated here).
int prepare(char** out, std::uint32_t* outLength, std::size_t size, std::size_t extra,
            bool* allocated, const char* function, int line) {
    QxBlob blob{*outLength, reinterpret_cast<std::uint8_t*>(*out)};
    const int rc = qxxCAPIPrepareOutput(&blob, size, extra, allocated);
    if (rc == kQxBufferTooSmall) {
        *outLength = blob.cbData;
    } else if (rc == kQxNoMemory) {
        qxxCAPILogMalloc(kModule, line, function);
    } else if (rc == kQxOk) {
        *out = reinterpret_cast<char*>(blob.pbData);
    }
    return rc;
}

int encode(const std::uint8_t* data, std::uint32_t length, char** out, std::uint32_t* outLength,
           bool lineBreaks, const char* function) {
    if ((data == nullptr && length != 0) || out == nullptr || outLength == nullptr) {
        return kQxBadArgument;
    }
    const std::size_t size = lineBreaks ? base64LinesSize(length) : base64Chars(length);
    char* const given = *out;
    const std::uint32_t capacity = *outLength;
    bool allocated = false;
    char* target = given;
    const int rc = prepare(&target, outLength, size, 1, &allocated, function, __LINE__);
    if (rc != kQxOk) {
        return rc;
    }
    writeBase64(data, length, target, lineBreaks);
    // An allocated result is zero-filled, so its terminator is already there.
    if (!lineBreaks && !allocated && capacity > size) {
        target[size] = '\0';
    }
    *out = target;
    *outLength = static_cast<std::uint32_t>(size);
    return kQxOk;
}

// Where the decoder writes, never past its end.
struct Sink {
    std::uint8_t* data;
    std::size_t limit;
    std::size_t used = 0;
    bool put(std::uint8_t byte) {
        if (used >= limit) {
            return false;
        }
        data[used++] = byte;
        return true;
    }
};

int decodeBase64(const char* text, std::size_t length, std::uint8_t** out,
                 std::uint32_t* outLength) {
    if ((text == nullptr && length != 0) || out == nullptr || outLength == nullptr) {
        return kQxBadArgument;
    }
    const auto& table = reverseTable();
    std::size_t padding = 0;
    while (padding < length && text[length - 1 - padding] == '=') {
        ++padding;
    }
    std::size_t breaks = 0;
    for (std::size_t i = 0; i < length; ++i) {
        breaks += (text[i] == '\r' || text[i] == '\n') ? 1 : 0;
    }
    const std::size_t counted = length - breaks;
    // More than two "=" would make the announced size smaller than what the
    // characters before them decode to.
    if (counted % 4 != 0 || padding > 2) {
        return kQxBadBase64;
    }
    const std::size_t size = counted / 4 * 3 - padding;
    if (size > kMaxCount) {
        return kQxNoMemory;
    }

    const std::uint32_t capacity = *outLength;
    bool allocated = false;
    QxBlob blob{capacity, *out};
    const int rc = qxxCAPIPrepareOutput(&blob, size, 1, &allocated);
    if (rc == kQxBufferTooSmall) {
        *outLength = blob.cbData;
        return rc;
    }
    if (rc != kQxOk) {
        if (rc == kQxNoMemory) {
            qxxCAPILogMalloc(kModule, __LINE__, "qxbase64_decode");
        }
        return rc;
    }
    Sink sink{blob.pbData, allocated ? size : capacity};
    // What was decoded before the fault may be a key's numbers: none of it
    // stays behind.
    const auto fail = [&] {
        if (sink.used > 0) {
            explicit_bzero(blob.pbData, sink.used);
        }
        if (allocated) {
            qxxCAPIFree(blob.pbData);
        }
        return kQxBadBase64;
    };

    std::uint32_t group = 0;
    std::size_t inGroup = 0;
    bool endedWithPad = false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\0') {
            break;
        }
        if (c == '=') {
            endedWithPad = true;
            break;
        }
        if (c == '\r' || c == '\n') {
            continue;
        }
        const std::uint8_t value = table[static_cast<unsigned char>(c == ' ' ? '+' : c)];
        if (value == kInvalid) {
            return fail();
        }
        group = (group << 6) | value;
        if (++inGroup == 4) {
            if (!sink.put(static_cast<std::uint8_t>(group >> 16)) ||
                !sink.put(static_cast<std::uint8_t>(group >> 8)) ||
                !sink.put(static_cast<std::uint8_t>(group))) {
                return fail();
            }
            group = 0;
            inGroup = 0;
        }
    }
    if (endedWithPad) {
        if (inGroup == 2) {
            if (!sink.put(static_cast<std::uint8_t>(group >> 4))) {
                return fail();
            }
        } else if (inGroup == 3) {
            if (!sink.put(static_cast<std::uint8_t>(group >> 10)) ||
                !sink.put(static_cast<std::uint8_t>(group >> 2))) {
                return fail();
            }
        } else {
            return fail();
        }
    } else if (inGroup != 0) {
        return fail();
    }
    if (!allocated && capacity > size && sink.used < capacity) {
        blob.pbData[sink.used] = 0;
    }
    *out = blob.pbData;
    *outLength = static_cast<std::uint32_t>(sink.used);
    return kQxOk;
}

std::string_view skipLeadingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view trimTrailingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The Base64 body of text armoured with one of the names in aliases; the text
// itself when no name matches.
int unarmour(std::string_view text, std::string_view aliases, std::string_view& body) {
    body = text;
    while (!aliases.empty()) {
        const std::size_t split = aliases.find(';');
        const std::string_view name = aliases.substr(0, split);
        aliases.remove_prefix(split == std::string_view::npos ? aliases.size() : split + 1);
        if (name.empty()) {
            continue;
        }
        if (name.size() > kMaxTypeName) {
            return kQxBadArmour;
        }
        const std::string begin = "-----BEGIN " + std::string(name) + "-----";
        const std::string end = "-----END " + std::string(name) + "-----";
        if (text.size() <= begin.size() + end.size() || !text.starts_with(begin)) {
            continue;
        }
        const std::string_view rest = skipLeadingBlanks(text.substr(begin.size()));
        if (rest.empty()) {
            return kQxBadArmour;
        }
        const std::size_t dash = rest.find('-');
        if (dash == std::string_view::npos || !rest.substr(dash).starts_with(end)) {
            return kQxBadArmour;
        }
        body = rest.substr(0, dash);
        return kQxOk;
    }
    return kQxOk;
}

} // namespace

int qxbase64_encode(const std::uint8_t* data, std::uint32_t length, char** out,
                    std::uint32_t* outLength) {
    return encode(data, length, out, outLength, true, "qxbase64_encode");
}

int qxbase64_encode_ex(const std::uint8_t* data, std::uint32_t length, char** out,
                       std::uint32_t* outLength) {
    return encode(data, length, out, outLength, false, "qxbase64_encode_ex");
}

int qxbase64_decode(const char* text, std::uint32_t length, std::uint8_t** out,
                    std::uint32_t* outLength) {
    return decodeBase64(text, length, out, outLength);
}

int QxXCAPI_Encode(const std::uint8_t* data, std::uint32_t length, QxBlob* out,
                   const char* typeName) {
    if (out == nullptr || (data == nullptr && length != 0)) {
        return kQxBadArgument;
    }
    if (typeName == nullptr || *typeName == '\0') {
        char* text = reinterpret_cast<char*>(out->pbData);
        const int rc = qxbase64_encode(data, length, &text, &out->cbData);
        if (rc == kQxOk) {
            out->pbData = reinterpret_cast<std::uint8_t*>(text);
        }
        return rc;
    }
    const std::string begin = "-----BEGIN " + std::string(typeName) + "-----\n";
    const std::string end = "-----END " + std::string(typeName) + "-----\n";
    const std::size_t armour = begin.size() + end.size();
    const std::size_t body = base64LinesSize(length);
    const std::size_t total = armour + body;
    if (total > kMaxCount) {
        return kQxNoMemory;
    }
    std::uint8_t* target = out->pbData;
    if (target == nullptr) {
        target = static_cast<std::uint8_t*>(qxxCAPIMalloc(total + 1));
        if (target == nullptr) {
            qxxCAPILogMalloc(kModule, __LINE__, "QxXCAPI_Encode");
            return kQxNoMemory;
        }
    } else if (out->cbData < armour + 1 || out->cbData - armour < body) {
        // Room for one character at least between the armour lines.
        out->cbData = static_cast<std::uint32_t>(total);
        return kQxBufferTooSmall;
    }
    std::memcpy(target, begin.data(), begin.size());
    writeBase64(data, length, reinterpret_cast<char*>(target + begin.size()), true);
    std::memcpy(target + begin.size() + body, end.data(), end.size());
    out->pbData = target;
    out->cbData = static_cast<std::uint32_t>(total);
    return kQxOk;
}

int QxXCAPI_Decode(const char* text, std::uint32_t length, QxBlob* out, const char* aliases) {
    if (out == nullptr || (text == nullptr && length != 0)) {
        return kQxBadArgument;
    }
    std::string_view body = skipLeadingBlanks(std::string_view(text, text ? length : 0));
    if (aliases != nullptr && body.starts_with('-')) {
        const int rc = unarmour(body, aliases, body);
        if (rc != kQxOk) {
            return rc;
        }
    }
    body = trimTrailingBlanks(body);
    std::uint8_t* data = out->pbData;
    std::uint32_t count = out->cbData;
    const int rc = decodeBase64(body.data(), body.size(), &data, &count);
    if (rc == kQxOk) {
        out->pbData = data;
        out->cbData = count;
    } else if (rc == kQxBufferTooSmall) {
        out->cbData = count;
    }
    return rc;
}

int QxXCAPI_HexEncode(const std::uint8_t* data, std::uint32_t length, char** out,
                      std::uint32_t* outLength) {
    if ((data == nullptr && length != 0) || out == nullptr || outLength == nullptr) {
        return kQxBadArgument;
    }
    const std::size_t size = std::size_t{2} * length;
    if (size > kMaxCount) {
        return kQxNoMemory;
    }
    char* text = static_cast<char*>(qxxCAPIMalloc(size + 1));
    if (text == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "QxXCAPI_HexEncode");
        return kQxNoMemory;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    *out = text;
    *outLength = static_cast<std::uint32_t>(size);
    return kQxOk;
}

int QxXCAPI_HexDecode(const char* text, std::uint32_t length, std::uint8_t** out,
                      std::uint32_t* outLength) {
    if (out == nullptr || outLength == nullptr) {
        return kQxBadArgument;
    }
    if (text == nullptr && length != 0) {
        return kQxBadArgument;
    }
    if (length == 0 || text[0] == '\0') {
        return kQxNoMemory;
    }
    const std::size_t size = length / 2;
    auto* bytes = static_cast<std::uint8_t*>(qxxCAPIMalloc(size + 1));
    if (bytes == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "QxXCAPI_HexDecode");
        return kQxNoMemory;
    }
    *out = bytes;
    *outLength = static_cast<std::uint32_t>(size);
    for (std::size_t i = 0; i < size; ++i) {
        const int high = qxxCAPIHexDigitValue(text[2 * i]);
        const int low = qxxCAPIHexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return kQxBadHex;
        }
        bytes[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return kQxOk;
}

int qxxCAPIHexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}
