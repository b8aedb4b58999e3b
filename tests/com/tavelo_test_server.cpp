// An in-process server for the control's class that answers every method
// with something the caller can trace back to the method and its arguments.

#include "common/Tool.h"
#include "platform/com/ComServer.h"
#include "platform/text/TextCodec.h"
#include "tests/com/TestServer.h"
#include "tests/support/ComText.h"

#include <string>

namespace {

using testing_support::bstr;

std::string text(BSTR value) {
    return testing_support::utf8(value);
}
std::string text(std::int32_t value) {
    return std::to_string(value);
}

template <class... Args>
std::string joined(Args... args) {
    std::string out;
    ((out += (out.empty() ? "" : "|") + text(args)), ...);
    return out;
}

class TestControl : public IVondelTaveloATL, public ITestCallLog {
public:
    HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(std::uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, OLECHAR** names, std::uint32_t count, LCID,
                          DISPID* dispIds) override {
        if (names == nullptr || dispIds == nullptr) {
            return E_POINTER;
        }
        HRESULT result = S_OK;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::string name = toLowerString(platform::utf16ToUtf8(names[i]));
            dispIds[i] = -1;
            for (int id = 1; id <= kVondelTaveloMethodCount; ++id) {
                if (toLowerString(kVondelTaveloMethodNames[static_cast<std::size_t>(id - 1)]) ==
                    name) {
                    dispIds[i] = id;
                }
            }
            if (dispIds[i] < 0) {
                result = DISP_E_UNKNOWNNAME;
            }
        }
        return result;
    }
    HRESULT Invoke(DISPID, const IID&, LCID, std::uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   std::uint32_t*) override {
        return E_NOTIMPL; // callers bind early
    }

    HRESULT ConnectCard(BSTR readerName, std::int32_t* ReturnVal) override {
        return number(1, ReturnVal, readerName);
    }
    HRESULT DisconnectCard(std::int32_t* ReturnVal) override { return number(2, ReturnVal); }
    HRESULT VerifyPIN(BSTR bReaderName, BSTR bAdvReaderList, BSTR PIN, std::int32_t iFlags,
                      std::int32_t iReplugTime, std::int32_t* ReturnVal) override {
        return number(3, ReturnVal, bReaderName, bAdvReaderList, PIN, iFlags, iReplugTime);
    }
    HRESULT VerifyPINEx(BSTR strName, BSTR bAdvReaderList, std::int32_t iFlags,
                        std::int32_t iReplugTime, std::int32_t* ReturnVal) override {
        return number(4, ReturnVal, strName, bAdvReaderList, iFlags, iReplugTime);
    }
    HRESULT GetTAC(BSTR bData, std::int32_t iFlags, BSTR* ReturnVal) override {
        return string(5, ReturnVal, bData, iFlags);
    }
    HRESULT GetErrorCode(std::int32_t* ReturnVal) override { return number(6, ReturnVal); }
    HRESULT GetServerAuth(BSTR* auth) override { return string(7, auth); }
    HRESULT VerifyServerResponse(BSTR bResponse, std::int32_t* Ret) override {
        return number(8, Ret, bResponse);
    }
    HRESULT SelectEF(BSTR EFID, std::int32_t* Ret) override { return number(9, Ret, EFID); }
    HRESULT GetAccount(std::int32_t index, BSTR* Ret) override { return string(10, Ret, index); }
    HRESULT GenRandom(BSTR* Ret) override { return string(11, Ret); }
    HRESULT GetSN(BSTR* Ret) override { return string(12, Ret); }
    HRESULT GetCardStatus(std::int32_t* Ret) override { return number(13, Ret); }
    HRESULT ReadRecord(std::int32_t index, std::int32_t iFlags, BSTR* Ret) override {
        return string(14, Ret, index, iFlags);
    }
    HRESULT GetReaderList(VARIANT* rtns) override {
        record(15, "");
        if (rtns == nullptr) {
            return E_POINTER;
        }
        return testing_support::textListVariant({"A", "B"}, rtns);
    }
    HRESULT ChangePIN(BSTR oldPIN, BSTR newPIN, std::int32_t* ReturnVal) override {
        return number(16, ReturnVal, oldPIN, newPIN);
    }
    HRESULT DetectAdvReader(BSTR bReader, BSTR bAdvReaderList, std::int32_t iFlags,
                            std::int32_t iReplugTime, std::int32_t* Ret) override {
        return number(17, Ret, bReader, bAdvReaderList, iFlags, iReplugTime);
    }
    HRESULT DoInquiryTAC(BSTR PIN, BSTR bTermainalDeviceCheckID, BSTR bAccountNo, BSTR bPCode,
                         std::int32_t iFlags, std::int32_t* Ret) override {
        return number(18, Ret, PIN, bTermainalDeviceCheckID, bAccountNo, bPCode, iFlags);
    }
    HRESULT DoTransferTAC(BSTR PIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                          BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bInBankNo, BSTR bInAccountNo,
                          BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                          std::int32_t* Ret) override {
        return number(19, Ret, PIN, bTermainalDeviceID, bTermainalDeviceCheckID, bOutBankNo,
                      bOutAccountNo, bInBankNo, bInAccountNo, bAmount, bPCode, bServerDataTime,
                      iFlags);
    }
    HRESULT DoPayTaxTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bWriteOffAccountNo, BSTR bTaxType,
                        BSTR bTaxName, BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                        std::int32_t iFlags, std::int32_t* Ret) override {
        return number(20, Ret, bPIN, bTermainalDeviceID, bTermainalDeviceCheckID, bOutBankNo,
                      bOutAccountNo, bWriteOffAccountNo, bTaxType, bTaxName, bAmount, bPCode,
                      bServerDataTime, iFlags);
    }
    HRESULT DoPayFeeTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bFeeType, BSTR bFeeName,
                        BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                        std::int32_t* Ret) override {
        return number(21, Ret, bPIN, bTermainalDeviceID, bTermainalDeviceCheckID, bOutBankNo,
                      bOutAccountNo, bFeeType, bFeeName, bAmount, bPCode, bServerDataTime, iFlags);
    }
    HRESULT GetVersion(std::int32_t flag, BSTR* ver) override { return string(22, ver, flag); }
    HRESULT GetTSAC(BSTR* Ret) override { return string(23, Ret); }
    HRESULT GetTSN(BSTR* Ret) override { return string(24, Ret); }
    HRESULT UserBrowser(BSTR bBrowser, std::int32_t* Ret) override {
        return number(25, Ret, bBrowser);
    }
    HRESULT VerifyURL(BSTR bOutURL, std::int32_t iFlags, std::int32_t* Ret) override {
        return number(26, Ret, bOutURL, iFlags);
    }
    HRESULT WRITE_RECORD_W_SNUM_TAC(BSTR bData, std::int32_t ip1p2, std::int32_t iFlags,
                                    BSTR* ReturnVal) override {
        return string(27, ReturnVal, bData, ip1p2, iFlags);
    }
    HRESULT GenerateTAC(BSTR bPIN, std::int32_t bPCode, BSTR GenTAC, BSTR UserConirmData,
                        std::int32_t iFlags, std::int32_t* Ret) override {
        return number(28, Ret, bPIN, bPCode, GenTAC, UserConirmData, iFlags);
    }

    HRESULT LastCall(DISPID* dispId, BSTR* arguments) override {
        if (dispId == nullptr || arguments == nullptr) {
            return E_POINTER;
        }
        *dispId = lastDispId_;
        *arguments = bstr(lastArguments_);
        return S_OK;
    }

private:
    void record(DISPID dispId, std::string arguments) {
        lastDispId_ = dispId;
        lastArguments_ = std::move(arguments);
    }
    template <class... Args>
    HRESULT number(DISPID dispId, std::int32_t* result, Args... args) {
        record(dispId, joined(args...));
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = dispId;
        return S_OK;
    }
    template <class... Args>
    HRESULT string(DISPID dispId, BSTR* result, Args... args) {
        record(dispId, joined(args...));
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = bstr("out" + std::to_string(dispId));
        return *result == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    DISPID lastDispId_ = 0;
    std::string lastArguments_;
};

using TestObject = ComObject<TestControl, ComInterface<IVondelTaveloATL, IID_IVondelTaveloATL>,
                             ComInterface<IDispatch, IID_IDispatch, IVondelTaveloATL>,
                             ComInterface<ITestCallLog, IID_ITestCallLog>>;

ComClassRegistration registration() {
    ComClassRegistration entry;
    entry.clsid = CLSID_VondelTaveloATL;
    entry.description = std::string(kVondelTaveloClassName);
    entry.progId = std::string(kVondelTaveloProgId);
    entry.versionIndependentProgId = std::string(kVondelTaveloVersionIndependentProgId);
    entry.typeLib = LIBID_VondelTaveloLib;
    entry.version = std::string(kVondelTaveloTypeLibVersion);
    return entry;
}

} // namespace

const ComServerClass& comServerClass() {
    static const ComServerClass served{registration(), &comGetClassFactory<TestObject>};
    return served;
}
