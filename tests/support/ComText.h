#pragma once

// Texts across the COM stand-in for the test servers and their tests: UTF-8
// to BSTR and back, and a list of texts as the control answers a reader list
// (a VARIANT holding a one-dimensional array of VARIANT strings).

#include "platform/com/OleAuto.h"
#include "platform/text/TextCodec.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

inline BSTR bstr(std::string_view utf8) {
    const std::u16string wide = platform::utf8ToUtf16(utf8);
    return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

// A null string reads "(null)".
inline std::string utf8(BSTR text) {
    return text == nullptr ? "(null)"
                           : platform::utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

inline HRESULT textListVariant(const std::vector<std::string>& texts, VARIANT* out) {
    SAFEARRAY* list =
        SafeArrayCreateVector(VT_VARIANT, 0, static_cast<std::uint32_t>(texts.size()));
    if (list == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::int32_t index = 0;
    for (const auto& text : texts) {
        VARIANT element;
        VariantInit(&element);
        element.vt = VT_BSTR;
        element.bstrVal = bstr(text);
        SafeArrayPutElement(list, &index, &element);
        VariantClear(&element);
        ++index;
    }
    VariantInit(out);
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = list;
    return S_OK;
}

} // namespace testing_support
