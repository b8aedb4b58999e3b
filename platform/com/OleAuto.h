#pragma once

// Automation values: BSTR strings, VARIANTs and one-dimensional SAFEARRAYs,
// with the types the control and the adapter exchange (32-bit integers,
// booleans, strings and arrays of VARIANTs).

#include "platform/com/Com.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// ---- BSTR ------------------------------------------------------------------
//
// UTF-16 text with its length in bytes in the four bytes before the first
// character and a zero character after the last; it may hold zeros of its own.

using BSTR = OLECHAR*;

// ---- VARIANT ---------------------------------------------------------------

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_ARRAY = 0x2000;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct SAFEARRAY;

struct VARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int32_t lVal;    // VT_I4
        std::int32_t intVal;  // VT_INT
        VARIANT_BOOL boolVal; // VT_BOOL
        BSTR bstrVal;         // VT_BSTR
        SAFEARRAY* parray;    // VT_ARRAY | element type
        void* recordSpace_[2];
    };
};

// ---- SAFEARRAY -------------------------------------------------------------

struct SAFEARRAYBOUND {
    std::uint32_t cElements;
    std::int32_t lLbound;
};

inline constexpr std::uint16_t FADF_AUTO = 0x0001;     // on the stack
inline constexpr std::uint16_t FADF_STATIC = 0x0002;   // in static storage
inline constexpr std::uint16_t FADF_EMBEDDED = 0x0004; // inside a structure
inline constexpr std::uint16_t FADF_HAVEVARTYPE = 0x0080;
inline constexpr std::uint16_t FADF_BSTR = 0x0100;
inline constexpr std::uint16_t FADF_VARIANT = 0x0800;

struct SAFEARRAY {
    std::uint16_t cDims;
    std::uint16_t fFeatures;
    std::uint32_t cbElements;
    std::uint32_t cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

// This layer knows the descriptors SafeArrayCreateVector and SafeArrayCopy
// made (it keeps a list of them) and owns only those. Any other descriptor -
// on the stack, in static storage, inside a structure, or allocated by its
// caller, whatever its FADF_AUTO, FADF_STATIC or FADF_EMBEDDED flags say -
// belongs to its maker: it is read from its own fields only (never from
// memory before it), and SafeArrayDestroy and VariantClear free neither it,
// its data nor its elements (SafeArrayPutElement still frees the element it
// replaces, as on any array). Its element type comes from its flags and
// element size: FADF_BSTR strings, FADF_VARIANT VARIANTs, otherwise 4-byte
// elements are VT_I4 and 2-byte ones VT_BOOL; anything else is refused
// (E_INVALIDARG), as is data missing for its elements.
//
// Bounds are 32-bit, their arithmetic 64-bit: the elements' indexes run from
// the lower bound to lower bound + count - 1, all within the 32-bit range (a
// descriptor that reaches beyond it is refused), and an empty array has no
// index at all, whatever its lower bound.

extern "C" {

// Null for a null text.
CORVANTIX_COM_API BSTR SysAllocString(const OLECHAR* text);
// length characters of text, or zeros when text is null; null when out of memory.
CORVANTIX_COM_API BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length);
CORVANTIX_COM_API std::uint32_t SysStringLen(BSTR text);
CORVANTIX_COM_API std::uint32_t SysStringByteLen(BSTR text);
CORVANTIX_COM_API void SysFreeString(BSTR text);

CORVANTIX_COM_API void VariantInit(VARIANT* value);
// Frees what the VARIANT holds and leaves it VT_EMPTY; DISP_E_BADVARTYPE for
// a type this layer does not know, which is then left as it is.
CORVANTIX_COM_API HRESULT VariantClear(VARIANT* value);
// Clears destination, then copies source deeply (strings and arrays too).
CORVANTIX_COM_API HRESULT VariantCopy(VARIANT* destination, const VARIANT* source);
// Converts to VT_BSTR from VT_EMPTY, VT_I4, VT_INT and VT_BSTR (and to a
// VARIANT's own type); DISP_E_TYPEMISMATCH otherwise. destination may be source.
CORVANTIX_COM_API HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source,
                                            std::uint16_t flags, VARTYPE type);

// A one-dimensional array of count zeroed elements of VT_I4, VT_INT, VT_BOOL,
// VT_BSTR or VT_VARIANT; null for another type, when its last index would
// lie beyond the 32-bit range, or when out of memory.
CORVANTIX_COM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE type, std::int32_t lowerBound,
                                                   std::uint32_t count);
// Frees an array this layer made, with its elements; S_OK and nothing
// touched for any other descriptor (see above).
CORVANTIX_COM_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
CORVANTIX_COM_API HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);
CORVANTIX_COM_API std::uint32_t SafeArrayGetDim(SAFEARRAY* array);
CORVANTIX_COM_API HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* type);
// Dimensions count from 1. An empty array's upper bound is its lower bound
// - 1; at INT32_MIN that is no 32-bit number, and the answer is
// DISP_E_BADINDEX: read the count from rgsabound[0].cElements instead.
CORVANTIX_COM_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, std::uint32_t dimension,
                                             std::int32_t* bound);
CORVANTIX_COM_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, std::uint32_t dimension,
                                             std::int32_t* bound);
// Stores a copy: value is the BSTR itself for a VT_BSTR array, a VARIANT*
// for a VT_VARIANT array, else a pointer to the element's bytes.
CORVANTIX_COM_API HRESULT SafeArrayPutElement(SAFEARRAY* array, const std::int32_t* indices,
                                              void* value);
// Gives a copy the caller owns: into a BSTR*, a VARIANT* (which need not be
// initialised) or the element's bytes.
CORVANTIX_COM_API HRESULT SafeArrayGetElement(SAFEARRAY* array, const std::int32_t* indices,
                                              void* value);

} // extern "C"

// ---- Owners for C++ callers ------------------------------------------------

// A BSTR shared by every copy of the object and freed with the last one. An
// empty object holds the null BSTR, which readers take as the empty string.
class BstrString {
public:
    BstrString() = default;
    // Takes ownership of a BSTR.
    static BstrString attach(BSTR text) {
        BstrString s;
        if (text != nullptr) {
            s.holder_ = std::make_shared<Holder>(text);
        }
        return s;
    }
    static BstrString copyOf(std::u16string_view text) {
        return attach(SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size())));
    }

    BSTR get() const { return holder_ ? holder_->text : nullptr; }
    std::uint32_t length() const { return SysStringLen(get()); }
    bool empty() const { return length() == 0; }
    std::u16string_view view() const {
        return get() == nullptr ? std::u16string_view() : std::u16string_view(get(), length());
    }
    // A new BSTR with the same text for an out-parameter; null when empty.
    BSTR copyOut() const { return get() == nullptr ? nullptr : SysAllocStringLen(get(), length()); }
    // Drops the text and gives the slot for a BSTR out-parameter.
    BSTR* receive() {
        holder_ = std::make_shared<Holder>(nullptr);
        return &holder_->text;
    }

private:
    struct Holder {
        explicit Holder(BSTR t) : text(t) {}
        ~Holder() { SysFreeString(text); }
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        BSTR text;
    };
    std::shared_ptr<Holder> holder_;
};

// One VARIANT with one owner: cleared when the owner goes, moved (never
// copied) to another owner.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&value_);
            value_ = other.value_;
            VariantInit(&other.value_);
        }
        return *this;
    }
    ~Variant() { VariantClear(&value_); }

    VARIANT* get() { return &value_; }
    const VARIANT* get() const { return &value_; }
    const VARIANT& operator*() const { return value_; }
    // Clears and gives the VARIANT for an out-parameter.
    VARIANT* receive() {
        VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};
