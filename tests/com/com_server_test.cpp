#include "adapter/AdapterUtil.h"
#include "platform/registry/Registry.h"
#include "platform/text/TextCodec.h"
#include "tests/com/TestServer.h"
#include "tests/support/ComText.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <functional>

namespace {

using testing_support::bstr;
using testing_support::utf8;

// Runs one of the server's registration entry points, as a set-up program does.
HRESULT runServerEntry(const char* name) {
    void* library = dlopen(TEST_SERVER, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return E_FAIL;
    }
    const auto entry = reinterpret_cast<DllRegisterServerFunction>(dlsym(library, name));
    const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
    dlclose(library);
    return hr;
}

bool serverLoaded() {
    void* library = dlopen(TEST_SERVER, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        dlclose(library);
    }
    return library != nullptr;
}

class ComServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runServerEntry("DllRegisterServer"), S_OK);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        control.reset();
        CoUninitialize();
    }

    // The adapter's way: create asking for IUnknown, run it, query the interface.
    void createControl() {
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IUnknown,
                                   unknown.receive()),
                  S_OK);
        ASSERT_EQ(OleRun(unknown.get()), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IVondelTaveloATL, control.receive()), S_OK);
    }

    std::pair<DISPID, std::string> lastCall() {
        ComPtr<ITestCallLog> log;
        EXPECT_EQ(control->QueryInterface(IID_ITestCallLog, log.receive()), S_OK);
        DISPID dispId = 0;
        BSTR arguments = nullptr;
        EXPECT_EQ(log->LastCall(&dispId, &arguments), S_OK);
        std::pair<DISPID, std::string> call{dispId, utf8(arguments)};
        SysFreeString(arguments);
        return call;
    }

    testing_support::Sandbox sandbox;
    ComPtr<IVondelTaveloATL> control;
};

// Calls the function table's entry (counting from 1) with the given arguments,
// as a caller that knows only the table's layout does.
template <class... Args>
HRESULT callEntry(IVondelTaveloATL* object, int entry, Args... args) {
    using Function = HRESULT (*)(IVondelTaveloATL*, Args...);
    void* const* table = *reinterpret_cast<void* const* const*>(object);
    return reinterpret_cast<Function>(table[entry - 1])(object, args...);
}

// What a call leaves in its out-parameter.
struct Out {
    std::int32_t number = 0;
    BSTR text = nullptr;
    Variant list;
    ~Out() { SysFreeString(text); }
};

// Owns the string arguments of one call.
struct Args {
    BSTR s[11] = {};
    Args() {
        for (int i = 0; i < 11; ++i) {
            s[i] = bstr("s" + std::to_string(i));
        }
    }
    ~Args() {
        for (BSTR b : s) {
            SysFreeString(b);
        }
    }
};

struct EntryCase {
    DISPID dispId;
    int entry;
    std::function<HRESULT(IVondelTaveloATL*, const Args&, Out&)> call;
    std::string arguments; // as the method received them
    enum Result { Number, Text, List } result;
};

TEST_F(ComServer, EveryMethodSitsAtEntrySevenPlusItsDispatchId) {
    createControl();
    const EntryCase cases[] = {
        {1, 8, [](auto* c, auto& a, auto& o) { return callEntry(c, 8, a.s[0], &o.number); }, "s0",
         EntryCase::Number},
        {2, 9, [](auto* c, auto&, auto& o) { return callEntry(c, 9, &o.number); }, "",
         EntryCase::Number},
        {3, 10,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 10, a.s[0], a.s[1], a.s[2], 3, 4, &o.number);
         },
         "s0|s1|s2|3|4", EntryCase::Number},
        {4, 11,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 11, a.s[0], a.s[1], 3, 4, &o.number);
         },
         "s0|s1|3|4", EntryCase::Number},
        {5, 12,
         [](auto* c, auto& a, auto& o) { return callEntry(c, 12, a.s[0], 16777216, &o.text); },
         "s0|16777216", EntryCase::Text},
        {6, 13, [](auto* c, auto&, auto& o) { return callEntry(c, 13, &o.number); }, "",
         EntryCase::Number},
        {7, 14, [](auto* c, auto&, auto& o) { return callEntry(c, 14, &o.text); }, "",
         EntryCase::Text},
        {8, 15, [](auto* c, auto& a, auto& o) { return callEntry(c, 15, a.s[0], &o.number); }, "s0",
         EntryCase::Number},
        {9, 16, [](auto* c, auto& a, auto& o) { return callEntry(c, 16, a.s[0], &o.number); }, "s0",
         EntryCase::Number},
        {10, 17, [](auto* c, auto&, auto& o) { return callEntry(c, 17, -1, &o.text); }, "-1",
         EntryCase::Text},
        {11, 18, [](auto* c, auto&, auto& o) { return callEntry(c, 18, &o.text); }, "",
         EntryCase::Text},
        {12, 19, [](auto* c, auto&, auto& o) { return callEntry(c, 19, &o.text); }, "",
         EntryCase::Text},
        {13, 20, [](auto* c, auto&, auto& o) { return callEntry(c, 20, &o.number); }, "",
         EntryCase::Number},
        {14, 21, [](auto* c, auto&, auto& o) { return callEntry(c, 21, 2, 3, &o.text); }, "2|3",
         EntryCase::Text},
        {15, 22, [](auto* c, auto&, auto& o) { return callEntry(c, 22, o.list.receive()); }, "",
         EntryCase::List},
        {16, 23,
         [](auto* c, auto& a, auto& o) { return callEntry(c, 23, a.s[0], a.s[1], &o.number); },
         "s0|s1", EntryCase::Number},
        {17, 24,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 24, a.s[0], a.s[1], 5, 6, &o.number);
         },
         "s0|s1|5|6", EntryCase::Number},
        {18, 25,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 25, a.s[0], a.s[1], a.s[2], a.s[3], 7, &o.number);
         },
         "s0|s1|s2|s3|7", EntryCase::Number},
        {19, 26,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 26, a.s[0], a.s[1], a.s[2], a.s[3], a.s[4], a.s[5], a.s[6], a.s[7],
                              a.s[8], a.s[9], 8, &o.number);
         },
         "s0|s1|s2|s3|s4|s5|s6|s7|s8|s9|8", EntryCase::Number},
        {20, 27,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 27, a.s[0], a.s[1], a.s[2], a.s[3], a.s[4], a.s[5], a.s[6], a.s[7],
                              a.s[8], a.s[9], a.s[10], 9, &o.number);
         },
         "s0|s1|s2|s3|s4|s5|s6|s7|s8|s9|s10|9", EntryCase::Number},
        {21, 28,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 28, a.s[0], a.s[1], a.s[2], a.s[3], a.s[4], a.s[5], a.s[6], a.s[7],
                              a.s[8], a.s[9], 10, &o.number);
         },
         "s0|s1|s2|s3|s4|s5|s6|s7|s8|s9|10", EntryCase::Number},
        {22, 29, [](auto* c, auto&, auto& o) { return callEntry(c, 29, 99, &o.text); }, "99",
         EntryCase::Text},
        {23, 30, [](auto* c, auto&, auto& o) { return callEntry(c, 30, &o.text); }, "",
         EntryCase::Text},
        {24, 31, [](auto* c, auto&, auto& o) { return callEntry(c, 31, &o.text); }, "",
         EntryCase::Text},
        {25, 32, [](auto* c, auto& a, auto& o) { return callEntry(c, 32, a.s[0], &o.number); },
         "s0", EntryCase::Number},
        {26, 33, [](auto* c, auto& a, auto& o) { return callEntry(c, 33, a.s[0], 11, &o.number); },
         "s0|11", EntryCase::Number},
        {27, 34,
         [](auto* c, auto& a, auto& o) { return callEntry(c, 34, a.s[0], 12, 13, &o.text); },
         "s0|12|13", EntryCase::Text},
        {28, 35,
         [](auto* c, auto& a, auto& o) {
             return callEntry(c, 35, a.s[0], 14, a.s[1], nullptr, 15, &o.number);
         },
         "s0|14|s1|(null)|15", EntryCase::Number},
    };
    ASSERT_EQ(std::size(cases), std::size_t{kVondelTaveloMethodCount});
    for (const auto& c : cases) {
        SCOPED_TRACE(kVondelTaveloMethodNames[static_cast<std::size_t>(c.dispId - 1)]);
        ASSERT_EQ(c.entry, 7 + c.dispId);
        const Args args;
        Out out;
        ASSERT_EQ(c.call(control.get(), args, out), S_OK);
        EXPECT_EQ(lastCall(), std::make_pair(c.dispId, c.arguments));
        switch (c.result) {
        case EntryCase::Number:
            EXPECT_EQ(out.number, c.dispId);
            break;
        case EntryCase::Text:
            EXPECT_EQ(utf8(out.text), "out" + std::to_string(c.dispId));
            break;
        case EntryCase::List:
            EXPECT_EQ(out.list.get()->vt, VT_ARRAY | VT_VARIANT);
            break;
        }
    }

    // Named calls reach the same entries.
    std::int32_t result = 0;
    const BSTR reader = bstr("reader");
    ASSERT_EQ(control->ConnectCard(reader, &result), S_OK);
    SysFreeString(reader);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(lastCall(), std::make_pair(DISPID{1}, std::string("reader")));
    ASSERT_EQ(control->GenerateTAC(nullptr, 1, nullptr, nullptr, 2, &result), S_OK);
    EXPECT_EQ(result, 28);
}

TEST_F(ComServer, ReaderListAnswerReadsAsText) {
    createControl();
    Variant list;
    ASSERT_EQ(control->GetReaderList(list.receive()), S_OK);
    EXPECT_EQ(variantToUtf8(std::move(list)), "A;B;");
}

TEST_F(ComServer, NamesGiveTheirDispatchIds) {
    createControl();
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(control->QueryInterface(IID_IDispatch, dispatch.receive()), S_OK);
    for (int id = 1; id <= kVondelTaveloMethodCount; ++id) {
        std::u16string name =
            platform::utf8ToUtf16(kVondelTaveloMethodNames[static_cast<std::size_t>(id - 1)]);
        OLECHAR* names[] = {name.data()};
        DISPID found = 0;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_IUnknown, names, 1, 0x409, &found), S_OK);
        EXPECT_EQ(found, id) << platform::utf16ToUtf8(name);
    }
    std::u16string unknown = u"NoSuchMethod";
    OLECHAR* names[] = {unknown.data()};
    DISPID found = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_IUnknown, names, 1, 0x409, &found), DISP_E_UNKNOWNNAME);
}

TEST_F(ComServer, InterfacesShareOneIdentityAndRefuseOthers) {
    ComPtr<IVondelTaveloATL> direct;
    ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IVondelTaveloATL, direct.receive()),
              S_OK);
    ComPtr<ITestCallLog> log;
    ASSERT_EQ(direct->QueryInterface(IID_ITestCallLog, log.receive()), S_OK);
    ComPtr<IUnknown> first;
    ComPtr<IUnknown> second;
    ASSERT_EQ(direct->QueryInterface(IID_IUnknown, first.receive()), S_OK);
    ASSERT_EQ(log->QueryInterface(IID_IUnknown, second.receive()), S_OK);
    EXPECT_EQ(first.get(), second.get());

    constexpr IID other = guidLiteral("{12345678-1234-1234-1234-123456789ABC}");
    void* object = &object;
    EXPECT_EQ(direct->QueryInterface(other, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    object = &object;
    EXPECT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, other, &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // The server refuses to be aggregated.
    EXPECT_EQ(
        CoCreateInstance(CLSID_VondelTaveloATL, first.get(), CLSCTX_ALL, IID_IUnknown, &object),
        CLASS_E_NOAGGREGATION);
}

TEST_F(ComServer, ProgIdAndRegistrationFailures) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"VondelTavelo.VondelTaveloZyn.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_VondelTaveloATL);
    EXPECT_EQ(platform::registryString(
                  HKEY_CLASSES_ROOT,
                  "CLSID\\" + guidToString(CLSID_VondelTaveloATL) + "\\InprocServer32", ""),
              std::filesystem::path(TEST_SERVER).lexically_normal().string());

    // A class the server's library does not serve.
    constexpr CLSID stranger = guidLiteral("{0F0F0F0F-0000-1111-2222-333333333333}");
    ASSERT_EQ(platform::registrySetString(HKEY_CLASSES_ROOT,
                                          "CLSID\\" + guidToString(stranger) + "\\InprocServer32",
                                          "", TEST_SERVER),
              ERROR_SUCCESS);
    void* object = &object;
    EXPECT_EQ(CoCreateInstance(stranger, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);

    ASSERT_EQ(runServerEntry("DllUnregisterServer"), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CLSIDFromProgID(u"VondelTavelo.VondelTaveloZyn.1", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ComServer, ServerStaysWhileObjectsLiveAndGoesAfter) {
    createControl();
    EXPECT_TRUE(serverLoaded());
    // The last apartment leaves while the object lives: the server stays.
    CoUninitialize();
    EXPECT_TRUE(serverLoaded());
    std::int32_t result = 0;
    EXPECT_EQ(control->GetCardStatus(&result), S_OK);
    EXPECT_EQ(result, 13);

    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    control.reset();
    CoUninitialize();
    EXPECT_FALSE(serverLoaded());
    ASSERT_EQ(CoInitialize(nullptr), S_OK); // for TearDown
    // And it loads again on demand.
    createControl();
    EXPECT_TRUE(serverLoaded());
}

} // namespace
