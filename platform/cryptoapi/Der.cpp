#include "platform/cryptoapi/Der.h"

#include <charconv>
#include <limits>

namespace capi::detail {

namespace {
constexpr std::size_t kMaxLengthBytes = 4;
} // namespace

Dword readElement(ByteSpan& input, Element& element) {
    if (input.size() < 2) {
        return CRYPT_E_ASN1_EOD;
    }
    const std::uint8_t tag = input[0];
    // Tag numbers of 31 and more take further identifier bytes; nothing here
    // uses them.
    if ((tag & 0x1F) == 0x1F) {
        return CRYPT_E_ASN1_BADTAG;
    }
    std::size_t at = 1;
    std::size_t length = input[at++];
    if (length == 0x80) {
        // Indefinite lengths are not DER.
        return CRYPT_E_ASN1_CORRUPT;
    }
    if (length > 0x80) {
        const std::size_t count = length & 0x7F;
        if (count > kMaxLengthBytes) {
            return CRYPT_E_ASN1_LARGE;
        }
        if (input.size() - at < count) {
            return CRYPT_E_ASN1_EOD;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = length << 8 | input[at++];
        }
    }
    if (input.size() - at < length) {
        return CRYPT_E_ASN1_EOD;
    }
    element.tag = tag;
    element.content = input.subspan(at, length);
    element.whole = input.first(at + length);
    input = input.subspan(at + length);
    return 0;
}

Dword expectElement(ByteSpan& input, std::uint8_t tag, Element& element) {
    ByteSpan rest = input;
    if (const Dword error = readElement(rest, element); error != 0) {
        return error;
    }
    if (element.tag != tag) {
        return CRYPT_E_ASN1_BADTAG;
    }
    input = rest;
    return 0;
}

std::optional<std::string> oidText(ByteSpan content) {
    if (content.empty() || (content.back() & 0x80) != 0) {
        return std::nullopt;
    }
    std::string text;
    std::uint64_t arc = 0;
    bool first = true;
    bool fresh = true;
    for (const std::uint8_t byte : content) {
        // A leading 0x80 would pad an arc; DER forbids it.
        if (fresh && byte == 0x80) {
            return std::nullopt;
        }
        if (arc > (std::numeric_limits<std::uint64_t>::max() >> 7)) {
            return std::nullopt;
        }
        arc = arc << 7 | (byte & 0x7F);
        fresh = (byte & 0x80) == 0;
        if (!fresh) {
            continue;
        }
        if (first) {
            const std::uint64_t top = arc < 80 ? arc / 40 : 2;
            text = std::to_string(top) + "." + std::to_string(arc - top * 40);
            first = false;
        } else {
            text += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return text;
}

std::optional<Bytes> oidContent(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> arcs;
    const std::string_view all(text);
    std::size_t at = 0;
    while (at <= all.size()) {
        const std::size_t dot = std::min(all.find('.', at), all.size());
        std::uint64_t arc = 0;
        const auto [end, error] = std::from_chars(all.data() + at, all.data() + dot, arc);
        if (error != std::errc{} || end != all.data() + dot || dot == at) {
            return std::nullopt;
        }
        arcs.push_back(arc);
        at = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > std::numeric_limits<std::uint64_t>::max() - 80) {
        return std::nullopt;
    }
    arcs[1] += arcs[0] * 40;
    Bytes content;
    for (std::size_t i = 1; i < arcs.size(); ++i) {
        std::uint8_t groups[10];
        std::size_t count = 0;
        std::uint64_t value = arcs[i];
        do {
            groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        while (count > 1) {
            content.push_back(groups[--count] | 0x80);
        }
        content.push_back(groups[0]);
    }
    return content;
}

void appendElement(Bytes& out, std::uint8_t tag, ByteSpan content) {
    out.push_back(tag);
    const std::size_t length = content.size();
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        std::size_t count = 0;
        for (std::size_t rest = length; rest != 0; rest >>= 8) {
            ++count;
        }
        out.push_back(static_cast<std::uint8_t>(0x80 | count));
        for (std::size_t i = count; i-- > 0;) {
            out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
        }
    }
    out.insert(out.end(), content.begin(), content.end());
}

} // namespace capi::detail
