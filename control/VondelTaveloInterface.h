#pragma once

// The card control's type library, class and dual interface: the contract
// between the control and the adapter, which calls the methods early-bound
// through the function table. The table holds IUnknown's three and
// IDispatch's four entries, then the 28 methods in dispatch-id order, so the
// method with dispatch id n is entry 7 + n (counting from 1). Every method
// returns S_OK; its outcome is the control's code in its last parameter or,
// for text and list results, in what GetErrorCode returns.

#include "platform/com/OleAuto.h"

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr GUID LIBID_VondelTaveloLib = guidLiteral("{3839D969-26DE-4F44-2CFB-4689F525A27F}");
inline constexpr CLSID CLSID_VondelTaveloATL =
    guidLiteral("{71E88AFD-6042-2361-5903-AD4082FC0FAF}");
inline constexpr IID IID_IVondelTaveloATL = guidLiteral("{0E69D6E5-C820-4C43-0EE4-7537E2DAEC1C}");
inline constexpr GUID APPID_VondelTavelo = guidLiteral("{E086F6D2-1560-43F5-8BFF-E90CD7C23EA8}");

inline constexpr std::string_view kVondelTaveloProgId = "VondelTavelo.VondelTaveloZyn.1";
inline constexpr std::string_view kVondelTaveloVersionIndependentProgId =
    "VondelTavelo.VondelTaveloZyn";
inline constexpr std::string_view kVondelTaveloClassName = "VondelTaveloZyn Class";
inline constexpr std::string_view kVondelTaveloTypeLibVersion = "1.0";

inline constexpr int kVondelTaveloMethodCount = 28;
// The method names; the one at index i has dispatch id i + 1.
inline constexpr std::array<std::string_view, kVondelTaveloMethodCount> kVondelTaveloMethodNames = {
    "ConnectCard",
    "DisconnectCard",
    "VerifyPIN",
    "VerifyPINEx",
    "GetTAC",
    "GetErrorCode",
    "GetServerAuth",
    "VerifyServerResponse",
    "SelectEF",
    "GetAccount",
    "GenRandom",
    "GetSN",
    "GetCardStatus",
    "ReadRecord",
    "GetReaderList",
    "ChangePIN",
    "DetectAdvReader",
    "DoInquiryTAC",
    "DoTransferTAC",
    "DoPayTaxTAC",
    "DoPayFeeTAC",
    "GetVersion",
    "GetTSAC",
    "GetTSN",
    "UserBrowser",
    "VerifyURL",
    "WRITE_RECORD_W_SNUM_TAC",
    "GenerateTAC",
};

// The number after each method is its dispatch id. The interface's long and
// int are both 32-bit integers.
struct IVondelTaveloATL : IDispatch {
    virtual HRESULT ConnectCard(BSTR readerName, std::int32_t* ReturnVal) = 0; // 1
    virtual HRESULT DisconnectCard(std::int32_t* ReturnVal) = 0;               // 2
    virtual HRESULT VerifyPIN(BSTR bReaderName, BSTR bAdvReaderList, BSTR PIN, std::int32_t iFlags,
                              std::int32_t iReplugTime, std::int32_t* ReturnVal) = 0; // 3
    virtual HRESULT VerifyPINEx(BSTR strName, BSTR bAdvReaderList, std::int32_t iFlags,
                                std::int32_t iReplugTime, std::int32_t* ReturnVal) = 0; // 4
    virtual HRESULT GetTAC(BSTR bData, std::int32_t iFlags, BSTR* ReturnVal) = 0;       // 5
    virtual HRESULT GetErrorCode(std::int32_t* ReturnVal) = 0;                          // 6
    virtual HRESULT GetServerAuth(BSTR* auth) = 0;                                      // 7
    virtual HRESULT VerifyServerResponse(BSTR bResponse, std::int32_t* Ret) = 0;        // 8
    virtual HRESULT SelectEF(BSTR EFID, std::int32_t* Ret) = 0;                         // 9
    virtual HRESULT GetAccount(std::int32_t index, BSTR* Ret) = 0;                      // 10
    virtual HRESULT GenRandom(BSTR* Ret) = 0;                                           // 11
    virtual HRESULT GetSN(BSTR* Ret) = 0;                                               // 12
    virtual HRESULT GetCardStatus(std::int32_t* Ret) = 0;                               // 13
    virtual HRESULT ReadRecord(std::int32_t index, std::int32_t iFlags, BSTR* Ret) = 0; // 14
    virtual HRESULT GetReaderList(VARIANT* rtns) = 0;                                   // 15
    virtual HRESULT ChangePIN(BSTR oldPIN, BSTR newPIN, std::int32_t* ReturnVal) = 0;   // 16
    virtual HRESULT DetectAdvReader(BSTR bReader, BSTR bAdvReaderList, std::int32_t iFlags,
                                    std::int32_t iReplugTime, std::int32_t* Ret) = 0; // 17
    virtual HRESULT DoInquiryTAC(BSTR PIN, BSTR bTermainalDeviceCheckID, BSTR bAccountNo,
                                 BSTR bPCode, std::int32_t iFlags, std::int32_t* Ret) = 0; // 18
    virtual HRESULT DoTransferTAC(BSTR PIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                                  BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bInBankNo,
                                  BSTR bInAccountNo, BSTR bAmount, BSTR bPCode,
                                  BSTR bServerDataTime, std::int32_t iFlags,
                                  std::int32_t* Ret) = 0; // 19
    virtual HRESULT DoPayTaxTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                                BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bWriteOffAccountNo,
                                BSTR bTaxType, BSTR bTaxName, BSTR bAmount, BSTR bPCode,
                                BSTR bServerDataTime, std::int32_t iFlags,
                                std::int32_t* Ret) = 0; // 20
    virtual HRESULT DoPayFeeTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                                BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bFeeType, BSTR bFeeName,
                                BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                                std::int32_t iFlags, std::int32_t* Ret) = 0;             // 21
    virtual HRESULT GetVersion(std::int32_t flag, BSTR* ver) = 0;                        // 22
    virtual HRESULT GetTSAC(BSTR* Ret) = 0;                                              // 23
    virtual HRESULT GetTSN(BSTR* Ret) = 0;                                               // 24
    virtual HRESULT UserBrowser(BSTR bBrowser, std::int32_t* Ret) = 0;                   // 25
    virtual HRESULT VerifyURL(BSTR bOutURL, std::int32_t iFlags, std::int32_t* Ret) = 0; // 26
    virtual HRESULT WRITE_RECORD_W_SNUM_TAC(BSTR bData, std::int32_t ip1p2, std::int32_t iFlags,
                                            BSTR* ReturnVal) = 0; // 27
    virtual HRESULT GenerateTAC(BSTR bPIN, std::int32_t bPCode, BSTR GenTAC, BSTR UserConirmData,
                                std::int32_t iFlags, std::int32_t* Ret) = 0; // 28

protected:
    ~IVondelTaveloATL() = default;
};
