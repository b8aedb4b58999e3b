#include "control/VondelTaveloDispatch.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tavelo {

namespace {

// A VARIANT that holds an error code marks a left-out argument.
constexpr VARTYPE kVtError = 10;

template <class Method>
struct MethodTraits;
template <class... Parameters>
struct MethodTraits<HRESULT (IVondelTaveloATL::*)(Parameters...)> {
    using Types = std::tuple<Parameters...>;
    static constexpr std::size_t inputs = sizeof...(Parameters) - 1;
};

bool leftOut(const VARIANT* value) {
    return value == nullptr || (value->vt == kVtError && value->lVal == DISP_E_PARAMNOTFOUND);
}

HRESULT argument(const VARIANT* value, std::int32_t& out, std::deque<Variant>&) {
    if (leftOut(value)) {
        out = 0;
        return S_OK;
    }
    switch (value->vt) {
    case VT_EMPTY:
        out = 0;
        return S_OK;
    case VT_I4:
    case VT_INT:
        out = value->lVal;
        return S_OK;
    case VT_BOOL:
        out = value->boolVal;
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT argument(const VARIANT* value, BSTR& out, std::deque<Variant>& kept) {
    if (leftOut(value) || value->vt == VT_EMPTY || value->vt == VT_NULL) {
        out = nullptr;
        return S_OK;
    }
    if (value->vt == VT_BSTR) {
        out = value->bstrVal;
        return S_OK;
    }
    Variant& text = kept.emplace_back();
    if (FAILED(VariantChangeType(text.get(), value, 0, VT_BSTR))) {
        return DISP_E_TYPEMISMATCH;
    }
    out = text.get()->bstrVal;
    return S_OK;
}

void store(std::int32_t value, VARIANT* result) {
    if (result != nullptr) {
        result->vt = VT_I4;
        result->lVal = value;
    }
}
// A text the method left unset leaves the result empty.
void store(BSTR value, VARIANT* result) {
    if (result == nullptr || value == nullptr) {
        SysFreeString(value);
        return;
    }
    result->vt = VT_BSTR;
    result->bstrVal = value;
}
void store(VARIANT& value, VARIANT* result) {
    if (result == nullptr) {
        VariantClear(&value);
        return;
    }
    *result = value;
}

template <auto Method, std::size_t... I>
HRESULT callWith(IVondelTaveloATL* self, const std::vector<const VARIANT*>& arguments,
                 VARIANT* result, std::uint32_t* argumentError, std::index_sequence<I...>) {
    using Types = typename MethodTraits<decltype(Method)>::Types;
    using Out = std::remove_pointer_t<std::tuple_element_t<sizeof...(I), Types>>;
    std::tuple<std::tuple_element_t<I, Types>...> in{};
    std::deque<Variant> kept;
    // rgvarg's index of an argument: the given ones lead, left-out ones are null.
    const auto given = static_cast<std::size_t>(
        std::count_if(arguments.begin(), arguments.end(), [](auto a) { return a != nullptr; }));
    HRESULT hr = S_OK;
    const auto convert = [&](std::size_t index, auto& slot) {
        if (SUCCEEDED(hr)) {
            hr = argument(arguments[index], slot, kept);
            if (FAILED(hr) && argumentError != nullptr) {
                *argumentError = static_cast<std::uint32_t>(given - 1 - index);
            }
        }
    };
    (convert(I, std::get<I>(in)), ...);
    static_cast<void>(convert); // a method without arguments converts none
    if (FAILED(hr)) {
        return hr;
    }
    Out out{};
    if constexpr (std::is_same_v<Out, VARIANT>) {
        VariantInit(&out);
    }
    hr = (self->*Method)(std::get<I>(in)..., &out);
    if (SUCCEEDED(hr)) {
        store(out, result);
    }
    return hr;
}

template <auto Method>
HRESULT call(IVondelTaveloATL* self, const std::vector<const VARIANT*>& arguments, VARIANT* result,
             std::uint32_t* argumentError) {
    return callWith<Method>(self, arguments, result, argumentError,
                            std::make_index_sequence<MethodTraits<decltype(Method)>::inputs>{});
}

template <auto Method>
TaveloDispatchEntry entry(DISPID id, std::vector<std::string_view> parameters,
                          bool lastOptional = false) {
    return {id, kVondelTaveloMethodNames[static_cast<std::size_t>(id - 1)], std::move(parameters),
            lastOptional, &call<Method>};
}

bool sameName(std::u16string_view wide, std::string_view name) {
    return wide.size() == name.size() &&
           std::equal(wide.begin(), wide.end(), name.begin(), [](char16_t a, char b) {
               return a < 128 && std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
           });
}

std::u16string_view nameOf(const OLECHAR* name) {
    return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

} // namespace

const std::vector<TaveloDispatchEntry>& taveloDispatchTable() {
    using I = IVondelTaveloATL;
    static const std::vector<TaveloDispatchEntry> table = {
        entry<&I::ConnectCard>(1, {"readerName"}),
        entry<&I::DisconnectCard>(2, {}),
        entry<&I::VerifyPIN>(3, {"bReaderName", "bAdvReaderList", "PIN", "iFlags", "iReplugTime"}),
        entry<&I::VerifyPINEx>(4, {"strName", "bAdvReaderList", "iFlags", "iReplugTime"}),
        entry<&I::GetTAC>(5, {"bData", "iFlags"}),
        entry<&I::GetErrorCode>(6, {}),
        entry<&I::GetServerAuth>(7, {}),
        entry<&I::VerifyServerResponse>(8, {"bResponse"}),
        entry<&I::SelectEF>(9, {"EFID"}),
        entry<&I::GetAccount>(10, {"index"}),
        entry<&I::GenRandom>(11, {}),
        entry<&I::GetSN>(12, {}),
        entry<&I::GetCardStatus>(13, {}),
        entry<&I::ReadRecord>(14, {"index", "iFlags"}),
        entry<&I::GetReaderList>(15, {}),
        entry<&I::ChangePIN>(16, {"oldPIN", "newPIN"}),
        entry<&I::DetectAdvReader>(17, {"bReader", "bAdvReaderList", "iFlags", "iReplugTime"}),
        entry<&I::DoInquiryTAC>(
            18, {"PIN", "bTermainalDeviceCheckID", "bAccountNo", "bPCode", "iFlags"}, true),
        entry<&I::DoTransferTAC>(19,
                                 {"PIN", "bTermainalDeviceID", "bTermainalDeviceCheckID",
                                  "bOutBankNo", "bOutAccountNo", "bInBankNo", "bInAccountNo",
                                  "bAmount", "bPCode", "bServerDataTime", "iFlags"},
                                 true),
        entry<&I::DoPayTaxTAC>(20, {"bPIN", "bTermainalDeviceID", "bTermainalDeviceCheckID",
                                    "bOutBankNo", "bOutAccountNo", "bWriteOffAccountNo", "bTaxType",
                                    "bTaxName", "bAmount", "bPCode", "bServerDataTime", "iFlags"}),
        entry<&I::DoPayFeeTAC>(21, {"bPIN", "bTermainalDeviceID", "bTermainalDeviceCheckID",
                                    "bOutBankNo", "bOutAccountNo", "bFeeType", "bFeeName",
                                    "bAmount", "bPCode", "bServerDataTime", "iFlags"}),
        entry<&I::GetVersion>(22, {"flag"}),
        entry<&I::GetTSAC>(23, {}),
        entry<&I::GetTSN>(24, {}),
        entry<&I::UserBrowser>(25, {"bBrowser"}),
        entry<&I::VerifyURL>(26, {"bOutURL", "iFlags"}),
        entry<&I::WRITE_RECORD_W_SNUM_TAC>(27, {"bData", "ip1p2", "iFlags"}),
        entry<&I::GenerateTAC>(28, {"bPIN", "bPCode", "GenTAC", "UserConirmData", "iFlags"}),
    };
    return table;
}

HRESULT taveloGetIDsOfNames(OLECHAR** names, std::uint32_t count, DISPID* dispIds) {
    if (names == nullptr || dispIds == nullptr) {
        return E_POINTER;
    }
    if (count == 0) {
        return S_OK;
    }
    std::fill(dispIds, dispIds + count, DISPID{-1});
    const auto& table = taveloDispatchTable();
    const auto method = std::find_if(table.begin(), table.end(), [&](const auto& e) {
        return sameName(nameOf(names[0]), e.name);
    });
    if (method == table.end()) {
        return DISP_E_UNKNOWNNAME;
    }
    dispIds[0] = method->id;
    HRESULT hr = S_OK;
    for (std::uint32_t i = 1; i < count; ++i) {
        const auto& parameters = method->parameters;
        const auto found = std::find_if(parameters.begin(), parameters.end(),
                                        [&](auto p) { return sameName(nameOf(names[i]), p); });
        if (found == parameters.end()) {
            hr = DISP_E_UNKNOWNNAME;
        } else {
            dispIds[i] = static_cast<DISPID>(found - parameters.begin());
        }
    }
    return hr;
}

HRESULT taveloInvoke(IVondelTaveloATL* self, DISPID dispId, std::uint16_t flags, DISPPARAMS* params,
                     VARIANT* result, std::uint32_t* argumentError) {
    const auto& table = taveloDispatchTable();
    if (dispId < 1 || dispId > static_cast<DISPID>(table.size())) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (params == nullptr) {
        return E_INVALIDARG;
    }
    if (params->cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    const TaveloDispatchEntry& method = table[static_cast<std::size_t>(dispId - 1)];
    const std::size_t expected = method.parameters.size();
    const std::size_t given = params->cArgs;
    if (given > expected || given + (method.lastOptional ? 1 : 0) < expected ||
        (given != 0 && params->rgvarg == nullptr)) {
        return DISP_E_BADPARAMCOUNT;
    }
    // rgvarg holds the last argument first.
    std::vector<const VARIANT*> arguments(expected, nullptr);
    for (std::size_t i = 0; i < given; ++i) {
        arguments[i] = &params->rgvarg[given - 1 - i];
    }
    if (result != nullptr) {
        VariantInit(result);
    }
    return method.call(self, arguments, result, argumentError);
}

} // namespace tavelo
