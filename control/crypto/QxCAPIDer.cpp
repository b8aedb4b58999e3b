#include "control/crypto/QxCAPIDer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kMaxLengthBytes = 4;
// Tag numbers up to 21 bits: three continuation bytes.
constexpr std::uint32_t kMaxTagBytes = 3;

std::int64_t elementSize(const std::uint8_t* data, std::uint32_t length, int depth) {
    QxDerHeader header{};
    if (qxxCAPIDerReadHeader(data, length, &header) != 0) {
        return -1;
    }
    if (header.constructed) {
        if (depth >= kQxDerMaxDepth) {
            return -1;
        }
        const std::uint8_t* content = data + header.headerLength;
        std::uint32_t rest = header.contentLength;
        while (rest != 0) {
            const std::int64_t inner = elementSize(content, rest, depth + 1);
            if (inner < 0) {
                return -1;
            }
            content += inner;
            rest -= static_cast<std::uint32_t>(inner);
        }
    }
    return std::int64_t{header.headerLength} + header.contentLength;
}

// The magnitude's significant bytes.
const std::uint8_t* significant(const std::uint8_t* value, std::uint32_t* length) {
    while (*length != 0 && *value == 0) {
        ++value;
        --*length;
    }
    return value;
}

} // namespace

int qxxCAPIDerReadHeader(const std::uint8_t* data, std::uint32_t length, QxDerHeader* header) {
    if (data == nullptr || header == nullptr || length < 2) {
        return kQxDerError;
    }
    std::uint32_t at = 0;
    const std::uint8_t identifier = data[at++];
    std::uint32_t tag = identifier & 0x1F;
    if (tag == 0x1F) {
        tag = 0;
        std::uint32_t count = 0;
        for (;;) {
            if (at >= length || count == kMaxTagBytes) {
                return kQxDerError;
            }
            const std::uint8_t byte = data[at++];
            // A first byte of 0x80 pads the number.
            if (count++ == 0 && byte == 0x80) {
                return kQxDerError;
            }
            tag = tag << 7 | (byte & 0x7F);
            if ((byte & 0x80) == 0) {
                break;
            }
        }
        if (tag < 0x1F) {
            return kQxDerError;
        }
    }
    if (at >= length) {
        return kQxDerError;
    }
    std::uint32_t content = data[at++];
    if (content == 0x80) {
        return kQxDerError;
    }
    if (content > 0x80) {
        const std::uint32_t count = content & 0x7F;
        if (count > kMaxLengthBytes || length - at < count) {
            return kQxDerError;
        }
        content = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            content = content << 8 | data[at++];
        }
    }
    if (length - at < content) {
        return kQxDerError;
    }
    header->cls = identifier & 0xC0;
    header->constructed = (identifier & 0x20) != 0;
    header->tag = tag;
    header->headerLength = at;
    header->contentLength = content;
    return 0;
}

std::int64_t qxxCAPIDerElementSize(const std::uint8_t* data, std::uint32_t length) {
    return elementSize(data, length, 0);
}

int qxxCAPIDerReadInteger(const std::uint8_t** data, std::uint32_t* length, QxBlob* out,
                          bool* negative) {
    if (data == nullptr || length == nullptr || out == nullptr) {
        return kQxDerError;
    }
    QxDerHeader header{};
    if (qxxCAPIDerReadHeader(*data, *length, &header) != 0 || header.cls != kQxDerClassUniversal ||
        header.constructed || header.tag != kQxDerTagInteger || header.contentLength == 0) {
        return kQxDerError;
    }
    const std::uint8_t* content = *data + header.headerLength;
    std::uint32_t size = header.contentLength;
    const bool below = (content[0] & 0x80) != 0;
    std::vector<std::uint8_t> magnitude(content, content + size);
    if (below) {
        // Two's complement back to the magnitude: invert, add one.
        for (auto& byte : magnitude) {
            byte = static_cast<std::uint8_t>(~byte);
        }
        for (auto it = magnitude.rbegin(); it != magnitude.rend(); ++it) {
            if (++*it != 0) {
                break;
            }
        }
    }
    std::uint32_t used = size;
    const std::uint8_t* value = significant(magnitude.data(), &used);
    if (out->pbData == nullptr) {
        out->pbData = static_cast<std::uint8_t*>(qxxCAPIMalloc(used));
        if (out->pbData == nullptr) {
            explicit_bzero(magnitude.data(), magnitude.size());
            return kQxDerError;
        }
    } else if (out->cbData < used) {
        explicit_bzero(magnitude.data(), magnitude.size());
        return kQxDerError;
    }
    if (used != 0) {
        std::memcpy(out->pbData, value, used);
    }
    out->cbData = used;
    explicit_bzero(magnitude.data(), magnitude.size());
    if (negative != nullptr) {
        *negative = below;
    }
    *data += header.headerLength + size;
    *length -= header.headerLength + size;
    return 0;
}

std::uint32_t qxxCAPIDerWriteHeader(std::uint8_t* out, std::uint8_t cls, bool constructed,
                                    std::uint32_t tag, std::uint32_t contentLength) {
    std::uint8_t bytes[4 + 1 + 1 + kMaxLengthBytes];
    std::uint32_t at = 0;
    const auto first = static_cast<std::uint8_t>((cls & 0xC0) | (constructed ? 0x20 : 0));
    if (tag < 0x1F) {
        bytes[at++] = static_cast<std::uint8_t>(first | tag);
    } else {
        bytes[at++] = static_cast<std::uint8_t>(first | 0x1F);
        std::uint32_t groups = 0;
        for (std::uint32_t rest = tag; rest != 0; rest >>= 7) {
            ++groups;
        }
        while (groups-- > 0) {
            bytes[at++] = static_cast<std::uint8_t>(((tag >> (7 * groups)) & 0x7F) |
                                                    (groups != 0 ? 0x80 : 0));
        }
    }
    if (contentLength < 0x80) {
        bytes[at++] = static_cast<std::uint8_t>(contentLength);
    } else {
        std::uint32_t count = 0;
        for (std::uint32_t rest = contentLength; rest != 0; rest >>= 8) {
            ++count;
        }
        bytes[at++] = static_cast<std::uint8_t>(0x80 | count);
        while (count-- > 0) {
            bytes[at++] = static_cast<std::uint8_t>(contentLength >> (8 * count));
        }
    }
    if (out != nullptr) {
        std::memcpy(out, bytes, at);
    }
    return at;
}

std::uint32_t qxxCAPIDerWriteInteger(std::uint8_t* out, const std::uint8_t* value,
                                     std::uint32_t length, std::uint32_t flags) {
    if (value == nullptr) {
        length = 0;
    }
    const std::uint8_t* digits = length == 0 ? value : significant(value, &length);
    std::vector<std::uint8_t> content;
    if (length == 0) {
        content.push_back(0);
    } else if ((flags & kQxDerNegative) == 0) {
        if ((digits[0] & 0x80) != 0) {
            content.push_back(0);
        }
        content.insert(content.end(), digits, digits + length);
    } else {
        content.assign(digits, digits + length);
        for (auto& byte : content) {
            byte = static_cast<std::uint8_t>(~byte);
        }
        for (auto it = content.rbegin(); it != content.rend(); ++it) {
            if (++*it != 0) {
                break;
            }
        }
        if ((content[0] & 0x80) == 0) {
            content.insert(content.begin(), 0xFF);
        }
    }
    const auto size = static_cast<std::uint32_t>(content.size());
    const std::uint32_t header =
        qxxCAPIDerWriteHeader(out, kQxDerClassUniversal, false, kQxDerTagInteger, size);
    if (out != nullptr) {
        std::memcpy(out + header, content.data(), size);
    }
    explicit_bzero(content.data(), content.size());
    return header + size;
}
