#include "platform/codepage/CodePage.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>

namespace platform {
namespace {

constexpr const char* kUtf16Native =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

std::string iconvName(std::uint32_t codePage) {
    switch (codePage) {
    case kCodePageAnsi:
        return iconvName(ansiCodePage());
    case kCodePageUtf8:
        return "UTF-8";
    case 20127:
        return "ASCII";
    default:
        return "CP" + std::to_string(codePage);
    }
}

// One iconv descriptor, closed when it goes.
class Converter {
public:
    Converter(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (valid()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// The bytes of one input unit that cannot be converted: a byte of 8-bit
// text, a UTF-16 unit or a whole surrogate pair.
using SkipRule = std::size_t (*)(const char* at, std::size_t left);

std::size_t skipByte(const char*, std::size_t) {
    return 1;
}

std::size_t skipUtf16(const char* at, std::size_t left) {
    if (left < 4) {
        return left < 2 ? left : 2;
    }
    char16_t first = 0;
    char16_t second = 0;
    std::memcpy(&first, at, 2);
    std::memcpy(&second, at + 2, 2);
    const bool pair = first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF;
    return pair ? 4 : 2;
}

std::optional<std::string> convert(const std::string& to, const std::string& from,
                                   std::string_view input, InvalidInput invalid,
                                   std::string_view replacement, SkipRule skip) {
    Converter converter(to, from);
    if (!converter.valid()) {
        return std::nullopt;
    }
    std::string output(input.size() * 2 + 16, '\0');
    std::size_t written = 0;
    // iconv never writes through its input pointer.
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    for (;;) {
        char* out = output.data() + written;
        std::size_t outLeft = output.size() - written;
        const std::size_t rc = iconv(converter.get(), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        written = output.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            break; // all of the input is converted
        }
        if (error == E2BIG) {
            output.resize(output.size() * 2);
            continue;
        }
        if ((error != EILSEQ && error != EINVAL) || invalid == InvalidInput::Fail) {
            return std::nullopt;
        }
        const std::size_t unit = std::min(inLeft, skip(in, inLeft));
        in += unit;
        inLeft -= unit;
        if (output.size() - written < replacement.size()) {
            output.resize(output.size() * 2 + replacement.size());
        }
        std::memcpy(output.data() + written, replacement.data(), replacement.size());
        written += replacement.size();
    }
    output.resize(written);
    return output;
}

} // namespace

std::uint32_t ansiCodePage() {
    if (const char* value = std::getenv("CORVANTIX_ANSI_CODE_PAGE"); value != nullptr) {
        char* end = nullptr;
        const unsigned long number = std::strtoul(value, &end, 10);
        if (end != value && *end == '\0' && number != 0 && number <= 0xFFFF) {
            return static_cast<std::uint32_t>(number);
        }
    }
    return kCodePageBig5;
}

bool isCodePageKnown(std::uint32_t codePage) {
    return Converter(kUtf16Native, iconvName(codePage)).valid();
}

std::optional<std::u16string> codePageToUtf16(std::uint32_t codePage, std::string_view text,
                                              InvalidInput invalid) {
    static constexpr char16_t kReplacement = u'\uFFFD';
    const auto bytes =
        convert(kUtf16Native, iconvName(codePage), text, invalid,
                std::string_view(reinterpret_cast<const char*>(&kReplacement), 2), skipByte);
    if (!bytes) {
        return std::nullopt;
    }
    std::u16string wide(bytes->size() / 2, u'\0');
    std::memcpy(wide.data(), bytes->data(), wide.size() * 2);
    return wide;
}

std::optional<std::string> utf16ToCodePage(std::uint32_t codePage, std::u16string_view text,
                                           InvalidInput invalid) {
    const std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return convert(iconvName(codePage), kUtf16Native, bytes, invalid, "?", skipUtf16);
}

} // namespace platform
