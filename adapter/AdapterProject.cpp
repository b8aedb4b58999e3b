// The adapter library: its two entry points, the one-time set-up of a loaded
// copy, the dispatch by index or name, the three system functions and the
// handlers of the card control's 28 methods.
//
// All state below is this copy's own: the library is built with hidden
// symbols, an export list and no unique symbols, and the service loads each
// session's private copy with RTLD_LOCAL. Nothing is locked: the service calls
// a copy once at a time, on the thread that made its first call.

#include "adapter/Adapter.h"
#include "adapter/AdapterExports.h"
#include "adapter/AdapterUnlockList.h"
#include "adapter/AdapterUtil.h"
#include "common/Barrier.h"
#include "common/Cipher.h"
#include "common/Json.h"
#include "common/ToolLog.h"
#include "control/VondelTaveloInterface.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#define ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::string_view kModule = "AdapterProject";
constexpr std::string_view kIdentity = "VondelTaveloZynAdapter";
constexpr std::string_view kVersion = "1,0,18,719";

constexpr int kIndexVersion = -1;
constexpr int kIndexUnlock = -2;
constexpr int kIndexRelease = -3;

// ---- This copy's state -----------------------------------------------------

// The answer of the current call; the caller copies it before its next call.
std::optional<std::string> resultSlot;
bool initialised = false;
// Released by Corvantix_Release, never by a static destructor: at unload or
// exit the control's own library may already be finalised.
IVondelTaveloATL* control = nullptr;
std::unique_ptr<AdapterMap> functionMap;
// The component functions in registration order: entry i calls the method
// with dispatch id i + 1.
std::vector<AdapterFunction> indexTable;
int componentCount = 0;
// Holds the unlocked flag as well.
UrlAllowList allowList;

void setResult(std::string_view text) {
    resultSlot = std::string(text);
}
void setResultCode(int code) {
    resultSlot = std::to_string(code);
}

void logBuild() {
    logNormal("Adatper compile date: ", __DATE__);
    logNormal("Adatper compile time: ", __TIME__);
}

// ---- Component handlers ----------------------------------------------------

// The key-check mode for the reading of one handler's keys; off again on
// every way out.
class KeyCheckScope {
public:
    explicit KeyCheckScope(bool on) : on_(on) {
        if (on_) {
            setJsonMapKeyCheck(true);
            setJsonMapKeyCheckError(0);
        }
    }
    ~KeyCheckScope() { end(); }
    KeyCheckScope(const KeyCheckScope&) = delete;
    KeyCheckScope& operator=(const KeyCheckScope&) = delete;
    void end() {
        if (on_) {
            setJsonMapKeyCheck(false);
            on_ = false;
        }
    }

private:
    bool on_;
};

// A text argument. Wiped before it is freed, on every path: it may be a PIN.
class TextArgument {
public:
    TextArgument(const JsonMap* map, const char* key) : text_(getJsonMapBstr(map, key)) {}
    TextArgument(TextArgument&& other) noexcept = default;
    TextArgument& operator=(TextArgument&&) = delete;
    TextArgument(const TextArgument&) = delete;
    ~TextArgument() {
        if (const BSTR text = text_.get(); text != nullptr) {
            secureWipe(text, SysStringByteLen(text));
        }
    }
    BSTR value() const { return text_.get(); }

private:
    BstrString text_;
};

class IntegerArgument {
public:
    IntegerArgument(const JsonMap* map, const char* key) : value_(getJsonMapInt(map, key)) {}
    std::int32_t value() const { return value_; }

private:
    std::int32_t value_;
};

// The interface takes only strings and 32-bit integers.
template <class Parameter>
struct ArgumentKind;
template <>
struct ArgumentKind<BSTR> {
    using Type = TextArgument;
};
template <>
struct ArgumentKind<std::int32_t> {
    using Type = IntegerArgument;
};
template <class Parameter>
using ArgumentFor = typename ArgumentKind<Parameter>::Type;

// The method's [out, retval] value and its text.
template <class Out>
struct Answer;

template <>
struct Answer<std::int32_t> {
    std::int32_t value = 0;
    std::int32_t* receive() { return &value; }
    std::optional<std::string> text() { return std::to_string(value); }
};

template <>
struct Answer<BSTR> {
    BstrString value;
    BSTR* receive() { return value.receive(); }
    std::optional<std::string> text() { return bstrToUtf8(value); }
};

template <>
struct Answer<VARIANT> {
    Variant value;
    VARIANT* receive() { return value.receive(); }
    std::optional<std::string> text() { return variantToUtf8(std::move(value)); }
};

// A method's parameters: the inputs, then the [out, retval] pointer.
template <class Method>
struct MethodShape;

template <class... Parameters>
struct MethodShape<HRESULT (IVondelTaveloATL::*)(Parameters...)> {
    using All = std::tuple<Parameters...>;
    static constexpr std::size_t inputs = sizeof...(Parameters) - 1;
    template <std::size_t I>
    using Input = std::tuple_element_t<I, All>;
    using Out = std::remove_pointer_t<std::tuple_element_t<inputs, All>>;
};

// One handler's description: the method, its name and its JSON keys (the
// parameter names, in parameter order).
template <auto Method, std::size_t KeyCount>
struct Component {
    const char* name;
    std::array<const char*, KeyCount> keys;
    // Runs while locked and reads its keys without the key check.
    bool open = false;
};

template <auto Method, class... Keys>
constexpr Component<Method, sizeof...(Keys)> component(const char* name, Keys... keys) {
    static_assert(sizeof...(Keys) == MethodShape<decltype(Method)>::inputs,
                  "one key for each input parameter");
    return {name, {keys...}};
}

template <auto Method, class... Keys>
constexpr Component<Method, sizeof...(Keys)> openComponent(const char* name, Keys... keys) {
    auto c = component<Method>(name, keys...);
    c.open = true;
    return c;
}

using Ctl = IVondelTaveloATL;

// In dispatch-id order: entry i is registered at index i.
constexpr auto kComponents = std::make_tuple(
    component<&Ctl::ConnectCard>("ConnectCard", "readerName"),
    component<&Ctl::DisconnectCard>("DisconnectCard"),
    component<&Ctl::VerifyPIN>("VerifyPIN", "bReaderName", "bAdvReaderList", "PIN", "iFlags",
                               "iReplugTime"),
    component<&Ctl::VerifyPINEx>("VerifyPINEx", "strName", "bAdvReaderList", "iFlags",
                                 "iReplugTime"),
    component<&Ctl::GetTAC>("GetTAC", "bData", "iFlags"),
    component<&Ctl::GetErrorCode>("GetErrorCode"), component<&Ctl::GetServerAuth>("GetServerAuth"),
    component<&Ctl::VerifyServerResponse>("VerifyServerResponse", "bResponse"),
    component<&Ctl::SelectEF>("SelectEF", "EFID"),
    component<&Ctl::GetAccount>("GetAccount", "index"), component<&Ctl::GenRandom>("GenRandom"),
    component<&Ctl::GetSN>("GetSN"), component<&Ctl::GetCardStatus>("GetCardStatus"),
    component<&Ctl::ReadRecord>("ReadRecord", "index", "iFlags"),
    component<&Ctl::GetReaderList>("GetReaderList"),
    component<&Ctl::ChangePIN>("ChangePIN", "oldPIN", "newPIN"),
    component<&Ctl::DetectAdvReader>("DetectAdvReader", "bReader", "bAdvReaderList", "iFlags",
                                     "iReplugTime"),
    component<&Ctl::DoInquiryTAC>("DoInquiryTAC", "PIN", "bTermainalDeviceCheckID", "bAccountNo",
                                  "bPCode", "iFlags"),
    component<&Ctl::DoTransferTAC>("DoTransferTAC", "PIN", "bTermainalDeviceID",
                                   "bTermainalDeviceCheckID", "bOutBankNo", "bOutAccountNo",
                                   "bInBankNo", "bInAccountNo", "bAmount", "bPCode",
                                   "bServerDataTime", "iFlags"),
    component<&Ctl::DoPayTaxTAC>("DoPayTaxTAC", "bPIN", "bTermainalDeviceID",
                                 "bTermainalDeviceCheckID", "bOutBankNo", "bOutAccountNo",
                                 "bWriteOffAccountNo", "bTaxType", "bTaxName", "bAmount", "bPCode",
                                 "bServerDataTime", "iFlags"),
    component<&Ctl::DoPayFeeTAC>(
        "DoPayFeeTAC", "bPIN", "bTermainalDeviceID", "bTermainalDeviceCheckID", "bOutBankNo",
        "bOutAccountNo", "bFeeType", "bFeeName", "bAmount", "bPCode", "bServerDataTime", "iFlags"),
    openComponent<&Ctl::GetVersion>("GetVersion", "flag"), component<&Ctl::GetTSAC>("GetTSAC"),
    component<&Ctl::GetTSN>("GetTSN"), component<&Ctl::UserBrowser>("UserBrowser", "bBrowser"),
    component<&Ctl::VerifyURL>("VerifyURL", "bOutURL", "iFlags"),
    component<&Ctl::WRITE_RECORD_W_SNUM_TAC>("WRITE_RECORD_W_SNUM_TAC", "bData", "ip1p2", "iFlags"),
    component<&Ctl::GenerateTAC>("GenerateTAC", "bPIN", "bPCode", "GenTAC", "UserConirmData",
                                 "iFlags"));

constexpr std::size_t kComponentCount = std::tuple_size_v<decltype(kComponents)>;

template <std::size_t... Index>
constexpr bool inInterfaceOrder(std::index_sequence<Index...>) {
    return (
        (std::string_view(std::get<Index>(kComponents).name) == kVondelTaveloMethodNames[Index]) &&
        ...);
}
static_assert(kComponentCount == kVondelTaveloMethodCount);
static_assert(inInterfaceOrder(std::make_index_sequence<kComponentCount>{}),
              "the handlers' index is the method's dispatch id - 1");

// Keys are read in parameter order: the elements of a braced list are
// evaluated left to right.
template <class Shape, std::size_t KeyCount, std::size_t... Index>
auto readArguments([[maybe_unused]] const JsonMap* map,
                   [[maybe_unused]] const std::array<const char*, KeyCount>& keys,
                   std::index_sequence<Index...>) {
    return std::tuple<ArgumentFor<typename Shape::template Input<Index>>...>{
        ArgumentFor<typename Shape::template Input<Index>>(map, keys[Index])...};
}

template <auto Method, std::size_t KeyCount>
void runComponent(const Component<Method, KeyCount>& spec, const JsonMap* map) {
    using Shape = MethodShape<decltype(Method)>;
    const std::string handlerName = std::string("ComponentAPI_") + spec.name;
    logNormal("Into adapter function: ", handlerName);

    const bool keyCheck = KeyCount > 0 && !spec.open;
    KeyCheckScope scope(keyCheck);
    const auto arguments =
        readArguments<Shape>(map, spec.keys, std::make_index_sequence<KeyCount>{});
    scope.end();

    if (!spec.open && !allowList.unlocked()) {
        setResultCode(kResultNotUnlocked);
        return;
    }
    if (keyCheck && jsonMapKeyCheckError() != 0 && getJsonMapBool(map, "AdapterJsonKeyCheck")) {
        setResultCode(jsonMapKeyCheckError());
        return;
    }

    logNormal("Ready into component func: ", spec.name);
    try {
        if (control == nullptr) {
            throw ComError(E_POINTER);
        }
        Answer<typename Shape::Out> answer;
        const HRESULT hr = std::apply(
            [&answer](const auto&... argument) {
                return (control->*Method)(argument.value()..., answer.receive());
            },
            arguments);
        if (FAILED(hr)) {
            throw ComError(hr);
        }
        logNormal("Finish component func: ", spec.name);
        if (auto text = answer.text()) {
            resultSlot = std::move(*text);
        }
    } catch (const ComError&) {
        logWarning("Catch component exception", "");
        setResultCode(kResultComError);
        std::array<char, 512> line{};
        std::snprintf(line.data(), line.size(), "Safe in %s at %d lines in %s", handlerName.c_str(),
                      __LINE__, std::string(kModule).c_str());
        logError("[Safe Line] ", line.data());
    }
}

template <std::size_t Index>
void componentHandler(const JsonMap* map) {
    runComponent(std::get<Index>(kComponents), map);
}

template <std::size_t... Index>
void registerComponents(AdapterMap* map, std::index_sequence<Index...>) {
    (addAdapterFunction(map, &componentHandler<Index>, std::get<Index>(kComponents).name), ...);
}

// ---- System functions ------------------------------------------------------

void Corvantix_GetVersion(const JsonMap*) {
    setResult(kVersion);
}

void Corvantix_Unlock(const JsonMap* map) {
    if (const auto url = getJsonMapValue(map, "url")) {
        logNormal("CorvantixUnlock url: ", *url);
        // Once unlocked, a copy stays unlocked; later URLs are only logged.
        if (!allowList.unlocked()) {
            allowList.checkUnlockURL(*url);
        }
    } else {
        logNullParameter("url", kModule, __LINE__);
    }
    setResultCode(allowList.unlocked() ? 0 : kResultNotUnlocked);
    if (logWritersOn()) {
        logNormal("Check Corvantix url state: ", allowList.unlocked() ? "Success" : "Fail");
    }
}

// Takes the copy back to its state at load, the control released with it, so
// that nothing of the session outlives it and a later call sets the copy up
// (locked) afresh instead of reaching freed tables.
void Corvantix_Release(const JsonMap*) {
    functionMap.reset();
    indexTable.clear();
    indexTable.shrink_to_fit();
    componentCount = 0;
    resultSlot.reset();
    allowList.clear();
    if (control != nullptr) {
        control->Release();
        control = nullptr;
    }
    initialised = false;
    logNormal("CorvantixRelease", "");
}

// ---- Set-up and dispatch ---------------------------------------------------

HRESULT createComponent() {
    if (control != nullptr) {
        control->Release();
        control = nullptr;
    }
    ComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  unknown.receive());
    if (SUCCEEDED(hr)) {
        hr = OleRun(unknown.get());
        if (SUCCEEDED(hr)) {
            void* object = nullptr;
            hr = unknown->QueryInterface(IID_IVondelTaveloATL, &object);
            if (SUCCEEDED(hr) && object == nullptr) {
                hr = E_POINTER;
            }
            if (SUCCEEDED(hr)) {
                control = static_cast<IVondelTaveloATL*>(object);
            }
        }
    }
    return hr;
}

bool initAdapter() {
    if (initialised) {
        return true;
    }
    setLog(kIdentity);
    logNormal("Init adapter: ", kIdentity);
    logBuild();
    CoInitialize(nullptr);

    if (const HRESULT hr = createComponent(); FAILED(hr)) {
        logError("Component init error!", "");
        logErrorInt("Component init result: ", hr);
        setResultCode(kResultNoControl);
        return false;
    }
    setAdapterUnlockURL(allowList);

    auto map = createAdapterMap();
    if (!map) {
        logAllocationFailure(kModule, __LINE__);
        return false;
    }
    registerComponents(map.get(), std::make_index_sequence<kComponentCount>{});
    indexTable = map->entries;
    componentCount = static_cast<int>(indexTable.size());
    addAdapterFunction(map.get(), &Corvantix_GetVersion, "Corvantix_GetVersion");
    addAdapterFunction(map.get(), &Corvantix_Release, "Corvantix_Release");
    addAdapterFunction(map.get(), &Corvantix_Unlock, "Corvantix_Unlock");
    sortAdapterMap(map.get());
    functionMap = std::move(map);

    logNormal("Success enable:", "");
    logNormalInt("\tComponent api: ", componentCount);
    logNormalInt("\tSystem api: ", static_cast<long>(functionMap->entries.size()) - componentCount);
    initialised = true;
    return true;
}

void dispatchAdapterFunction(const JsonMap* map, const char* name) {
    if (map == nullptr) {
        logNullParameter("JsonMap", kModule, __LINE__);
        return;
    }
    if (name == nullptr) {
        logNullParameter("FunctionName", kModule, __LINE__);
        return;
    }
    const std::int32_t index = getJsonMapInt(map, "CorvantixFunctionIndex");
    logNormalInt("FunctionIndex: ", index);
    switch (index) {
    case kIndexRelease:
        Corvantix_Release(map);
        return;
    case kIndexUnlock:
        Corvantix_Unlock(map);
        return;
    case kIndexVersion:
        Corvantix_GetVersion(map);
        return;
    default:
        break;
    }

    if (index < kIndexRelease || index >= componentCount) {
        logWarning("FunctionIndex: ", "Out of range");
    } else {
        const AdapterFunction& entry = indexTable[static_cast<std::size_t>(index)];
        if (sameAdapterName(entry.name, name)) {
            entry.handler(map);
            return;
        }
        logWarning("CorvantixFunctionIndex is not match with adapter", "");
        logWarning("FunctionName from web: ", name);
        logWarning("FunctionName in adapter: ", entry.name);
    }

    logWarning("FunctionIndex mode: ", "Fail");
    logNormal("Function search name mode: ", name);
    if (const AdapterHandler handler = findAdapterFunction(functionMap.get(), name)) {
        handler(map);
        return;
    }
    logWarning("Function name does not match: ", name);
    setResultCode(kResultBadArgument);
}

// Runs one export call: the last answer freed first, no exception let out,
// and never a null answer.
template <class Body>
const char* exportCall(Body&& body) {
    resultSlot.reset();
    const bool done = exceptionBarrier("Adapter call exception: ", false, [&] {
        body();
        return true;
    });
    if (!done) {
        resultSlot.reset();
    }
    return resultSlot ? resultSlot->c_str() : "";
}

} // namespace

ADAPTER_EXPORT const char* callJsonMapMethod(const JsonMap* map, const char* functionName) {
    static_assert(std::is_same_v<decltype(&callJsonMapMethod), CallJsonMapMethodFn>);
    return exportCall([&] {
        logNormal("Into json map adapter: ", kIdentity);
        logBuild();
        if (map == nullptr) {
            logNullParameter("JsonMap", kModule, __LINE__);
            return;
        }
        if (functionName == nullptr) {
            logNullParameter("FunctionName", kModule, __LINE__);
            return;
        }
        if (initAdapter()) {
            dispatchAdapterFunction(map, functionName);
        }
    });
}

ADAPTER_EXPORT const char* callMethod(const char* jsonText) {
    static_assert(std::is_same_v<decltype(&callMethod), CallMethodFn>);
    return exportCall([&] {
        logNormal("Into adapter: ", kIdentity);
        logBuild();
        if (jsonText == nullptr) {
            logNullParameter("JSONObj", kModule, __LINE__);
            return;
        }
        const JsonMapPtr map = parseJsonMap(std::string_view(jsonText));
        if (!map) {
            logAllocationFailure(kModule, __LINE__);
            return;
        }
        displayParameter(map.get());
        const auto name = getJsonMapValue(map.get(), "FunctionName");
        if (!name) {
            logWarning("Function name is null", "");
            setResultCode(kResultBadArgument);
            return;
        }
        if (initAdapter()) {
            dispatchAdapterFunction(map.get(), name->c_str());
        }
    });
}
