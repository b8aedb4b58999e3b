#include "control/VondelTaveloATL.h"

#include "control/CardMethods.h"
#include "control/ControlBarrier.h"
#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"
#include "control/GenerateTac.h"
#include "control/ServerAuth.h"
#include "control/TaveloText.h"
#include "control/TransactionMethods.h"
#include "control/VondelTaveloDispatch.h"
#include "control/ui/UI.h"
#include "control/ui/UIConfirm.h"
#include "platform/com/ComServer.h"

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace tavelo {

namespace {

// The PIN dialog as the card routines ask for it: the countdown keypad,
// digits 18 high, at most 12 of them.
int askPin(SecretString& pin) {
    if (const int rc = UI_SetPasswdDlgProc(PasswdDlg_CountDown); rc != kCtlOk) {
        CTL_LOG(kLogDebug, "UI_SetPasswdDlgProc rtn = %d", rc);
        return rc;
    }
    UI_SetKeyFontSize(18);
    UI_SetPasswdMaxLen(12);
    return UI_PasswdDlg(0, 0, pin);
}

// A method with a number result: the result is written before anything else
// (5002, which an exception leaves), then the body's code. With setsError the
// code also goes to m_lErrorCode.
template <class Body>
HRESULT numberResult(const char* name, std::int32_t* out, std::int32_t& errorCode, bool setsError,
                     Body&& body) noexcept {
    if (out != nullptr) {
        *out = kCtlNoMemory;
    }
    const std::int32_t rc = controlBarrier(name, std::int32_t{kCtlNoMemory}, body);
    if (out != nullptr) {
        *out = rc;
    }
    if (setsError) {
        errorCode = rc;
    }
    return S_OK;
}

// A method with a text or list result: the body writes the result only on
// success; an exception sets m_lErrorCode to 5002.
template <class Body>
HRESULT valueResult(const char* name, std::int32_t& errorCode, Body&& body) noexcept {
    controlBarrier(name, [&] {
        try {
            body();
        } catch (...) {
            errorCode = kCtlNoMemory;
            throw;
        }
    });
    return S_OK;
}

// A BSTR argument as its characters (null: none).
std::optional<std::u16string_view> wide(BSTR text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::u16string_view(text, SysStringLen(text));
}

// The names of a multi-string.
std::vector<std::string> splitReaders(const char* list, std::uint32_t length) {
    std::vector<std::string> names;
    std::string_view rest(list, length);
    while (!rest.empty() && rest.front() != '\0') {
        const std::size_t end = rest.find('\0');
        names.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    return names;
}

// A BSTR argument as code-page 950 text (a reader name: UTF-8; nullopt for
// a null BSTR); false with the conversion's code when it does not convert.
bool argument(BSTR text, OptionalText& out, std::int32_t& code,
              std::uint32_t codePage = kArgumentCodePage) {
    std::size_t length = 0;
    int rc = kCtlOk;
    out = BstrToMultiByte(codePage, text, -1, length, rc);
    if (rc != kCtlOk) {
        code = rc;
        return false;
    }
    if (out) {
        out->resize(length); // the terminating zeros go
    }
    return true;
}

// A PIN argument: the converted text moves into wiped memory.
bool secretArgument(BSTR text, SecretString& out, std::int32_t& code) {
    OptionalText converted;
    if (!argument(text, converted, code)) {
        return false;
    }
    if (converted) {
        out = SecretString(std::move(*converted));
    }
    return true;
}

} // namespace

CVondelTaveloATL::CVondelTaveloATL() {
    m_state.pinDialog = askPin;
}

CVondelTaveloATL::~CVondelTaveloATL() {
    controlBarrier("~CVondelTaveloATL", [this] { QxSCReleaseCard(m_state.m_pCard); });
}

void CVondelTaveloATL::TextResult(std::int32_t rc, const std::string& text, BSTR* out) {
    m_state.m_lErrorCode = rc;
    if (rc != kCtlOk || text.empty()) {
        return;
    }
    BSTR made = MultiByteToBstr(text);
    if (made != nullptr && out != nullptr) {
        *out = made;
    } else {
        SysFreeString(made);
    }
}

BSTR CVondelTaveloATL::MultiByteToBstr(const std::string& text) {
    return tavelo::MultiByteToBstr(m_state.m_uiResultCodePage, text.c_str(), text.size(),
                                   m_state.m_lErrorCode);
}

// ---- IDispatch, ISupportErrorInfo -------------------------------------------

HRESULT CVondelTaveloATL::GetTypeInfoCount(std::uint32_t* count) noexcept {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 0; // callers find the methods by name
    return S_OK;
}

HRESULT CVondelTaveloATL::GetTypeInfo(std::uint32_t, LCID, ITypeInfo** info) noexcept {
    if (info != nullptr) {
        *info = nullptr;
    }
    return DISP_E_BADINDEX;
}

HRESULT CVondelTaveloATL::GetIDsOfNames(const IID&, OLECHAR** names, std::uint32_t count, LCID,
                                        DISPID* dispIds) noexcept {
    return comExceptionBarrier(E_FAIL, [&] { return taveloGetIDsOfNames(names, count, dispIds); });
}

HRESULT CVondelTaveloATL::Invoke(DISPID dispId, const IID&, LCID, std::uint16_t flags,
                                 DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                 std::uint32_t* argumentError) noexcept {
    return comExceptionBarrier(
        E_FAIL, [&] { return taveloInvoke(this, dispId, flags, params, result, argumentError); });
}

HRESULT CVondelTaveloATL::InterfaceSupportsErrorInfo(const IID& riid) noexcept {
    return riid == IID_IVondelTaveloATL ? S_OK : S_FALSE;
}

// ---- Card connection ------------------------------------------------------------

HRESULT CVondelTaveloATL::ConnectCard(BSTR readerName, std::int32_t* ReturnVal) noexcept {
    return numberResult("ConnectCard", ReturnVal, m_state.m_lErrorCode, true,
                        [&] { return m_state.ConnectCard(wide(readerName)); });
}

HRESULT CVondelTaveloATL::DisconnectCard(std::int32_t* ReturnVal) noexcept {
    return numberResult("DisconnectCard", ReturnVal, m_state.m_lErrorCode, true,
                        [&] { return m_state.DisconnectCard(); });
}

// ---- Accessors --------------------------------------------------------------------

HRESULT CVondelTaveloATL::GetErrorCode(std::int32_t* ReturnVal) noexcept {
    return numberResult("GetErrorCode", ReturnVal, m_state.m_lErrorCode, false,
                        [&] { return m_state.m_lErrorCode; });
}

HRESULT CVondelTaveloATL::GetCardStatus(std::int32_t* Ret) noexcept {
    return numberResult("GetCardStatus", Ret, m_state.m_lErrorCode, false, [&] {
        if (!m_state.m_pCard) {
            return std::int32_t{kCtlNoCard};
        }
        return m_state.m_pCard->dwState == platform::pcsc::kStateSpecific
                   ? std::int32_t{kCtlOk}
                   : std::int32_t{kCtlCardAbsent};
    });
}

HRESULT CVondelTaveloATL::GetReaderList(VARIANT* rtns) noexcept {
    return valueResult("GetReaderList", m_state.m_lErrorCode, [&] {
        QxSCMemory list;
        std::uint32_t length = 0;
        int rc = QxSCListReaders(nullptr, list, length);
        SAFEARRAY* array = nullptr;
        if (rc == kCtlOk) {
            const auto names = splitReaders(list.get(), length);
            array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<std::uint32_t>(names.size()));
            rc = array == nullptr ? kCtlNoMemory : kCtlOk;
            for (std::int32_t i = 0; rc == kCtlOk && i < static_cast<std::int32_t>(names.size());
                 ++i) {
                Variant element;
                const std::string& name = names[static_cast<std::size_t>(i)];
                element.get()->bstrVal = tavelo::MultiByteToBstr(kReaderCodePage, name.c_str(),
                                                                 name.size(), m_state.m_lErrorCode);
                if (element.get()->bstrVal == nullptr) {
                    rc = m_state.m_lErrorCode; // the conversion's code
                    break;
                }
                element.get()->vt = VT_BSTR;
                if (FAILED(SafeArrayPutElement(array, &i, element.get()))) {
                    rc = kCtlFailed;
                }
            }
        }
        if (rc == kCtlOk && rtns != nullptr) {
            rtns->vt = VT_ARRAY | VT_VARIANT;
            rtns->parray = array;
        } else if (array != nullptr) {
            SafeArrayDestroy(array);
        }
        m_state.m_lErrorCode = rc;
    });
}

HRESULT CVondelTaveloATL::GetVersion(std::int32_t, BSTR* ver) noexcept {
    return valueResult("GetVersion", m_state.m_lErrorCode, [&] {
        std::array<char, 128> version{};
        if (GetFileVersionText(version) != kCtlOk) {
            m_state.m_lErrorCode = kCtlVersionUnreadable;
            return;
        }
        m_state.m_lErrorCode = kCtlOk;
        BSTR text = MultiByteToBstr(version.data());
        if (text != nullptr && ver != nullptr) {
            *ver = text;
        } else {
            SysFreeString(text);
        }
    });
}

HRESULT CVondelTaveloATL::GetTSAC(BSTR* Ret) noexcept {
    return valueResult("GetTSAC", m_state.m_lErrorCode, [&] {
        BSTR text = MultiByteToBstr(m_state.m_szTSAC);
        if (text != nullptr && Ret != nullptr) {
            *Ret = text;
        } else {
            SysFreeString(text);
        }
    });
}

HRESULT CVondelTaveloATL::GetTSN(BSTR* Ret) noexcept {
    return valueResult("GetTSN", m_state.m_lErrorCode, [&] {
        BSTR text = MultiByteToBstr(m_state.m_szTSN);
        if (text != nullptr && Ret != nullptr) {
            *Ret = text;
        } else {
            SysFreeString(text);
        }
    });
}

HRESULT CVondelTaveloATL::UserBrowser(BSTR bBrowser, std::int32_t* Ret) noexcept {
    return numberResult("UserBrowser", Ret, m_state.m_lErrorCode, true, [&] {
        const auto name = wide(bBrowser);
        const std::u16string_view text =
            name ? name->substr(0, name->find(u'\0')) : std::u16string_view();
        if (text.empty()) {
            return std::int32_t{kCtlBadArgument};
        }
        g_szUserBrowser.set(text); // at most 255 characters
        return std::int32_t{kCtlOk};
    });
}

// ---- Card methods ------------------------------------------------------------------

HRESULT CVondelTaveloATL::VerifyPIN(BSTR bReaderName, BSTR bAdvReaderList, BSTR PIN,
                                    std::int32_t iFlags, std::int32_t iReplugTime,
                                    std::int32_t* ReturnVal) noexcept {
    return numberResult("VerifyPIN", ReturnVal, m_state.m_lErrorCode, true, [&] {
        // However the call ends, a failed conversion included, the keypad
        // prompt may close.
        const struct Finish {
            ~Finish() { isFinish = 1; }
        } finish;
        OptionalText reader, list;
        SecretString pin;
        std::int32_t rc = kCtlOk;
        if (argument(bReaderName, reader, rc, kReaderCodePage) &&
            argument(bAdvReaderList, list, rc) && secretArgument(PIN, pin, rc)) {
            rc = CardVerifyPIN(m_state, reader, list, pin, iFlags, iReplugTime);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::VerifyPINEx(BSTR strName, BSTR bAdvReaderList, std::int32_t iFlags,
                                      std::int32_t iReplugTime, std::int32_t* ReturnVal) noexcept {
    return numberResult("VerifyPINEx", ReturnVal, m_state.m_lErrorCode, true, [&] {
        OptionalText reader, list;
        std::int32_t rc = kCtlOk;
        if (argument(strName, reader, rc, kReaderCodePage) && argument(bAdvReaderList, list, rc)) {
            rc = CardVerifyPINEx(m_state, reader, list, iFlags, iReplugTime);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::GetTAC(BSTR bData, std::int32_t iFlags, BSTR* ReturnVal) noexcept {
    return valueResult("GetTAC", m_state.m_lErrorCode, [&] {
        OptionalText data;
        std::string out;
        std::int32_t rc = kCtlOk;
        if (argument(bData, data, rc)) {
            rc = CardGetTAC(m_state, data, iFlags, out);
        }
        TextResult(rc, out, ReturnVal);
    });
}

HRESULT CVondelTaveloATL::SelectEF(BSTR EFID, std::int32_t* Ret) noexcept {
    return numberResult("SelectEF", Ret, m_state.m_lErrorCode, true, [&] {
        OptionalText efid;
        std::int32_t rc = kCtlOk;
        if (argument(EFID, efid, rc)) {
            rc = CardSelectEF(m_state, efid);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::GetAccount(std::int32_t index, BSTR* Ret) noexcept {
    return valueResult("GetAccount", m_state.m_lErrorCode, [&] {
        std::string out;
        const std::int32_t rc = CardGetAccount(m_state, index, out);
        TextResult(rc, out, Ret);
    });
}

HRESULT CVondelTaveloATL::GenRandom(BSTR* Ret) noexcept {
    return valueResult("GenRandom", m_state.m_lErrorCode, [&] {
        std::string out;
        const std::int32_t rc = CardGenRandom(m_state, out);
        TextResult(rc, out, Ret);
    });
}

HRESULT CVondelTaveloATL::GetSN(BSTR* Ret) noexcept {
    return valueResult("GetSN", m_state.m_lErrorCode, [&] {
        std::string out;
        const std::int32_t rc = CardGetSN(m_state, out);
        TextResult(rc, out, Ret);
    });
}

HRESULT CVondelTaveloATL::ReadRecord(std::int32_t index, std::int32_t iFlags, BSTR* Ret) noexcept {
    return valueResult("ReadRecord", m_state.m_lErrorCode, [&] {
        std::string out;
        const std::int32_t rc = CardReadRecord(m_state, index, iFlags, out);
        TextResult(rc, out, Ret);
    });
}

HRESULT CVondelTaveloATL::ChangePIN(BSTR oldPIN, BSTR newPIN, std::int32_t* ReturnVal) noexcept {
    return numberResult("ChangePIN", ReturnVal, m_state.m_lErrorCode, true, [&] {
        SecretString oldPin, newPin;
        std::int32_t rc = kCtlOk;
        if (secretArgument(oldPIN, oldPin, rc) && secretArgument(newPIN, newPin, rc)) {
            rc = CardChangePIN(m_state, oldPin, newPin);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::DetectAdvReader(BSTR bReader, BSTR bAdvReaderList, std::int32_t iFlags,
                                          std::int32_t iReplugTime, std::int32_t* Ret) noexcept {
    return numberResult("DetectAdvReader", Ret, m_state.m_lErrorCode, true, [&] {
        OptionalText reader, list;
        std::int32_t rc = kCtlOk;
        if (argument(bReader, reader, rc, kReaderCodePage) && argument(bAdvReaderList, list, rc)) {
            rc = CardDetectAdvReader(m_state, reader, list, iFlags, iReplugTime);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::WRITE_RECORD_W_SNUM_TAC(BSTR bData, std::int32_t, std::int32_t iFlags,
                                                  BSTR* ReturnVal) noexcept {
    return valueResult("WRITE_RECORD_W_SNUM_TAC", m_state.m_lErrorCode, [&] {
        OptionalText data;
        std::string out;
        std::int32_t rc = kCtlOk;
        if (argument(bData, data, rc)) {
            rc = CardWriteRecordWithSerialTac(m_state, data, iFlags, out);
        }
        TextResult(rc, out, ReturnVal);
    });
}

// ---- Transaction methods ------------------------------------------------------------

HRESULT CVondelTaveloATL::DoInquiryTAC(BSTR PIN, BSTR bTermainalDeviceCheckID, BSTR bAccountNo,
                                       BSTR bPCode, std::int32_t iFlags,
                                       std::int32_t* Ret) noexcept {
    return numberResult("DoInquiryTAC", Ret, m_state.m_lErrorCode, true, [&] {
        return std::int32_t{
            TxDoInquiryTAC(m_state, {PIN, bTermainalDeviceCheckID, bAccountNo, bPCode}, iFlags)};
    });
}

HRESULT CVondelTaveloATL::DoTransferTAC(BSTR PIN, BSTR bTermainalDeviceID,
                                        BSTR bTermainalDeviceCheckID, BSTR bOutBankNo,
                                        BSTR bOutAccountNo, BSTR bInBankNo, BSTR bInAccountNo,
                                        BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                                        std::int32_t iFlags, std::int32_t* Ret) noexcept {
    return numberResult("DoTransferTAC", Ret, m_state.m_lErrorCode, true, [&] {
        return std::int32_t{TxDoTransferTAC(m_state,
                                            {PIN, bTermainalDeviceID, bTermainalDeviceCheckID,
                                             bOutBankNo, bOutAccountNo, bInBankNo, bInAccountNo,
                                             bAmount, bPCode, bServerDataTime},
                                            iFlags)};
    });
}

HRESULT CVondelTaveloATL::DoPayTaxTAC(BSTR bPIN, BSTR bTermainalDeviceID,
                                      BSTR bTermainalDeviceCheckID, BSTR bOutBankNo,
                                      BSTR bOutAccountNo, BSTR bWriteOffAccountNo, BSTR bTaxType,
                                      BSTR bTaxName, BSTR bAmount, BSTR bPCode,
                                      BSTR bServerDataTime, std::int32_t iFlags,
                                      std::int32_t* Ret) noexcept {
    return numberResult("DoPayTaxTAC", Ret, m_state.m_lErrorCode, true, [&] {
        return std::int32_t{TxDoPayTaxTAC(m_state,
                                          {bPIN, bTermainalDeviceID, bTermainalDeviceCheckID,
                                           bOutBankNo, bOutAccountNo, bWriteOffAccountNo, bTaxType,
                                           bTaxName, bAmount, bPCode, bServerDataTime},
                                          iFlags)};
    });
}

HRESULT CVondelTaveloATL::DoPayFeeTAC(BSTR bPIN, BSTR bTermainalDeviceID,
                                      BSTR bTermainalDeviceCheckID, BSTR bOutBankNo,
                                      BSTR bOutAccountNo, BSTR bFeeType, BSTR bFeeName,
                                      BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                                      std::int32_t iFlags, std::int32_t* Ret) noexcept {
    return numberResult("DoPayFeeTAC", Ret, m_state.m_lErrorCode, true, [&] {
        return std::int32_t{
            TxDoPayFeeTAC(m_state,
                          {bPIN, bTermainalDeviceID, bTermainalDeviceCheckID, bOutBankNo,
                           bOutAccountNo, bFeeType, bFeeName, bAmount, bPCode, bServerDataTime},
                          iFlags)};
    });
}

// ---- Authorisation ---------------------------------------------------------------------

HRESULT CVondelTaveloATL::GetServerAuth(BSTR* auth) noexcept {
    return valueResult("GetServerAuth", m_state.m_lErrorCode, [&] {
        std::string challenge;
        const std::int32_t rc = ServerGetAuth(m_state, challenge);
        TextResult(rc, challenge, auth);
    });
}

HRESULT CVondelTaveloATL::VerifyServerResponse(BSTR bResponse, std::int32_t* Ret) noexcept {
    return numberResult("VerifyServerResponse", Ret, m_state.m_lErrorCode, true, [&] {
        OptionalText response;
        std::int32_t rc = kCtlOk;
        if (argument(bResponse, response, rc)) {
            rc = ServerVerifyResponse(m_state, response);
        }
        return rc;
    });
}

HRESULT CVondelTaveloATL::VerifyURL(BSTR bOutURL, std::int32_t, std::int32_t* Ret) noexcept {
    return numberResult("VerifyURL", Ret, m_state.m_lErrorCode, true, [&] {
        if (m_state.m_bAuthorized) {
            return std::int32_t{kCtlOk};
        }
        OptionalText url;
        std::int32_t rc = kCtlOk;
        if (argument(bOutURL, url, rc)) {
            rc = ServerVerifyURL(m_state, url);
        }
        return rc;
    });
}

// ---- Generic transaction ---------------------------------------------------------------

HRESULT CVondelTaveloATL::GenerateTAC(BSTR bPIN, std::int32_t bPCode, BSTR GenTAC,
                                      BSTR UserConirmData, std::int32_t iFlags,
                                      std::int32_t* Ret) noexcept {
    return numberResult("GenerateTAC", Ret, m_state.m_lErrorCode, true, [&] {
        OptionalText fields, lines;
        SecretString pin;
        std::int32_t rc = kCtlOk;
        if (secretArgument(bPIN, pin, rc) && argument(GenTAC, fields, rc) &&
            argument(UserConirmData, lines, rc)) {
            rc = RunGenerateTAC(m_state, pin, bPCode, fields, lines, iFlags);
        }
        return rc;
    });
}

} // namespace tavelo
