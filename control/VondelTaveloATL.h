#pragma once

// The card control's COM class: the dual interface's 28 methods, each a short
// call down to the control's state, its card layer and its dialogs. Every
// method returns S_OK; its outcome is a control code in its number result
// or, for text and list results, in what GetErrorCode returns.

#include "control/ControlState.h"
#include "control/VondelTaveloInterface.h"

namespace tavelo {

class CVondelTaveloATL : public IVondelTaveloATL, public ISupportErrorInfo {
public:
    CVondelTaveloATL();
    // Releases a card still held as DisconnectCard does.
    ~CVondelTaveloATL();
    CVondelTaveloATL(const CVondelTaveloATL&) = delete;
    CVondelTaveloATL& operator=(const CVondelTaveloATL&) = delete;

    // IDispatch: the same methods by name and dispatch id.
    HRESULT GetTypeInfoCount(std::uint32_t* count) noexcept override;
    HRESULT GetTypeInfo(std::uint32_t index, LCID locale, ITypeInfo** info) noexcept override;
    HRESULT GetIDsOfNames(const IID& riid, OLECHAR** names, std::uint32_t count, LCID locale,
                          DISPID* dispIds) noexcept override;
    HRESULT Invoke(DISPID dispId, const IID& riid, LCID locale, std::uint16_t flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                   std::uint32_t* argumentError) noexcept override;

    // ISupportErrorInfo: S_OK for IVondelTaveloATL, S_FALSE for any other.
    HRESULT InterfaceSupportsErrorInfo(const IID& riid) noexcept override;

    HRESULT ConnectCard(BSTR readerName, std::int32_t* ReturnVal) noexcept override;
    HRESULT DisconnectCard(std::int32_t* ReturnVal) noexcept override;
    HRESULT VerifyPIN(BSTR bReaderName, BSTR bAdvReaderList, BSTR PIN, std::int32_t iFlags,
                      std::int32_t iReplugTime, std::int32_t* ReturnVal) noexcept override;
    HRESULT VerifyPINEx(BSTR strName, BSTR bAdvReaderList, std::int32_t iFlags,
                        std::int32_t iReplugTime, std::int32_t* ReturnVal) noexcept override;
    HRESULT GetTAC(BSTR bData, std::int32_t iFlags, BSTR* ReturnVal) noexcept override;
    HRESULT GetErrorCode(std::int32_t* ReturnVal) noexcept override;
    HRESULT GetServerAuth(BSTR* auth) noexcept override;
    HRESULT VerifyServerResponse(BSTR bResponse, std::int32_t* Ret) noexcept override;
    HRESULT SelectEF(BSTR EFID, std::int32_t* Ret) noexcept override;
    HRESULT GetAccount(std::int32_t index, BSTR* Ret) noexcept override;
    HRESULT GenRandom(BSTR* Ret) noexcept override;
    HRESULT GetSN(BSTR* Ret) noexcept override;
    HRESULT GetCardStatus(std::int32_t* Ret) noexcept override;
    HRESULT ReadRecord(std::int32_t index, std::int32_t iFlags, BSTR* Ret) noexcept override;
    HRESULT GetReaderList(VARIANT* rtns) noexcept override;
    HRESULT ChangePIN(BSTR oldPIN, BSTR newPIN, std::int32_t* ReturnVal) noexcept override;
    HRESULT DetectAdvReader(BSTR bReader, BSTR bAdvReaderList, std::int32_t iFlags,
                            std::int32_t iReplugTime, std::int32_t* Ret) noexcept override;
    HRESULT DoInquiryTAC(BSTR PIN, BSTR bTermainalDeviceCheckID, BSTR bAccountNo, BSTR bPCode,
                         std::int32_t iFlags, std::int32_t* Ret) noexcept override;
    HRESULT DoTransferTAC(BSTR PIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                          BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bInBankNo, BSTR bInAccountNo,
                          BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                          std::int32_t* Ret) noexcept override;
    HRESULT DoPayTaxTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bWriteOffAccountNo, BSTR bTaxType,
                        BSTR bTaxName, BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                        std::int32_t iFlags, std::int32_t* Ret) noexcept override;
    HRESULT DoPayFeeTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bFeeType, BSTR bFeeName,
                        BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                        std::int32_t* Ret) noexcept override;
    HRESULT GetVersion(std::int32_t flag, BSTR* ver) noexcept override;
    HRESULT GetTSAC(BSTR* Ret) noexcept override;
    HRESULT GetTSN(BSTR* Ret) noexcept override;
    HRESULT UserBrowser(BSTR bBrowser, std::int32_t* Ret) noexcept override;
    HRESULT VerifyURL(BSTR bOutURL, std::int32_t iFlags, std::int32_t* Ret) noexcept override;
    HRESULT WRITE_RECORD_W_SNUM_TAC(BSTR bData, std::int32_t ip1p2, std::int32_t iFlags,
                                    BSTR* ReturnVal) noexcept override;
    HRESULT GenerateTAC(BSTR bPIN, std::int32_t bPCode, BSTR GenTAC, BSTR UserConirmData,
                        std::int32_t iFlags, std::int32_t* Ret) noexcept override;

private:
    // A BSTR of a result text in m_uiResultCodePage; a failure sets
    // m_lErrorCode (5901, 5002) and gives null.
    BSTR MultiByteToBstr(const std::string& text);
    // A method's text result: the code into m_lErrorCode, and on success a
    // non-empty text as a BSTR into out.
    void TextResult(std::int32_t rc, const std::string& text, BSTR* out);

    TaveloState m_state;
};

} // namespace tavelo
