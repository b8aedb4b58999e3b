// The fake card control (see FakeTavelo.h): an in-process server for the
// control's class whose methods record their arguments and answer what the
// test's script says.

#include "common/Tool.h"
#include "control/VondelTaveloInterface.h"
#include "platform/com/ComServer.h"
#include "platform/text/TextCodec.h"
#include "tests/support/ComText.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> objectNumbers{0};
// The string arguments of the last call, for the tests' wipe check.
std::vector<BSTR> lastTexts;

std::filesystem::path folder() {
    const char* root = std::getenv("CORVANTIX_ROOT");
    return root != nullptr ? std::filesystem::path(root) / "FakeVondelTavelo"
                           : std::filesystem::path();
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string field(BSTR value) {
    return value == nullptr
               ? "(null)"
               : escaped(platform::utf16ToUtf8(std::u16string_view(value, SysStringLen(value))));
}
std::string field(std::int32_t value) {
    return std::to_string(value);
}

void remember(BSTR value) {
    lastTexts.push_back(value);
}
void remember(std::int32_t) {}

void append(const std::string& line) {
    const auto dir = folder();
    if (dir.empty()) {
        return;
    }
    // One open, write and close: the record sits on the path of every new
    // session the benchmarks time.
    const std::string record = line + '\n';
    const auto file = dir / "calls";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd >= 0) {
        [[maybe_unused]] const auto written = write(fd, record.data(), record.size());
        close(fd);
    }
}

struct Scripted {
    bool fails = false;
    HRESULT hr = S_OK;
    std::string value;
};

// The script's last line for the method, if any.
Scripted scripted(std::string_view method) {
    Scripted result;
    const auto dir = folder();
    if (dir.empty()) {
        return result;
    }
    std::ifstream script(dir / "script", std::ios::binary);
    for (std::string line; std::getline(script, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string verb;
        std::string name;
        words >> verb >> name;
        if (name != method) {
            continue;
        }
        const std::size_t at = line.find(name, verb.size()) + name.size();
        const std::string rest = at < line.size() ? line.substr(at + 1) : std::string();
        if (verb == "answer") {
            result = Scripted{false, S_OK, rest};
        } else if (verb == "fail") {
            result =
                Scripted{true, static_cast<HRESULT>(std::strtoul(rest.c_str(), nullptr, 0)), {}};
        }
    }
    return result;
}

using testing_support::bstr;

HRESULT fill(const Scripted& s, std::int32_t* out) {
    *out = static_cast<std::int32_t>(std::strtol(s.value.c_str(), nullptr, 10));
    return S_OK;
}

HRESULT fill(const Scripted& s, BSTR* out) {
    *out = s.value.empty() ? nullptr : bstr(s.value);
    return S_OK;
}

HRESULT fill(const Scripted& s, VARIANT* out) {
    return testing_support::textListVariant(
        s.value.empty() ? std::vector<std::string>{} : splitString(s.value, ";"), out);
}

class FakeControl : public IVondelTaveloATL {
public:
    FakeControl() : number_(++objectNumbers) { append(std::to_string(number_) + "\tCreate"); }
    ~FakeControl() { append(std::to_string(number_) + "\tDestroy"); }
    FakeControl(const FakeControl&) = delete;
    FakeControl& operator=(const FakeControl&) = delete;

    HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(std::uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, OLECHAR**, std::uint32_t, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, const IID&, LCID, std::uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   std::uint32_t*) override {
        return E_NOTIMPL; // callers bind early
    }

    HRESULT ConnectCard(BSTR readerName, std::int32_t* ReturnVal) override {
        return call("ConnectCard", ReturnVal, readerName);
    }
    HRESULT DisconnectCard(std::int32_t* ReturnVal) override {
        return call("DisconnectCard", ReturnVal);
    }
    HRESULT VerifyPIN(BSTR bReaderName, BSTR bAdvReaderList, BSTR PIN, std::int32_t iFlags,
                      std::int32_t iReplugTime, std::int32_t* ReturnVal) override {
        return call("VerifyPIN", ReturnVal, bReaderName, bAdvReaderList, PIN, iFlags, iReplugTime);
    }
    HRESULT VerifyPINEx(BSTR strName, BSTR bAdvReaderList, std::int32_t iFlags,
                        std::int32_t iReplugTime, std::int32_t* ReturnVal) override {
        return call("VerifyPINEx", ReturnVal, strName, bAdvReaderList, iFlags, iReplugTime);
    }
    HRESULT GetTAC(BSTR bData, std::int32_t iFlags, BSTR* ReturnVal) override {
        return call("GetTAC", ReturnVal, bData, iFlags);
    }
    HRESULT GetErrorCode(std::int32_t* ReturnVal) override {
        return call("GetErrorCode", ReturnVal);
    }
    HRESULT GetServerAuth(BSTR* auth) override { return call("GetServerAuth", auth); }
    HRESULT VerifyServerResponse(BSTR bResponse, std::int32_t* Ret) override {
        return call("VerifyServerResponse", Ret, bResponse);
    }
    HRESULT SelectEF(BSTR EFID, std::int32_t* Ret) override { return call("SelectEF", Ret, EFID); }
    HRESULT GetAccount(std::int32_t index, BSTR* Ret) override {
        return call("GetAccount", Ret, index);
    }
    HRESULT GenRandom(BSTR* Ret) override { return call("GenRandom", Ret); }
    HRESULT GetSN(BSTR* Ret) override { return call("GetSN", Ret); }
    HRESULT GetCardStatus(std::int32_t* Ret) override { return call("GetCardStatus", Ret); }
    HRESULT ReadRecord(std::int32_t index, std::int32_t iFlags, BSTR* Ret) override {
        return call("ReadRecord", Ret, index, iFlags);
    }
    HRESULT GetReaderList(VARIANT* rtns) override { return call("GetReaderList", rtns); }
    HRESULT ChangePIN(BSTR oldPIN, BSTR newPIN, std::int32_t* ReturnVal) override {
        return call("ChangePIN", ReturnVal, oldPIN, newPIN);
    }
    HRESULT DetectAdvReader(BSTR bReader, BSTR bAdvReaderList, std::int32_t iFlags,
                            std::int32_t iReplugTime, std::int32_t* Ret) override {
        return call("DetectAdvReader", Ret, bReader, bAdvReaderList, iFlags, iReplugTime);
    }
    HRESULT DoInquiryTAC(BSTR PIN, BSTR bTermainalDeviceCheckID, BSTR bAccountNo, BSTR bPCode,
                         std::int32_t iFlags, std::int32_t* Ret) override {
        return call("DoInquiryTAC", Ret, PIN, bTermainalDeviceCheckID, bAccountNo, bPCode, iFlags);
    }
    HRESULT DoTransferTAC(BSTR PIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                          BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bInBankNo, BSTR bInAccountNo,
                          BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                          std::int32_t* Ret) override {
        return call("DoTransferTAC", Ret, PIN, bTermainalDeviceID, bTermainalDeviceCheckID,
                    bOutBankNo, bOutAccountNo, bInBankNo, bInAccountNo, bAmount, bPCode,
                    bServerDataTime, iFlags);
    }
    HRESULT DoPayTaxTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bWriteOffAccountNo, BSTR bTaxType,
                        BSTR bTaxName, BSTR bAmount, BSTR bPCode, BSTR bServerDataTime,
                        std::int32_t iFlags, std::int32_t* Ret) override {
        return call("DoPayTaxTAC", Ret, bPIN, bTermainalDeviceID, bTermainalDeviceCheckID,
                    bOutBankNo, bOutAccountNo, bWriteOffAccountNo, bTaxType, bTaxName, bAmount,
                    bPCode, bServerDataTime, iFlags);
    }
    HRESULT DoPayFeeTAC(BSTR bPIN, BSTR bTermainalDeviceID, BSTR bTermainalDeviceCheckID,
                        BSTR bOutBankNo, BSTR bOutAccountNo, BSTR bFeeType, BSTR bFeeName,
                        BSTR bAmount, BSTR bPCode, BSTR bServerDataTime, std::int32_t iFlags,
                        std::int32_t* Ret) override {
        return call("DoPayFeeTAC", Ret, bPIN, bTermainalDeviceID, bTermainalDeviceCheckID,
                    bOutBankNo, bOutAccountNo, bFeeType, bFeeName, bAmount, bPCode, bServerDataTime,
                    iFlags);
    }
    HRESULT GetVersion(std::int32_t flag, BSTR* ver) override {
        return call("GetVersion", ver, flag);
    }
    HRESULT GetTSAC(BSTR* Ret) override { return call("GetTSAC", Ret); }
    HRESULT GetTSN(BSTR* Ret) override { return call("GetTSN", Ret); }
    HRESULT UserBrowser(BSTR bBrowser, std::int32_t* Ret) override {
        return call("UserBrowser", Ret, bBrowser);
    }
    HRESULT VerifyURL(BSTR bOutURL, std::int32_t iFlags, std::int32_t* Ret) override {
        return call("VerifyURL", Ret, bOutURL, iFlags);
    }
    HRESULT WRITE_RECORD_W_SNUM_TAC(BSTR bData, std::int32_t ip1p2, std::int32_t iFlags,
                                    BSTR* ReturnVal) override {
        return call("WRITE_RECORD_W_SNUM_TAC", ReturnVal, bData, ip1p2, iFlags);
    }
    HRESULT GenerateTAC(BSTR bPIN, std::int32_t bPCode, BSTR GenTAC, BSTR UserConirmData,
                        std::int32_t iFlags, std::int32_t* Ret) override {
        return call("GenerateTAC", Ret, bPIN, bPCode, GenTAC, UserConirmData, iFlags);
    }

private:
    template <class Out, class... Args>
    HRESULT call(const char* method, Out* out, Args... args) {
        lastTexts.clear();
        (remember(args), ...);
        std::string line = std::to_string(number_) + "\t" + method;
        ((line += "\t" + field(args)), ...);
        append(line);
        if (out == nullptr) {
            return E_POINTER;
        }
        const Scripted s = scripted(method);
        if (s.fails) {
            return s.hr;
        }
        return fill(s, out);
    }

    const int number_;
};

using FakeObject = ComObject<FakeControl, ComInterface<IVondelTaveloATL, IID_IVondelTaveloATL>,
                             ComInterface<IDispatch, IID_IDispatch, IVondelTaveloATL>>;

ComClassRegistration registration() {
    ComClassRegistration entry;
    entry.clsid = CLSID_VondelTaveloATL;
    entry.description = std::string(kVondelTaveloClassName);
    entry.progId = std::string(kVondelTaveloProgId);
    entry.versionIndependentProgId = std::string(kVondelTaveloVersionIndependentProgId);
    entry.appId = APPID_VondelTavelo;
    entry.typeLib = LIBID_VondelTaveloLib;
    entry.version = std::string(kVondelTaveloTypeLibVersion);
    entry.control = true;
    return entry;
}

} // namespace

const ComServerClass& comServerClass() {
    static const ComServerClass served{registration(), &comGetClassFactory<FakeObject>};
    return served;
}

// For the tests in this process: the string arguments of the last call.
extern "C" CORVANTIX_COM_SERVER_EXPORT std::size_t
fakeTaveloLastTextArguments(BSTR* out, std::size_t capacity) {
    for (std::size_t i = 0; i < lastTexts.size() && i < capacity; ++i) {
        out[i] = lastTexts[i];
    }
    return lastTexts.size();
}
