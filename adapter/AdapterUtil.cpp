#include "adapter/AdapterUtil.h"

#include "common/Cipher.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "platform/text/TextCodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

// The getters belong to the adapter's build of the map module; their null
// parameters are logged under its name.
constexpr std::string_view kJsonModule = "Json";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool equalsIgnoreCase(std::string_view text, std::string_view word) {
    return text.size() == word.size() && toLowerString(text) == word;
}

// What atol reads from the text, held to the 32-bit range instead of
// overflowing.
std::int32_t leadingDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), kLimit);
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT32_MAX));
}

// The key's decoded value; the found raw copy and the decoded text are wiped
// by their owners, as values may be PINs.
class DecodedValue {
public:
    DecodedValue(const JsonMap* map, const char* key, int line) {
        if (map == nullptr) {
            logNullParameter("inputCorvantixJson", kJsonModule, line);
            return;
        }
        if (key == nullptr) {
            logNullParameter("inputKey", kJsonModule, line);
            return;
        }
        std::optional<std::string> raw = BinarySearchCorvantixJsonMap(map, 0, map->count - 1, key);
        if (raw) {
            value_ = getDecodedValue(map, key, *raw);
            secureWipe(raw->data(), raw->size());
        }
    }
    ~DecodedValue() {
        if (value_) {
            secureWipe(value_->data(), value_->size());
        }
    }
    DecodedValue(const DecodedValue&) = delete;
    DecodedValue& operator=(const DecodedValue&) = delete;

    const std::optional<std::string>& value() const { return value_; }

private:
    std::optional<std::string> value_;
};

void addNumber(std::u16string& text, std::int32_t number) {
    Variant value;
    value.get()->vt = VT_I4;
    value.get()->lVal = number;
    if (const HRESULT hr = VariantChangeType(value.get(), value.get(), 0, VT_BSTR); FAILED(hr)) {
        throw ComError(hr);
    }
    const BSTR digits = value.get()->bstrVal;
    text.append(digits, SysStringLen(digits));
}

void addArrayText(std::u16string& text, SAFEARRAY* array, VARTYPE declared) {
    if (array == nullptr) {
        return;
    }
    std::int32_t lower = 0;
    if (HRESULT hr = SafeArrayGetLBound(array, 1, &lower); FAILED(hr)) {
        throw ComError(hr);
    }
    // The element count rather than the upper bound, which an empty array at
    // INT32_MIN does not have; a valid array's indexes, lower + 0 ..
    // lower + count - 1 reckoned in 64 bits, all lie within 32 bits.
    const std::int64_t count = array->rgsabound[0].cElements;
    // The array's own element type must agree with the VARIANT's: reading a
    // string or a number as a VARIANT would read past it.
    VARTYPE stored = VT_EMPTY;
    const bool variants = declared == VT_VARIANT &&
                          SUCCEEDED(SafeArrayGetVartype(array, &stored)) && stored == VT_VARIANT;
    for (std::int64_t i = 0; i < count; ++i) {
        if (!variants) {
            std::printf("Error!! value->vt & ~VT_ARRAY = %d\n", declared);
            continue;
        }
        const auto index = static_cast<std::int32_t>(lower + i);
        Variant element;
        if (const HRESULT hr = SafeArrayGetElement(array, &index, element.receive()); FAILED(hr)) {
            throw ComError(hr);
        }
        // Only a plain string or number is a piece; a nested array is not read
        // as either.
        switch (element.get()->vt) {
        case VT_BSTR:
            text.append(element.get()->bstrVal, SysStringLen(element.get()->bstrVal));
            break;
        case VT_I4:
        case VT_INT:
            addNumber(text, element.get()->lVal);
            break;
        default:
            break;
        }
        text += u';';
    }
}

} // namespace

BstrString utf8ToBstr(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    std::u16string wide = platform::utf8ToUtf16(*text);
    BstrString result = BstrString::copyOf(wide);
    secureWipe(wide.data(), wide.size() * sizeof(char16_t));
    return result;
}

std::optional<std::string> bstrToUtf8(BSTR text) {
    const std::uint32_t length = SysStringLen(text);
    if (length == 0) {
        return std::nullopt;
    }
    return platform::utf16ToUtf8(std::u16string_view(text, length));
}

std::optional<std::string> bstrToUtf8(const BstrString& text) {
    return bstrToUtf8(text.get());
}

std::int32_t getJsonMapInt(const JsonMap* map, const char* key) {
    const DecodedValue decoded(map, key, __LINE__);
    if (!decoded.value()) {
        return 0;
    }
    const std::string& text = *decoded.value();
    if (equalsIgnoreCase(text, "true")) {
        return 1;
    }
    if (equalsIgnoreCase(text, "false")) {
        return 0;
    }
    return leadingDecimal(text);
}

BstrString getJsonMapBstr(const JsonMap* map, const char* key) {
    const DecodedValue decoded(map, key, __LINE__);
    if (!decoded.value()) {
        return {};
    }
    return utf8ToBstr(*decoded.value());
}

BstrString variantToText(const VARIANT& value) {
    // Read through a copy of its own: a VARIANT that cannot be copied is an
    // error, not an empty text.
    Variant copy;
    if (const HRESULT hr = VariantCopy(copy.get(), &value); FAILED(hr)) {
        throw ComError(hr);
    }
    const VARIANT& held = *copy;
    std::u16string text;
    if (held.vt == VT_BOOL) {
        text = held.boolVal != 0 ? u"1" : u"0";
    } else if ((held.vt & VT_ARRAY) != 0) {
        addArrayText(text, held.parray, static_cast<VARTYPE>(held.vt & ~VT_ARRAY));
    }
    if (text.empty()) {
        return {};
    }
    BstrString result = BstrString::copyOf(text);
    if (result.get() == nullptr) {
        throw ComError(E_OUTOFMEMORY);
    }
    return result;
}

std::optional<std::string> variantToUtf8(Variant value) {
    return bstrToUtf8(variantToText(*value));
}
