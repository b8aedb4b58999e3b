#include "platform/codepage/CodePage.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace platform {

namespace {

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

const char* iconvName(std::uint32_t codePage) {
    switch (codePage) {
    case kCodePageAnsi:
    case kCodePageBig5:
        return "CP950";
    case kCodePageUtf8:
        return "UTF-8";
    default:
        return nullptr;
    }
}

// One conversion descriptor, closed when it goes.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// How many input bytes one unit that cannot be converted takes: a UTF-16
// surrogate pair is one character, anything else a code unit or one byte.
std::size_t badUnit(const char* in, std::size_t left, bool fromUtf16) {
    if (!fromUtf16 || left < 4) {
        return fromUtf16 ? std::min<std::size_t>(2, left) : 1;
    }
    char16_t first = 0;
    char16_t second = 0;
    std::memcpy(&first, in, 2);
    std::memcpy(&second, in + 2, 2);
    const bool pair = first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF;
    return pair ? 4 : 2;
}

// Converts every byte of in; nullopt when a unit fails under Fail. The
// replacement is appended as the target's bytes.
std::optional<std::string> convert(const char* to, const char* from, std::string_view in,
                                   Unmappable unmappable, std::string_view replacement,
                                   bool fromUtf16) {
    Converter converter(to, from);
    if (!converter.ok()) {
        return std::nullopt;
    }
    std::string out(in.size() * 2 + 8, '\0');
    std::size_t used = 0;
    char* source = const_cast<char*>(in.data());
    std::size_t left = in.size();
    while (left > 0) {
        char* target = out.data() + used;
        std::size_t room = out.size() - used;
        const std::size_t rc = iconv(converter.get(), &source, &left, &target, &room);
        used = out.size() - room;
        if (rc != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ: a unit the target lacks or a malformed one; EINVAL: an
        // unfinished sequence at the end.
        if (unmappable == Unmappable::Fail) {
            return std::nullopt;
        }
        const std::size_t skip = errno == EINVAL ? left : badUnit(source, left, fromUtf16);
        source += skip;
        left -= skip;
        out.resize(used);
        out += replacement;
        used = out.size();
        out.resize(used + left * 2 + 8);
    }
    // A stateful target finishes its last sequence.
    char* target = out.data() + used;
    std::size_t room = out.size() - used;
    iconv(converter.get(), nullptr, nullptr, &target, &room);
    out.resize(out.size() - room);
    return out;
}

} // namespace

std::optional<std::string> utf16ToCodePage(std::uint32_t codePage, std::u16string_view text,
                                           Unmappable unmappable) {
    const char* name = iconvName(codePage);
    if (name == nullptr) {
        return std::nullopt;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(text.data()),
                                 text.size() * sizeof(char16_t));
    return convert(name, kUtf16, bytes, unmappable, "?", true);
}

std::optional<std::u16string> codePageToUtf16(std::uint32_t codePage, std::string_view text,
                                              Unmappable unmappable) {
    const char* name = iconvName(codePage);
    if (name == nullptr) {
        return std::nullopt;
    }
    static constexpr char16_t kReplacement = 0xFFFD;
    const std::string_view replacement(reinterpret_cast<const char*>(&kReplacement),
                                       sizeof kReplacement);
    const auto bytes = convert(kUtf16, name, text, unmappable, replacement, false);
    if (!bytes) {
        return std::nullopt;
    }
    std::u16string out(bytes->size() / sizeof(char16_t), u'\0');
    std::memcpy(out.data(), bytes->data(), out.size() * sizeof(char16_t));
    return out;
}

} // namespace platform
