#include "platform/com/OleAuto.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

namespace {

// ---- BSTR blocks -------------------------------------------------------

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
// Byte lengths are 32-bit; keep room for the prefix and the terminator.
constexpr std::uint32_t kMaxChars = (UINT32_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR);

char* blockOf(BSTR text) {
    return reinterpret_cast<char*>(text) - kPrefix;
}

std::uint32_t byteLength(BSTR text) {
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, blockOf(text), kPrefix);
    return bytes;
}

// ---- SAFEARRAY blocks --------------------------------------------------
//
// An array made here is an ArrayBlock: its element type also stands just
// before the SAFEARRAY, where callers that look for FADF_HAVEVARTYPE expect
// it. This layer never reads it there, as a descriptor made elsewhere has
// no such word: it keeps the descriptors it made, with their element types,
// in a list and tells its own from others by that list alone.

struct ArrayBlock {
    std::uint32_t padding;
    std::uint32_t type;
    SAFEARRAY array;
};

ArrayBlock* arrayBlock(SAFEARRAY* array) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(array) -
                                         offsetof(ArrayBlock, array));
}

class OwnArrays {
public:
    bool add(const SAFEARRAY* array, VARTYPE type) noexcept {
        try {
            const std::lock_guard lock(mutex_);
            return types_.emplace(array, type).second;
        } catch (...) {
            return false; // out of memory
        }
    }
    std::optional<VARTYPE> find(const SAFEARRAY* array) const {
        const std::lock_guard lock(mutex_);
        const auto found = types_.find(array);
        return found == types_.end() ? std::nullopt : std::optional<VARTYPE>(found->second);
    }
    // Leaves the list: the caller frees the array now.
    std::optional<VARTYPE> take(const SAFEARRAY* array) {
        const std::lock_guard lock(mutex_);
        const auto found = types_.find(array);
        if (found == types_.end()) {
            return std::nullopt;
        }
        const VARTYPE type = found->second;
        types_.erase(found);
        return type;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<const SAFEARRAY*, VARTYPE> types_;
};

OwnArrays& ownArrays() {
    // Never destroyed: a VARIANT in static storage may be cleared after this
    // library's other statics are gone.
    static auto* const list = new OwnArrays;
    return *list;
}

std::uint32_t elementSize(VARTYPE type) {
    switch (type) {
    case VT_I4:
    case VT_INT:
        return sizeof(std::int32_t);
    case VT_BOOL:
        return sizeof(VARIANT_BOOL);
    case VT_BSTR:
        return sizeof(BSTR);
    case VT_VARIANT:
        return sizeof(VARIANT);
    default:
        return 0;
    }
}

// The element type of a descriptor made elsewhere, from its own fields;
// VT_EMPTY when they do not tell.
VARTYPE foreignType(const SAFEARRAY& array) {
    const bool strings = (array.fFeatures & FADF_BSTR) != 0;
    const bool variants = (array.fFeatures & FADF_VARIANT) != 0;
    if (strings != variants) {
        return strings ? VT_BSTR : VT_VARIANT;
    }
    if (strings) {
        return VT_EMPTY;
    }
    switch (array.cbElements) {
    case sizeof(std::int32_t):
        return VT_I4;
    case sizeof(VARIANT_BOOL):
        return VT_BOOL;
    default:
        return VT_EMPTY;
    }
}

// The element type of a one-dimensional array whose fields agree with it and
// whose every element has a 32-bit index; nothing for anything else.
std::optional<VARTYPE> arrayType(SAFEARRAY* array) {
    if (array == nullptr) {
        return std::nullopt;
    }
    const auto own = ownArrays().find(array);
    const VARTYPE type = own ? *own : foreignType(*array);
    const SAFEARRAYBOUND& bound = array->rgsabound[0];
    const std::uint32_t size = elementSize(type);
    if (array->cDims != 1 || size == 0 || array->cbElements != size) {
        return std::nullopt;
    }
    if (bound.cElements != 0 &&
        (array->pvData == nullptr ||
         std::int64_t{bound.lLbound} + std::int64_t{bound.cElements} - 1 > INT32_MAX)) {
        return std::nullopt;
    }
    return type;
}

// The element at a (one-dimensional) index, or null outside the bounds.
void* elementAt(SAFEARRAY* array, const std::int32_t* indices) {
    const std::int64_t offset = std::int64_t{indices[0]} - array->rgsabound[0].lLbound;
    if (offset < 0 || offset >= std::int64_t{array->rgsabound[0].cElements}) {
        return nullptr;
    }
    return static_cast<char*>(array->pvData) + offset * array->cbElements;
}

void clearElements(SAFEARRAY* array, VARTYPE type) {
    const std::uint32_t count = array->rgsabound[0].cElements;
    if (type == VT_BSTR) {
        auto* items = static_cast<BSTR*>(array->pvData);
        for (std::uint32_t i = 0; i < count; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    } else if (type == VT_VARIANT) {
        auto* items = static_cast<VARIANT*>(array->pvData);
        for (std::uint32_t i = 0; i < count; ++i) {
            VariantClear(&items[i]);
        }
    }
}

bool knownType(VARTYPE type) {
    if ((type & VT_ARRAY) != 0) {
        return elementSize(static_cast<VARTYPE>(type & ~VT_ARRAY)) != 0;
    }
    switch (type) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I4:
    case VT_INT:
    case VT_BOOL:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<std::uint32_t>(std::u16string_view(text).size()));
}

BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length) {
    if (length > kMaxChars) {
        return nullptr;
    }
    const std::uint32_t bytes = length * static_cast<std::uint32_t>(sizeof(OLECHAR));
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &bytes, kPrefix);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (text != nullptr) {
        std::memcpy(chars, text, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[length] = u'\0';
    return chars;
}

std::uint32_t SysStringLen(BSTR text) {
    return text == nullptr ? 0 : byteLength(text) / sizeof(OLECHAR);
}

std::uint32_t SysStringByteLen(BSTR text) {
    return text == nullptr ? 0 : byteLength(text);
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(blockOf(text));
    }
}

void VariantInit(VARIANT* value) {
    if (value != nullptr) {
        std::memset(value, 0, sizeof *value);
        value->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANT* value) {
    if (value == nullptr) {
        return E_INVALIDARG;
    }
    if (!knownType(value->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((value->vt & VT_ARRAY) != 0) {
        if (const HRESULT hr = SafeArrayDestroy(value->parray); FAILED(hr)) {
            return hr;
        }
    } else if (value->vt == VT_BSTR) {
        SysFreeString(value->bstrVal);
    }
    VariantInit(value);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) {
    if (destination == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (destination == source) {
        return S_OK;
    }
    if (!knownType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (const HRESULT hr = VariantClear(destination); FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *source;
    if ((source->vt & VT_ARRAY) != 0) {
        copy.parray = nullptr;
        if (source->parray != nullptr) {
            if (const HRESULT hr = SafeArrayCopy(source->parray, &copy.parray); FAILED(hr)) {
                return hr;
            }
        }
    } else if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (copy.bstrVal == nullptr) {
            return E_OUTOFMEMORY;
        }
    }
    *destination = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source, std::uint16_t /*flags*/,
                          VARTYPE type) {
    if (destination == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (!knownType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARIANT result;
    VariantInit(&result);
    if (type == source->vt) {
        if (const HRESULT hr = VariantCopy(&result, source); FAILED(hr)) {
            return hr;
        }
    } else if (type == VT_BSTR) {
        std::u16string text;
        switch (source->vt) {
        case VT_EMPTY:
            break;
        case VT_I4:
        case VT_INT:
            for (const char c : std::to_string(source->lVal)) {
                text += static_cast<OLECHAR>(c);
            }
            break;
        default:
            return DISP_E_TYPEMISMATCH;
        }
        result.vt = VT_BSTR;
        result.bstrVal = SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
        if (result.bstrVal == nullptr) {
            return E_OUTOFMEMORY;
        }
    } else {
        return knownType(type) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
    }
    if (const HRESULT hr = VariantClear(destination); FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *destination = result;
    return S_OK;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE type, std::int32_t lowerBound, std::uint32_t count) {
    const std::uint32_t size = elementSize(type);
    if (size == 0 || count > UINT32_MAX / size) {
        return nullptr;
    }
    if (count > 0 && std::int64_t{lowerBound} + std::int64_t{count} - 1 > INT32_MAX) {
        return nullptr; // the last elements would have no index
    }
    auto* block = new (std::nothrow) ArrayBlock{};
    if (block == nullptr) {
        return nullptr;
    }
    void* data = nullptr;
    if (count > 0) {
        data = std::calloc(count, size); // zeroed: null strings, VT_EMPTY variants
        if (data == nullptr) {
            delete block;
            return nullptr;
        }
    }
    block->type = type;
    SAFEARRAY& array = block->array;
    array.cDims = 1;
    array.fFeatures = FADF_HAVEVARTYPE;
    if (type == VT_BSTR) {
        array.fFeatures |= FADF_BSTR;
    } else if (type == VT_VARIANT) {
        array.fFeatures |= FADF_VARIANT;
    }
    array.cbElements = size;
    array.pvData = data;
    array.rgsabound[0] = {count, lowerBound};
    if (!ownArrays().add(&array, type)) {
        std::free(data);
        delete block;
        return nullptr;
    }
    return &array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) {
        return S_OK;
    }
    const auto type = ownArrays().take(array);
    if (!type) {
        return S_OK; // made elsewhere: its maker frees it
    }
    clearElements(array, *type);
    std::free(array->pvData);
    delete arrayBlock(array);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy) {
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    const auto type = arrayType(array);
    if (!type) {
        return E_INVALIDARG;
    }
    const std::uint32_t count = array->rgsabound[0].cElements;
    SAFEARRAY* result = SafeArrayCreateVector(*type, array->rgsabound[0].lLbound, count);
    if (result == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (*type == VT_BSTR) {
        const auto* from = static_cast<BSTR*>(array->pvData);
        auto* to = static_cast<BSTR*>(result->pvData);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (from[i] != nullptr) {
                to[i] = SysAllocStringLen(from[i], SysStringLen(from[i]));
                if (to[i] == nullptr) {
                    SafeArrayDestroy(result);
                    return E_OUTOFMEMORY;
                }
            }
        }
    } else if (*type == VT_VARIANT) {
        const auto* from = static_cast<VARIANT*>(array->pvData);
        auto* to = static_cast<VARIANT*>(result->pvData);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (const HRESULT hr = VariantCopy(&to[i], &from[i]); FAILED(hr)) {
                SafeArrayDestroy(result);
                return hr;
            }
        }
    } else if (count > 0) {
        std::memcpy(result->pvData, array->pvData, std::size_t{count} * array->cbElements);
    }
    *copy = result;
    return S_OK;
}

std::uint32_t SafeArrayGetDim(SAFEARRAY* array) {
    return array == nullptr ? 0 : array->cDims;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* type) {
    const auto stored = arrayType(array);
    if (!stored || type == nullptr) {
        return E_INVALIDARG;
    }
    *type = *stored;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, std::uint32_t dimension, std::int32_t* bound) {
    if (!arrayType(array) || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dimension != 1) {
        return DISP_E_BADINDEX;
    }
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, std::uint32_t dimension, std::int32_t* bound) {
    if (!arrayType(array) || bound == nullptr) {
        return E_INVALIDARG;
    }
    if (dimension != 1) {
        return DISP_E_BADINDEX;
    }
    const std::int64_t upper =
        std::int64_t{array->rgsabound[0].lLbound} + std::int64_t{array->rgsabound[0].cElements} - 1;
    if (upper < INT32_MIN) {
        return DISP_E_BADINDEX; // empty at INT32_MIN: no 32-bit upper bound
    }
    *bound = static_cast<std::int32_t>(upper);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const std::int32_t* indices, void* value) {
    const auto stored = arrayType(array);
    if (!stored || indices == nullptr) {
        return E_INVALIDARG;
    }
    void* slot = elementAt(array, indices);
    if (slot == nullptr) {
        return DISP_E_BADINDEX;
    }
    const VARTYPE type = *stored;
    if (type == VT_BSTR) {
        auto* text = static_cast<BSTR>(value);
        BSTR copy = nullptr;
        if (text != nullptr) {
            copy = SysAllocStringLen(text, SysStringLen(text));
            if (copy == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        auto* target = static_cast<BSTR*>(slot);
        SysFreeString(*target);
        *target = copy;
        return S_OK;
    }
    if (value == nullptr) {
        return E_INVALIDARG;
    }
    if (type == VT_VARIANT) {
        VARIANT copy;
        VariantInit(&copy);
        if (const HRESULT hr = VariantCopy(&copy, static_cast<VARIANT*>(value)); FAILED(hr)) {
            return hr;
        }
        auto* target = static_cast<VARIANT*>(slot);
        VariantClear(target);
        *target = copy;
        return S_OK;
    }
    std::memcpy(slot, value, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, const std::int32_t* indices, void* value) {
    const auto stored = arrayType(array);
    if (!stored || indices == nullptr || value == nullptr) {
        return E_INVALIDARG;
    }
    void* slot = elementAt(array, indices);
    if (slot == nullptr) {
        return DISP_E_BADINDEX;
    }
    const VARTYPE type = *stored;
    if (type == VT_BSTR) {
        const BSTR text = *static_cast<BSTR*>(slot);
        BSTR copy = nullptr;
        if (text != nullptr) {
            copy = SysAllocStringLen(text, SysStringLen(text));
            if (copy == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        *static_cast<BSTR*>(value) = copy;
        return S_OK;
    }
    if (type == VT_VARIANT) {
        auto* target = static_cast<VARIANT*>(value);
        VariantInit(target);
        return VariantCopy(target, static_cast<VARIANT*>(slot));
    }
    std::memcpy(value, slot, array->cbElements);
    return S_OK;
}

} // extern "C"
