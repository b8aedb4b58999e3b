// The adapter library through its real exports: each test loads private
// copies of the built library as the service does (a copy of the file per
// session, RTLD_LOCAL) against the fake control registered in its sandbox.

#include "adapter/AdapterExports.h"
#include "adapter/AdapterUnlockList.h"
#include "common/Json.h"
#include "control/VondelTaveloInterface.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using fake_tavelo::Call;

// ---- Strings freed while a test watches ------------------------------------
//
// The test program puts itself in front of the COM layer's SysFreeString (it
// exports its own, which the adapter's copies bind to first), so it sees
// each string's characters at the moment it is freed: still valid memory,
// and after any wiping the adapter does.

namespace {

struct FreedText {
    BSTR text;
    std::u16string chars;
    bool zeroed() const {
        return std::all_of(chars.begin(), chars.end(), [](char16_t c) { return c == 0; });
    }
};

bool watching = false;
std::vector<FreedText> freedTexts;

class WatchFrees {
public:
    WatchFrees() {
        freedTexts.clear();
        watching = true;
    }
    ~WatchFrees() { watching = false; }
    WatchFrees(const WatchFrees&) = delete;
    WatchFrees& operator=(const WatchFrees&) = delete;
};

} // namespace

extern "C" __attribute__((visibility("default"))) void SysFreeString(BSTR text) {
    using Free = void (*)(BSTR);
    static const auto next = reinterpret_cast<Free>(dlsym(RTLD_NEXT, "SysFreeString"));
    if (watching && text != nullptr) {
        watching = false;
        freedTexts.push_back({text, std::u16string(text, SysStringLen(text))});
        watching = true;
    }
    next(text);
}

namespace {

const std::string kBank(kAdapterBankDomain);
const std::string kPage = "https://www." + kBank;
constexpr const char* kVersion = "1,0,18,719";

using Pairs = std::vector<std::pair<std::string, std::string>>;

JsonMapPtr request(const Pairs& pairs) {
    JsonMapPtr map = newJsonMap();
    for (const auto& [key, value] : pairs) {
        addJsonMapValue(map.get(), key, value);
    }
    return map;
}

bool mapped(const fs::path& library) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(library.string()) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// One private copy of the adapter library, loaded as the service loads it.
class AdapterCopy {
public:
    explicit AdapterCopy(const fs::path& folder) : path_(folder / "VondelTaveloZynAdapter.so") {
        fs::create_directories(folder);
        fs::copy_file(ADAPTER_LIBRARY, path_, fs::copy_options::overwrite_existing);
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ != nullptr) {
            mapEntry_ =
                reinterpret_cast<CallJsonMapMethodFn>(dlsym(handle_, kCallJsonMapMethodName));
            stringEntry_ = reinterpret_cast<CallMethodFn>(dlsym(handle_, kCallMethodName));
        }
    }
    ~AdapterCopy() {
        unload();
        std::error_code ec;
        fs::remove(path_, ec);
    }
    AdapterCopy(const AdapterCopy&) = delete;
    AdapterCopy& operator=(const AdapterCopy&) = delete;

    bool loaded() const { return mapEntry_ != nullptr && stringEntry_ != nullptr; }
    const fs::path& path() const { return path_; }

    // The answer as the library returned it: valid until its next call.
    const char* rawCall(const JsonMap* map, const char* name) { return mapEntry_(map, name); }
    std::string call(const Pairs& pairs, const char* name) {
        const JsonMapPtr map = request(pairs);
        return text(mapEntry_(map.get(), name));
    }
    std::string callText(const char* json) { return text(stringEntry_(json)); }

    std::string unlock(std::optional<std::string> url) {
        Pairs pairs = {{"CorvantixFunctionIndex", "-2"}, {"AdapterJsonKeyCheck", "true"}};
        if (url) {
            pairs.emplace_back("url", *url);
        }
        return call(pairs, "Corvantix_Unlock");
    }
    std::string release() { return call({{"CorvantixFunctionIndex", "-3"}}, "Corvantix_Release"); }
    std::string getSN() { return call({{"CorvantixFunctionIndex", "11"}}, "GetSN"); }

    // Releases the session and unloads the copy, as the service does.
    void unload() {
        if (handle_ != nullptr) {
            release();
            dlclose(handle_);
            handle_ = nullptr;
            mapEntry_ = nullptr;
            stringEntry_ = nullptr;
        }
    }

private:
    static std::string text(const char* answer) { return answer != nullptr ? answer : "(null)"; }

    fs::path path_;
    void* handle_ = nullptr;
    CallJsonMapMethodFn mapEntry_ = nullptr;
    CallMethodFn stringEntry_ = nullptr;
};

class AdapterExports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
        fake_tavelo::setScript("answer GetSN SN-12\n");
    }
    std::unique_ptr<AdapterCopy> load(int session = 0) {
        auto copy = std::make_unique<AdapterCopy>(sandbox.root() / "Tempfile" /
                                                  ("Session_" + std::to_string(session)));
        EXPECT_TRUE(copy->loaded()) << dlerror();
        return copy;
    }
    std::unique_ptr<AdapterCopy> unlocked(int session = 0) {
        auto copy = load(session);
        EXPECT_EQ(copy->unlock(kPage), "0");
        return copy;
    }
    static std::vector<int> objects(const char* event) {
        std::vector<int> out;
        for (const auto& call : fake_tavelo::calls()) {
            if (call.method == event) {
                out.push_back(call.object);
            }
        }
        return out;
    }

    testing_support::Sandbox sandbox;
};

TEST(AdapterLibrary, ExportsOnlyItsTwoEntryPoints) {
    EXPECT_EQ(fs::path(ADAPTER_LIBRARY).filename(), "VondelTaveloZynAdapter.so");
    const std::string command = "nm -D --defined-only '" + std::string(ADAPTER_LIBRARY) + "'";
    FILE* nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address;
        std::string type;
        std::string name;
        fields >> address >> type >> name;
        names.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    EXPECT_EQ(names, (std::set<std::string>{"callJsonMapMethod", "callMethod"}));
}

TEST_F(AdapterExports, EachCopyKeepsItsOwnStateAndIsUnmappedWhenClosed) {
    auto first = load(1);
    auto second = load(2);
    EXPECT_TRUE(mapped(first->path()));
    EXPECT_TRUE(mapped(second->path()));

    EXPECT_EQ(first->unlock(kPage), "0");
    EXPECT_EQ(second->getSN(), "61908");
    EXPECT_EQ(second->unlock("https://other.test"), "61908");
    EXPECT_EQ(second->getSN(), "61908");

    // Each copy made its own control, and only the first one's is called.
    const auto created = objects("Create");
    ASSERT_EQ(created.size(), 2u);
    EXPECT_NE(created[0], created[1]);
    const JsonMapPtr sn = request({{"CorvantixFunctionIndex", "11"}});
    const char* kept = first->rawCall(sn.get(), "GetSN");
    EXPECT_STREQ(kept, "SN-12");
    EXPECT_EQ(fake_tavelo::methodCalls(), (std::vector<Call>{{created[0], "GetSN", {}}}));

    // The second copy's calls leave the first one's answer alone.
    EXPECT_EQ(second->unlock(kPage), "0");
    EXPECT_EQ(second->getSN(), "SN-12");
    EXPECT_STREQ(kept, "SN-12");

    first->unload();
    EXPECT_FALSE(mapped(first->path()));
    EXPECT_TRUE(mapped(second->path()));
    EXPECT_EQ(objects("Destroy"), std::vector<int>{created[0]});
    EXPECT_EQ(second->getSN(), "SN-12");

    // A new copy from the same file starts as loaded: locked, its own control.
    auto again = load(1);
    EXPECT_EQ(again->getSN(), "61908");
    EXPECT_EQ(objects("Create").size(), 3u);
}

TEST_F(AdapterExports, DispatchGoesByIndexThenByName) {
    fake_tavelo::setScript("answer ConnectCard 7001\n"
                           "answer DisconnectCard 7002\n"
                           "answer VerifyPIN 7003\n"
                           "answer GetTAC TAC-5\n"
                           "answer GetSN SN-12\n");
    struct Case {
        std::optional<std::string> index;
        std::string name;
        std::string method; // reached on the control, or empty
        std::string answer;
    };
    const Case cases[] = {
        {"2", "VerifyPIN", "VerifyPIN", "7003"},
        {"2", "GetTAC", "GetTAC", "TAC-5"}, // disagreeing index: the name decides
        {std::nullopt, "ConnectCard", "ConnectCard", "7001"},
        {std::nullopt, "GetSN", "GetSN", "SN-12"},
        {"11", "getsn", "GetSN", "SN-12"},
        {std::nullopt, "GETSN", "GetSN", "SN-12"},
        {"28", "GetSN", "GetSN", "SN-12"},
        {"-4", "GetSN", "GetSN", "SN-12"},
        {"99", "GetSN", "GetSN", "SN-12"},
        {"true", "DisconnectCard", "DisconnectCard", "7002"},
        {"-1", "GetSN", "", kVersion},
        {"-1", "NoSuchFunction", "", kVersion},
        {std::nullopt, "Corvantix_GetVersion", "", kVersion},
        {"5", "corvantix_getversion", "", kVersion},
        {std::nullopt, "Corvantix_Unlock", "", "0"},
        {std::nullopt, "NoSuchFunction", "", "61005"},
        {"11", "GetSNX", "", "61005"},
        {std::nullopt, "", "", "61005"},
        {"-4", "", "", "61005"},
    };
    auto copy = unlocked();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index.value_or("(none)") + " " + c.name);
        Pairs pairs;
        if (c.index) {
            pairs.emplace_back("CorvantixFunctionIndex", *c.index);
        }
        fake_tavelo::clearCalls();
        EXPECT_EQ(copy->call(pairs, c.name.c_str()), c.answer);
        const auto calls = fake_tavelo::methodCalls();
        if (c.method.empty()) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].method, c.method);
        }
    }
}

TEST_F(AdapterExports, StringEntryReadsTheFunctionNameFromItsRequest) {
    auto copy = load();
    // Without a name the call is answered before any set-up: no control yet.
    EXPECT_EQ(copy->callText(R"({"CorvantixFunctionIndex":"-1"})"), "61005");
    // Texts the parser refuses.
    EXPECT_EQ(copy->callText("{}"), "");
    EXPECT_EQ(copy->callText("x"), "");
    EXPECT_EQ(copy->callText(nullptr), "");
    EXPECT_TRUE(fake_tavelo::calls().empty());

    EXPECT_EQ(copy->callText(
                  (R"({"FunctionName":"Corvantix_Unlock","CorvantixFunctionIndex":"-2","url":")" +
                   kPage + "\"}")
                      .c_str()),
              "0");
    EXPECT_EQ(copy->callText(R"({"functionname":"GetSN","CorvantixFunctionIndex":"11"})"), "SN-12");
    EXPECT_EQ(copy->callText(R"({"FunctionName":"GetSN","CorvantixFunctionIndex":"-1"})"),
              kVersion);

    // The map entry without a map or a name answers the empty text.
    const JsonMapPtr map = request({{"CorvantixFunctionIndex", "11"}});
    EXPECT_STREQ(copy->rawCall(nullptr, "GetSN"), "");
    EXPECT_STREQ(copy->rawCall(map.get(), nullptr), "");
}

TEST_F(AdapterExports, UnlockAcceptsOnlyPagesBelowTheBankDomain) {
    struct Case {
        std::optional<std::string> url;
        bool unlocks;
    };
    const Case cases[] = {
        {kPage, true},
        {"https://pay.www." + kBank + ":8443", true},
        {"https://WWW." + kBank, true},
        {"https://" + kBank, false},
        {"https://" + kBank + ":443", false},
        {"https://evil" + kBank, false},
        {kPage + "/pay", false},
        {kPage + "?next=1", false},
        {"https://www." + kBank + ".evil.test", false},
        {"https://other.test", false},
        {"", false},
        {std::nullopt, false},
    };
    int session = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.value_or("(no url)"));
        auto copy = load(session++);
        EXPECT_EQ(copy->unlock(c.url), c.unlocks ? "0" : "61908");
        EXPECT_EQ(copy->getSN(), c.unlocks ? "SN-12" : "61908");
    }
}

TEST_F(AdapterExports, AnUnlockedCopyStaysUnlocked) {
    auto copy = load();
    EXPECT_EQ(copy->unlock("https://other.test"), "61908");
    EXPECT_EQ(copy->unlock(kPage), "0");
    EXPECT_EQ(copy->unlock("https://other.test"), "0");
    EXPECT_EQ(copy->unlock(std::nullopt), "0");
    EXPECT_EQ(copy->getSN(), "SN-12");
}

TEST_F(AdapterExports, ReleaseEndsTheSessionAndALaterCallStartsAfresh) {
    auto copy = unlocked();
    EXPECT_EQ(copy->getSN(), "SN-12");
    const auto created = objects("Create");
    ASSERT_EQ(created.size(), 1u);

    EXPECT_EQ(copy->release(), "");
    EXPECT_EQ(objects("Destroy"), created);

    // No freed table is reached: the copy sets itself up again, locked, with
    // a new control.
    EXPECT_EQ(copy->getSN(), "61908");
    EXPECT_EQ(copy->call({{"CorvantixFunctionIndex", "-1"}}, "x"), kVersion);
    const auto now = objects("Create");
    ASSERT_EQ(now.size(), 2u);
    EXPECT_NE(now[1], created[0]);

    // By name, too.
    EXPECT_EQ(copy->call({}, "Corvantix_Release"), "");
    EXPECT_EQ(objects("Destroy").size(), 2u);
    EXPECT_EQ(copy->unlock(kPage), "0");
    EXPECT_EQ(copy->getSN(), "SN-12");
}

TEST_F(AdapterExports, WithoutAControlCallsAnswer61905UntilOneIsRegistered) {
    ASSERT_EQ(fake_tavelo::unregisterControl(), S_OK);
    auto copy = load();
    EXPECT_EQ(copy->unlock(kPage), "61905");
    EXPECT_EQ(copy->call({{"CorvantixFunctionIndex", "-1"}}, "Corvantix_GetVersion"), "61905");
    EXPECT_EQ(copy->getSN(), "61905");
    EXPECT_EQ(copy->callText(R"({"FunctionName":"GetSN"})"), "61905");

    ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
    EXPECT_EQ(copy->unlock(kPage), "0");
    EXPECT_EQ(copy->getSN(), "SN-12");
    EXPECT_EQ(objects("Create").size(), 1u);
}

// ---- The 28 handlers --------------------------------------------------------

struct Key {
    const char* name;
    std::string value;    // as the page sends it
    std::string received; // as the control records it
    bool text;
};

Key text(const char* name, std::string value) {
    return {name, value, value, true};
}
Key number(const char* name, std::string value, std::string received) {
    return {name, std::move(value), std::move(received), false};
}

struct HandlerCase {
    const char* method;
    std::vector<Key> keys; // in the method's parameter order
    std::string answer;    // what the fake control is scripted to answer
    std::string expected;  // the adapter's answer text
};

// In dispatch-id order: row i is the handler at index i.
const std::vector<HandlerCase>& handlerCases() {
    static const std::vector<HandlerCase> cases = {
        {"ConnectCard",
         {text("readerName", "\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F 1")},
         "3005",
         "3005"},
        {"DisconnectCard", {}, "13", "13"},
        {"VerifyPIN",
         {text("bReaderName", "Reader 2"), text("bAdvReaderList", "QUJDRA=="),
          text("PIN", "740185"), number("iFlags", "16777216", "16777216"),
          number("iReplugTime", "30", "30")},
         "0",
         "0"},
        {"VerifyPINEx",
         {text("strName", "Reader 3"), text("bAdvReaderList", "TElTVA=="),
          number("iFlags", "true", "1"), number("iReplugTime", "-3", "-3")},
         "-5070",
         "-5070"},
        {"GetTAC",
         {text("bData", "00A40400"), number("iFlags", " 42abc", "42")},
         "TAC 0123",
         "TAC 0123"},
        {"GetErrorCode", {}, "5001", "5001"},
        {"GetServerAuth", {}, "AUTH-\xE8\xAA\x8D", "AUTH-\xE8\xAA\x8D"},
        {"VerifyServerResponse", {text("bResponse", "RESP-8")}, "5907", "5907"},
        {"SelectEF", {text("EFID", "1001")}, "5009", "5009"},
        {"GetAccount", {number("index", "2", "2")}, "00012345678901", "00012345678901"},
        {"GenRandom", {}, "9F8E7D6C", "9F8E7D6C"},
        {"GetSN", {}, "SN0001", "SN0001"},
        {"GetCardStatus", {}, "6", "6"},
        {"ReadRecord",
         {number("index", "3", "3"), number("iFlags", "FALSE", "0")},
         "REC-3",
         "REC-3"},
        {"GetReaderList", {}, "Reader A;Reader B", "Reader A;Reader B;"},
        {"ChangePIN", {text("oldPIN", "111111"), text("newPIN", "222222")}, "32", "32"},
        {"DetectAdvReader",
         {text("bReader", "Reader 5"), text("bAdvReaderList", "TDU="),
          number("iFlags", "65536", "65536"), number("iReplugTime", "60", "60")},
         "5074",
         "5074"},
        {"DoInquiryTAC",
         {text("PIN", "246810"), text("bTermainalDeviceCheckID", "CHK-18"),
          text("bAccountNo", "0001234567890123"), text("bPCode", "2500"),
          number("iFlags", "0x10", "0")},
         "3002",
         "3002"},
        {"DoTransferTAC",
         {text("PIN", "135790"), text("bTermainalDeviceID", "TD-19"),
          text("bTermainalDeviceCheckID", "CHK-19"), text("bOutBankNo", "812"),
          text("bOutAccountNo", "OUT-19"), text("bInBankNo", "013"), text("bInAccountNo", "IN-19"),
          text("bAmount", "1500"), text("bPCode", "2561"),
          text("bServerDataTime", "20240102030405"), number("iFlags", "196608", "196608")},
         "0",
         "0"},
        {"DoPayTaxTAC",
         {text("bPIN", "975310"), text("bTermainalDeviceID", "TD-20"),
          text("bTermainalDeviceCheckID", "CHK-20"), text("bOutBankNo", "700"),
          text("bOutAccountNo", "OUT-20"), text("bWriteOffAccountNo", "WO-20"),
          text("bTaxType", "15"), text("bTaxName", "tax"), text("bAmount", "99"),
          text("bPCode", "2521"), text("bServerDataTime", "20240203040506"),
          number("iFlags", "8388608", "8388608")},
         "5005",
         "5005"},
        {"DoPayFeeTAC",
         {text("bPIN", "864200"), text("bTermainalDeviceID", "TD-21"),
          text("bTermainalDeviceCheckID", "CHK-21"), text("bOutBankNo", "701"),
          text("bOutAccountNo", "OUT-21"), text("bFeeType", "F1"), text("bFeeName", "fee"),
          text("bAmount", "250"), text("bPCode", "2531"), text("bServerDataTime", "20240304050607"),
          number("iFlags", "-1", "-1")},
         "5073",
         "5073"},
        {"GetVersion", {number("flag", "1", "1")}, "1,0,0,42", "1,0,0,42"},
        {"GetTSAC", {}, "TSAC-23", "TSAC-23"},
        {"GetTSN", {}, "TSN-24", "TSN-24"},
        {"UserBrowser", {text("bBrowser", "chromium")}, "0", "0"},
        {"VerifyURL",
         {text("bOutURL", kPage + "/pay"), number("iFlags", "2", "2")},
         "5907",
         "5907"},
        {"WRITE_RECORD_W_SNUM_TAC",
         {text("bData", "SN:TAC"), number("ip1p2", "260", "260"),
          number("iFlags", "16777216", "16777216")},
         "9000",
         "9000"},
        {"GenerateTAC",
         {text("bPIN", "192837"), number("bPCode", "2500", "2500"), text("GenTAC", "a:1;b:2;c:3"),
          text("UserConirmData", "L:v:x;M:w"), number("iFlags", "0", "0")},
         "5004",
         "5004"},
    };
    return cases;
}

std::string script() {
    std::string out;
    for (const auto& c : handlerCases()) {
        out += "answer " + std::string(c.method) + " " + c.answer + "\n";
    }
    return out;
}

Pairs requestOf(std::size_t index, const HandlerCase& c, bool withKeys,
                std::optional<std::string> keyCheck) {
    Pairs pairs = {{"CorvantixFunctionIndex", std::to_string(index)}};
    if (keyCheck) {
        pairs.emplace_back("AdapterJsonKeyCheck", *keyCheck);
    }
    if (withKeys) {
        for (const auto& key : c.keys) {
            pairs.emplace_back(key.name, key.value);
        }
    }
    return pairs;
}

std::vector<std::string> received(const HandlerCase& c, bool withKeys) {
    std::vector<std::string> out;
    for (const auto& key : c.keys) {
        out.push_back(withKeys ? key.received : key.text ? "(null)" : "0");
    }
    return out;
}

bool isGetVersion(const HandlerCase& c) {
    return std::string_view(c.method) == "GetVersion";
}

class AdapterHandlers : public AdapterExports {
protected:
    void SetUp() override {
        AdapterExports::SetUp();
        fake_tavelo::setScript(script());
        ASSERT_EQ(handlerCases().size(), kVondelTaveloMethodNames.size());
        for (std::size_t i = 0; i < handlerCases().size(); ++i) {
            ASSERT_EQ(handlerCases()[i].method, kVondelTaveloMethodNames[i]);
        }
    }

    // Calls every handler; checks the answer and what the control received.
    // Every string the adapter frees during a call that reached the control
    // as an argument must have been wiped first.
    void runAll(AdapterCopy& copy, bool withKeys, std::optional<std::string> keyCheck,
                const std::function<std::optional<std::string>(const HandlerCase&)>& refused) {
        for (std::size_t i = 0; i < handlerCases().size(); ++i) {
            const HandlerCase& c = handlerCases()[i];
            SCOPED_TRACE(c.method);
            fake_tavelo::clearCalls();
            std::string answer;
            {
                WatchFrees watch;
                answer = copy.call(requestOf(i, c, withKeys, keyCheck), c.method);
            }
            const auto calls = fake_tavelo::methodCalls();
            if (const auto code = refused(c)) {
                EXPECT_EQ(answer, *code);
                EXPECT_TRUE(calls.empty());
                // Nothing reached the control; every string freed was an
                // argument, wiped.
                for (const auto& freed : freedTexts) {
                    EXPECT_TRUE(freed.zeroed());
                }
                continue;
            }
            EXPECT_EQ(answer, c.expected);
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].method, c.method);
            EXPECT_EQ(calls[0].arguments, received(c, withKeys));
            for (const BSTR argument : fake_tavelo::lastTextArguments()) {
                if (argument == nullptr) {
                    continue;
                }
                // The argument's own free is the last one at its address.
                const auto freed = std::find_if(freedTexts.rbegin(), freedTexts.rend(),
                                                [&](const auto& f) { return f.text == argument; });
                ASSERT_NE(freed, freedTexts.rend()) << "argument not freed";
                EXPECT_TRUE(freed->zeroed()) << "argument freed unwiped";
            }
        }
    }
};

std::optional<std::string> never(const HandlerCase&) {
    return std::nullopt;
}

TEST_F(AdapterHandlers, EachCallsItsMethodWithItsArgumentsAndAnswersItsResult) {
    auto copy = unlocked();
    runAll(*copy, true, "true", never);
}

TEST_F(AdapterHandlers, WhileLockedOnlyGetVersionReachesTheControl) {
    auto copy = load();
    EXPECT_EQ(copy->unlock("https://other.test"), "61908");
    runAll(*copy, true, "true", [](const HandlerCase& c) -> std::optional<std::string> {
        return isGetVersion(c) ? std::nullopt : std::optional<std::string>("61908");
    });
    // Locked wins over a missing key.
    runAll(*copy, false, "true", [](const HandlerCase& c) -> std::optional<std::string> {
        return isGetVersion(c) ? std::nullopt : std::optional<std::string>("61908");
    });
}

TEST_F(AdapterHandlers, MissingKeysAnswer61016OnlyInKeyCheckMode) {
    auto copy = unlocked();
    for (const char* on : {"true", "TRUE"}) {
        SCOPED_TRACE(on);
        runAll(*copy, false, on, [](const HandlerCase& c) -> std::optional<std::string> {
            if (c.keys.empty() || isGetVersion(c)) {
                return std::nullopt;
            }
            return "61016";
        });
    }
    // Otherwise the control receives empty strings and zeros.
    for (const std::optional<std::string>& off :
         {std::optional<std::string>("false"), std::optional<std::string>("yes"),
          std::optional<std::string>()}) {
        SCOPED_TRACE(off.value_or("(none)"));
        runAll(*copy, false, off, never);
    }
}

TEST_F(AdapterHandlers, FailingCallsAnswer61011) {
    std::string failing;
    for (const auto& c : handlerCases()) {
        failing += "fail " + std::string(c.method) + " 0x80004005\n";
    }
    fake_tavelo::setScript(failing);
    auto copy = unlocked();
    for (std::size_t i = 0; i < handlerCases().size(); ++i) {
        const HandlerCase& c = handlerCases()[i];
        SCOPED_TRACE(c.method);
        fake_tavelo::clearCalls();
        EXPECT_EQ(copy->call(requestOf(i, c, true, "true"), c.method), "61011");
        const auto calls = fake_tavelo::methodCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].arguments, received(c, true));
    }
    // A success code other than S_OK is no failure.
    fake_tavelo::setScript("fail GetSN 1\n");
    EXPECT_EQ(copy->getSN(), "");
}

TEST_F(AdapterHandlers, KeyCheckLooksAtEachCallOnItsOwn) {
    auto copy = unlocked();
    const Pairs full = {{"CorvantixFunctionIndex", "2"},
                        {"AdapterJsonKeyCheck", "true"},
                        {"bReaderName", "R"},
                        {"bAdvReaderList", "L"},
                        {"PIN", "740185"},
                        {"iFlags", "1"},
                        {"iReplugTime", "2"}};
    Pairs noPin = full;
    std::erase_if(noPin, [](const auto& p) { return p.first == "PIN"; });
    EXPECT_EQ(copy->call(noPin, "VerifyPIN"), "61016");
    // The error of one call does not stay for the next.
    EXPECT_EQ(copy->call(full, "VerifyPIN"), "0");
    EXPECT_EQ(copy->call(noPin, "VerifyPIN"), "61016");
    EXPECT_EQ(copy->getSN(), "SN0001");

    // Keys are found in any letter case, and flagged values arrive decoded.
    Pairs other = noPin;
    other.emplace_back("pin", "NzQwMTg1");
    other.emplace_back("PIN_CorvantixBase64Flag", "true");
    fake_tavelo::clearCalls();
    EXPECT_EQ(copy->call(other, "VerifyPIN"), "0");
    const auto calls = fake_tavelo::methodCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments, (std::vector<std::string>{"R", "L", "740185", "1", "2"}));
}

TEST_F(AdapterHandlers, EmptyAnswersAreTheEmptyText) {
    fake_tavelo::setScript("answer GetSN\nanswer GetReaderList\n");
    auto copy = unlocked();
    EXPECT_EQ(copy->getSN(), "");
    EXPECT_EQ(copy->call({{"CorvantixFunctionIndex", "14"}}, "GetReaderList"), "");
}

TEST_F(AdapterExports, LogsItsSetUpAndFailuresButNeverAPin) {
    const fs::path logs = sandbox.root() / "logs";
    fs::create_directories(logs);
    sandbox.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (logs / "adapter.log").string() +
                      "\nLog Level=5\n");
    fake_tavelo::setScript("fail ChangePIN 0x80004005\n");
    {
        auto copy = unlocked();
        EXPECT_EQ(copy->callText(R"({"FunctionName":"VerifyPIN","CorvantixFunctionIndex":"2",)"
                                 R"("PIN":"918273","AdapterJsonKeyCheck":"true"})"),
                  "61016");
        EXPECT_EQ(
            copy->call(
                {{"CorvantixFunctionIndex", "15"}, {"oldPIN", "918273"}, {"newPIN", "564738"}},
                "ChangePIN"),
            "61011");
    }
    std::string text;
    for (const auto& entry : fs::directory_iterator(logs)) {
        text += testing_support::Sandbox::read(entry.path());
    }
    for (const char* line :
         {"[VondelTaveloZynAdapter][Normal] \tComponent api: 28",
          "[VondelTaveloZynAdapter][Normal] \tSystem api: 3",
          "[VondelTaveloZynAdapter][Warning] Json map key not found: bReaderName",
          "[VondelTaveloZynAdapter][Warning] Catch component exception",
          "Safe in ComponentAPI_ChangePIN at ",
          "[VondelTaveloZynAdapter][Normal] CorvantixRelease"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(text.find("918273"), std::string::npos);
    EXPECT_EQ(text.find("564738"), std::string::npos);
}

} // namespace
