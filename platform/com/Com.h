#pragma once

// The component object model the control and the adapter expect: class and
// interface identifiers, result codes, the IUnknown / IDispatch /
// IClassFactory function tables, the per-thread initialisation and the
// creation of in-process objects from the registry. One shared library holds
// it, so every module of a process sees one set of loaded servers.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#define CORVANTIX_COM_API __attribute__((visibility("default")))

// ---- Identifiers -----------------------------------------------------------

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::array<std::uint8_t, 8> Data4;

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;

namespace com_detail {

constexpr int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr std::optional<std::uint64_t> hexField(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

} // namespace com_detail

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hex digits in either case.
constexpr std::optional<GUID> parseGuid(std::string_view text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return std::nullopt;
    }
    const auto d1 = com_detail::hexField(text.substr(1, 8));
    const auto d2 = com_detail::hexField(text.substr(10, 4));
    const auto d3 = com_detail::hexField(text.substr(15, 4));
    const auto d4 = com_detail::hexField(text.substr(20, 4));
    const auto d5 = com_detail::hexField(text.substr(25, 12));
    if (!d1 || !d2 || !d3 || !d4 || !d5) {
        return std::nullopt;
    }
    GUID guid{static_cast<std::uint32_t>(*d1),
              static_cast<std::uint16_t>(*d2),
              static_cast<std::uint16_t>(*d3),
              {}};
    guid.Data4[0] = static_cast<std::uint8_t>(*d4 >> 8);
    guid.Data4[1] = static_cast<std::uint8_t>(*d4);
    for (int i = 0; i < 6; ++i) {
        guid.Data4[static_cast<std::size_t>(2 + i)] =
            static_cast<std::uint8_t>(*d5 >> (8 * (5 - i)));
    }
    return guid;
}

// A GUID written in the source; a malformed text does not compile.
consteval GUID guidLiteral(std::string_view text) {
    const auto guid = parseGuid(text);
    if (!guid) {
        throw "malformed GUID literal";
    }
    return *guid;
}

// The braced upper-case form.
CORVANTIX_COM_API std::string guidToString(const GUID& guid);

inline constexpr IID IID_IUnknown = guidLiteral("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = guidLiteral("{00000001-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDispatch = guidLiteral("{00020400-0000-0000-C000-000000000046}");
inline constexpr IID IID_ISupportErrorInfo = guidLiteral("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
// The proxy/stub class of automation (dual) interfaces.
inline constexpr CLSID CLSID_PSOAInterface = guidLiteral("{00020424-0000-0000-C000-000000000046}");

// ---- Result codes ----------------------------------------------------------

using HRESULT = std::int32_t;

constexpr HRESULT makeHresult(std::uint32_t bits) {
    return static_cast<HRESULT>(bits);
}
constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}
// A system error code as a result code.
constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t error) {
    return error == 0 ? 0 : makeHresult((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = makeHresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = makeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = makeHresult(0x80004003u);
inline constexpr HRESULT E_FAIL = makeHresult(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = makeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = makeHresult(0x80070057u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = makeHresult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = makeHresult(0x80020006u);
inline constexpr HRESULT DISP_E_BADVARTYPE = makeHresult(0x80020008u);
inline constexpr HRESULT DISP_E_BADINDEX = makeHresult(0x8002000Bu);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = makeHresult(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = makeHresult(0x80020004u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = makeHresult(0x80020007u);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = makeHresult(0x8002000Eu);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = makeHresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = makeHresult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = makeHresult(0x80040154u);
inline constexpr HRESULT SELFREG_E_CLASS = makeHresult(0x80040201u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = makeHresult(0x800401F0u);
inline constexpr HRESULT CO_E_CLASSSTRING = makeHresult(0x800401F3u);
inline constexpr HRESULT CO_E_ERRORINDLL = makeHresult(0x800401F9u);
// The library named by the registration does not exist.
inline constexpr HRESULT HRESULT_MOD_NOT_FOUND = HRESULT_FROM_WIN32(126);

// ---- Interfaces ------------------------------------------------------------
//
// Abstract classes whose virtual functions, in declaration order and with no
// virtual destructor among them, give the function tables a COM caller
// indexes. Objects are freed by their own Release, never by delete through
// an interface.

using OLECHAR = char16_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
struct ITypeInfo;
struct VARIANT;
struct EXCEPINFO;

struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    std::uint32_t cArgs;
    std::uint32_t cNamedArgs;
};

struct IUnknown {
    virtual HRESULT QueryInterface(const IID& riid, void** object) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(std::uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(std::uint32_t index, LCID locale, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(const IID& riid, OLECHAR** names, std::uint32_t count,
                                  LCID locale, DISPID* dispIds) = 0;
    virtual HRESULT Invoke(DISPID dispId, const IID& riid, LCID locale, std::uint16_t flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           std::uint32_t* argumentError) = 0;

protected:
    ~IDispatch() = default;
};

// IDispatch::Invoke's kinds of call.
inline constexpr std::uint16_t DISPATCH_METHOD = 0x1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 0x2;

struct ISupportErrorInfo : IUnknown {
    // S_OK when the interface riid reports errors through error objects.
    virtual HRESULT InterfaceSupportsErrorInfo(const IID& riid) = 0;

protected:
    ~ISupportErrorInfo() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** object) = 0;
    virtual HRESULT LockServer(std::int32_t lock) = 0;

protected:
    ~IClassFactory() = default;
};

// Holds one reference to an interface.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr& other) : p_(other.p_) {
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() {
        if (p_ != nullptr) {
            T* old = p_;
            p_ = nullptr;
            old->Release();
        }
    }
    // Releases what is held and gives the slot for an out-parameter.
    void** receive() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// ---- Run time --------------------------------------------------------------

inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr std::uint32_t CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr std::uint32_t CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The entry points an in-process server library exports (with C names).
using DllGetClassObjectFunction = HRESULT (*)(const CLSID& clsid, const IID& riid, void** object);
using DllCanUnloadNowFunction = HRESULT (*)();
using DllRegisterServerFunction = HRESULT (*)();

extern "C" {

// Counts per thread: S_OK on the first call of a thread, S_FALSE after.
CORVANTIX_COM_API HRESULT CoInitialize(void* reserved);
// Undoes one CoInitialize. When the last initialised thread of the process
// leaves, servers that agree to it (DllCanUnloadNow) are unloaded.
CORVANTIX_COM_API void CoUninitialize();

// Creates an object of an in-process class: the library named by
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 is loaded, its class
// factory made and asked for a new object, which is queried for riid.
CORVANTIX_COM_API HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer,
                                           std::uint32_t context, const IID& riid, void** object);
// Unloads every loaded server whose DllCanUnloadNow answers S_OK.
CORVANTIX_COM_API void CoFreeUnusedLibraries();
// HKEY_CLASSES_ROOT\<progId>\CLSID; CO_E_CLASSSTRING when it is missing or malformed.
CORVANTIX_COM_API HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid);
// Puts an object into its running state. In-process objects run from their
// creation, so this checks that the object answers.
CORVANTIX_COM_API HRESULT OleRun(IUnknown* object);

} // extern "C"

// Why the last server library of this thread failed to load, for logs.
CORVANTIX_COM_API std::string comLastLoadError();
