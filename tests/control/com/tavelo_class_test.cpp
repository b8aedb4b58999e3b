// The control's class through the adapter's path (registered, created with
// CoCreateInstance) without a card: its interfaces, the accessors' codes,
// late binding by name and id, the methods not built yet, unloading and the
// registration it writes and removes.

#include "platform/registry/Registry.h"
#include "tests/control/com/TaveloClass.h"

#include <cctype>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace {

using namespace tavelo_class;
using testing_support::utf8;

constexpr IID kOtherIid = guidLiteral("{12345678-1234-1234-1234-1234567890AB}");

TEST_F(TaveloClass, AnswersItsFourInterfacesWithOneIdentity) {
    ComPtr<IUnknown> identity;
    ASSERT_EQ(control->QueryInterface(IID_IUnknown, identity.receive()), S_OK);
    const struct {
        const char* name;
        IID iid;
        HRESULT expected;
    } rows[] = {
        {"IUnknown", IID_IUnknown, S_OK},
        {"IDispatch", IID_IDispatch, S_OK},
        {"IVondelTaveloATL", IID_IVondelTaveloATL, S_OK},
        {"ISupportErrorInfo", IID_ISupportErrorInfo, S_OK},
        {"IClassFactory", IID_IClassFactory, E_NOINTERFACE},
        {"another", kOtherIid, E_NOINTERFACE},
    };
    for (const auto& row : rows) {
        ComPtr<IUnknown> asked;
        EXPECT_EQ(control->QueryInterface(row.iid, asked.receive()), row.expected) << row.name;
        if (row.expected != S_OK) {
            EXPECT_FALSE(asked) << row.name;
            continue;
        }
        ComPtr<IUnknown> back;
        ASSERT_EQ(asked->QueryInterface(IID_IUnknown, back.receive()), S_OK) << row.name;
        EXPECT_EQ(back.get(), identity.get()) << row.name;
    }
    // IDispatch is the dual interface itself: its table is the one the adapter indexes.
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.receive())),
              S_OK);
    EXPECT_EQ(static_cast<IDispatch*>(control.get()), dispatch.get());

    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(control->QueryInterface(IID_ISupportErrorInfo,
                                      reinterpret_cast<void**>(errorInfo.receive())),
              S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IVondelTaveloATL), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(kOtherIid), S_FALSE);
}

TEST_F(TaveloClass, AccessorsAnswerTheirCodes) {
    EXPECT_EQ(errorCode(), 0) << "before any other call";

    std::int32_t status = 0;
    ASSERT_EQ(control->GetCardStatus(&status), S_OK);
    EXPECT_EQ(status, 13) << "no card";

    const std::string longName(300, 'b');
    const struct {
        const char* name;
        std::optional<std::string> browser;
        std::int32_t expected;
    } rows[] = {
        {"a name", "chrome.exe", 0},
        {"empty", "", 5005},
        {"null", std::nullopt, 5005},
        {"longer than kept", longName, 0},
        {"only a NUL", std::string(1, '\0'), 5005},
    };
    for (const auto& row : rows) {
        const BstrString browser = row.browser ? text(*row.browser) : BstrString();
        std::int32_t rc = -1;
        ASSERT_EQ(control->UserBrowser(browser.get(), &rc), S_OK) << row.name;
        EXPECT_EQ(rc, row.expected) << row.name;
        EXPECT_EQ(errorCode(), row.expected) << row.name;
    }

    // The card status and the kept TAC and TSN leave the error code alone.
    ASSERT_EQ(errorCode(), 5005);
    status = 0;
    ASSERT_EQ(control->GetCardStatus(&status), S_OK);
    EXPECT_EQ(status, 13);
    for (auto get : {&IVondelTaveloATL::GetTSAC, &IVondelTaveloATL::GetTSN}) {
        BstrString kept;
        ASSERT_EQ((control.get()->*get)(kept.receive()), S_OK);
        ASSERT_NE(kept.get(), nullptr) << "an empty text, not none";
        EXPECT_EQ(kept.length(), 0u);
    }
    EXPECT_EQ(errorCode(), 5005);
}

TEST_F(TaveloClass, VersionIsTheLibrarysWhateverTheFlag) {
    for (const std::int32_t flag : {0, 1, -1, 0x1000000}) {
        BstrString version;
        ASSERT_EQ(control->GetVersion(flag, version.receive()), S_OK);
        EXPECT_EQ(utf8(version.get()), TAVELO_FILE_VERSION) << flag;
        EXPECT_EQ(errorCode(), 0);
    }
}

// The card methods need a connected card: 13 before anything else, no
// dialog, and text results left unset. The keypad-reader check needs none.
TEST_F(TaveloClass, CardMethodsWithoutACardAnswer13) {
    using Number = std::function<HRESULT(IVondelTaveloATL&, std::int32_t*)>;
    const BstrString a = text("123456");
    const BstrString none = text("");
    BSTR s = a.get();
    const std::vector<std::pair<const char*, Number>> numbers = {
        {"VerifyPIN", [&](auto& c, auto* r) { return c.VerifyPIN(s, s, s, 0x8000, 0, r); }},
        {"VerifyPINEx", [&](auto& c, auto* r) { return c.VerifyPINEx(s, s, 0x8000, 0, r); }},
        {"SelectEF", [&](auto& c, auto* r) { return c.SelectEF(s, r); }},
        {"ChangePIN", [&](auto& c, auto* r) { return c.ChangePIN(s, s, r); }},
        {"ChangePIN with the dialog's PINs",
         [&](auto& c, auto* r) { return c.ChangePIN(nullptr, nullptr, r); }},
    };
    for (const auto& [name, call] : numbers) {
        std::int32_t rc = 0;
        ASSERT_EQ(call(*control.get(), &rc), S_OK) << name;
        EXPECT_EQ(rc, 13) << name;
        EXPECT_EQ(errorCode(), 13) << name;
    }

    using Text = std::function<HRESULT(IVondelTaveloATL&, BSTR*)>;
    const std::vector<std::pair<const char*, Text>> texts = {
        {"GetTAC", [&](auto& c, auto* r) { return c.GetTAC(s, 0x1000000, r); }},
        {"GetAccount", [&](auto& c, auto* r) { return c.GetAccount(1, r); }},
        {"GenRandom", [&](auto& c, auto* r) { return c.GenRandom(r); }},
        {"GetSN", [&](auto& c, auto* r) { return c.GetSN(r); }},
        {"ReadRecord", [&](auto& c, auto* r) { return c.ReadRecord(1, 0, r); }},
        {"WRITE_RECORD_W_SNUM_TAC",
         [&](auto& c, auto* r) { return c.WRITE_RECORD_W_SNUM_TAC(s, 0, 0x1000000, r); }},
    };
    for (const auto& [name, call] : texts) {
        std::int32_t reset = -1;
        ASSERT_EQ(control->UserBrowser(a.get(), &reset), S_OK);
        ASSERT_EQ(errorCode(), 0);
        BSTR result = nullptr;
        ASSERT_EQ(call(*control.get(), &result), S_OK) << name;
        EXPECT_EQ(result, nullptr) << name << " wrote a result";
        SysFreeString(result);
        EXPECT_EQ(errorCode(), 13) << name;
    }

    std::int32_t rc = -1;
    ASSERT_EQ(control->DetectAdvReader(s, none.get(), 0, 0, &rc), S_OK);
    EXPECT_EQ(rc, 0) << "an empty list names no keypad reader";
    ASSERT_EQ(control->DetectAdvReader(s, a.get(), 0, 0, &rc), S_OK);
    EXPECT_EQ(rc, 5008) << "a list that is no Base64";
    EXPECT_EQ(errorCode(), 5008);
}

// ---- Late binding -------------------------------------------------------------

std::u16string wide(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

DISPID idOf(IVondelTaveloATL& control, std::string_view name) {
    std::u16string n = wide(name);
    OLECHAR* names[] = {n.data()};
    DISPID id = -99;
    EXPECT_EQ(control.GetIDsOfNames(IID_IUnknown, names, 1, 0, &id), S_OK) << name;
    return id;
}

TEST_F(TaveloClass, NamesGiveTheDispatchIdsAndParameterPlaces) {
    for (int i = 0; i < kVondelTaveloMethodCount; ++i) {
        const std::string name(kVondelTaveloMethodNames[static_cast<std::size_t>(i)]);
        EXPECT_EQ(idOf(*control.get(), name), i + 1) << name;
        std::string upper = name;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(idOf(*control.get(), upper), i + 1) << upper;
    }

    std::u16string method = u"DoTransferTAC", first = u"PIN", last = u"iflags", other = u"x";
    OLECHAR* names[] = {method.data(), first.data(), last.data()};
    DISPID ids[3] = {};
    ASSERT_EQ(control->GetIDsOfNames(IID_IUnknown, names, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 19);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(ids[2], 10);

    OLECHAR* unknownParameter[] = {method.data(), other.data()};
    ASSERT_EQ(control->GetIDsOfNames(IID_IUnknown, unknownParameter, 2, 0, ids),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 19);
    EXPECT_EQ(ids[1], -1);
    OLECHAR* unknownMethod[] = {other.data()};
    EXPECT_EQ(control->GetIDsOfNames(IID_IUnknown, unknownMethod, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], -1);
}

// Arguments for Invoke, given first to last (stored last to first).
struct Arguments {
    std::vector<Variant> values;
    std::vector<VARIANT> stored;
    DISPPARAMS params{};

    Arguments& add(std::int32_t number) {
        Variant& v = values.emplace_back();
        v.get()->vt = VT_I4;
        v.get()->lVal = number;
        return *this;
    }
    Arguments& add(std::string_view utf8Text) {
        Variant& v = values.emplace_back();
        v.get()->vt = VT_BSTR;
        v.get()->bstrVal = testing_support::bstr(utf8Text);
        return *this;
    }
    Arguments& addEmpty(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            values.emplace_back();
        }
        return *this;
    }
    DISPPARAMS* get() {
        stored.assign(values.size(), VARIANT{});
        for (std::size_t i = 0; i < values.size(); ++i) {
            stored[values.size() - 1 - i] = *values[i].get();
        }
        params = {stored.data(), nullptr, static_cast<std::uint32_t>(stored.size()), 0};
        return &params;
    }
};

HRESULT invoke(IVondelTaveloATL& control, DISPID id, Arguments& arguments, Variant& result,
               std::uint32_t* argumentError = nullptr) {
    return control.Invoke(id, IID_IUnknown, 0, DISPATCH_METHOD, arguments.get(), result.receive(),
                          nullptr, argumentError);
}

TEST_F(TaveloClass, InvokeReachesTheSameMethodsAsTheTable) {
    const std::size_t parameterCounts[] = {1, 0, 5, 4, 2,  0,  0,  1, 1, 1, 0, 0, 0, 2,
                                           0, 2, 4, 5, 11, 12, 11, 1, 0, 0, 1, 2, 3, 5};
    // Methods that answer a text; the others answer a number as VT_I4.
    const std::set<DISPID> textResults = {5, 7, 10, 11, 12, 14, 27};
    // The transaction methods check their texts before the card: 5005.
    const std::set<DISPID> textsFirst = {18, 19, 20, 21};
    // The authorisation methods and GenerateTAC without arguments: a missing
    // answer or field list, no page, and a challenge made.
    const std::map<DISPID, std::int32_t> emptyArguments = {{8, 5005}, {26, 5907}, {28, 5005}};
    // The card methods without a card: 13; the keypad-reader check needs none.
    const std::set<DISPID> needCard = {3, 4, 5, 9, 10, 11, 12, 14, 16, 27};
    for (DISPID id = 1; id <= kVondelTaveloMethodCount; ++id) {
        if (id == 15) {
            continue; // the reader list needs PC/SC: in the card tests
        }
        Arguments arguments;
        arguments.addEmpty(parameterCounts[id - 1]);
        Variant result;
        ASSERT_EQ(invoke(*control.get(), id, arguments, result), S_OK) << id;
        if (textsFirst.contains(id)) {
            EXPECT_EQ(result.get()->lVal, 5005) << id;
            EXPECT_EQ(errorCode(), 5005) << id;
        } else if (const auto expected = emptyArguments.find(id);
                   expected != emptyArguments.end()) {
            EXPECT_EQ(result.get()->vt, VT_I4) << id;
            EXPECT_EQ(result.get()->lVal, expected->second) << id;
            EXPECT_EQ(errorCode(), expected->second) << id;
        } else if (id == 7) {
            ASSERT_EQ(result.get()->vt, VT_BSTR) << id;
            EXPECT_EQ(SysStringLen(result.get()->bstrVal), 12u) << "a 12-character challenge";
            EXPECT_EQ(errorCode(), 0) << id;
        } else if (needCard.contains(id)) {
            if (!textResults.contains(id)) {
                EXPECT_EQ(result.get()->lVal, 13) << id;
            }
            EXPECT_EQ(errorCode(), 13) << id;
        }
    }

    // The built ones, by name, as the early-bound calls answer them.
    Variant result;
    Arguments browser;
    browser.add("firefox");
    ASSERT_EQ(invoke(*control.get(), idOf(*control.get(), "UserBrowser"), browser, result), S_OK);
    EXPECT_EQ(result.get()->vt, VT_I4);
    EXPECT_EQ(result.get()->lVal, 0);
    Arguments number;
    number.add(42); // a number where a text is expected is turned into one
    ASSERT_EQ(invoke(*control.get(), idOf(*control.get(), "userbrowser"), number, result), S_OK);
    EXPECT_EQ(result.get()->lVal, 0);
    Arguments none;
    ASSERT_EQ(invoke(*control.get(), idOf(*control.get(), "GetErrorCode"), none, result), S_OK);
    EXPECT_EQ(result.get()->lVal, 0);
    Arguments flag;
    flag.add(7);
    ASSERT_EQ(invoke(*control.get(), idOf(*control.get(), "GetVersion"), flag, result), S_OK);
    ASSERT_EQ(result.get()->vt, VT_BSTR);
    EXPECT_EQ(utf8(result.get()->bstrVal), TAVELO_FILE_VERSION);
    Arguments empty;
    ASSERT_EQ(invoke(*control.get(), 13, empty, result), S_OK);
    EXPECT_EQ(result.get()->lVal, 13);
    Arguments reader;
    reader.add("");
    ASSERT_EQ(invoke(*control.get(), 1, reader, result), S_OK);
    EXPECT_EQ(result.get()->lVal, 5005);
}

TEST_F(TaveloClass, InvokeChecksItsArguments) {
    Variant result;
    {
        // The last iFlags of DoInquiryTAC and DoTransferTAC may be left out.
        Arguments inquiry;
        inquiry.add("1").add("2").add("3").add("4");
        EXPECT_EQ(invoke(*control.get(), 18, inquiry, result), S_OK);
        EXPECT_EQ(result.get()->lVal, 13) << "no card is connected";
        Arguments transfer;
        transfer.addEmpty(10);
        EXPECT_EQ(invoke(*control.get(), 19, transfer, result), S_OK);
    }
    const struct {
        const char* name;
        DISPID id;
        std::size_t count;
        HRESULT expected;
    } counts[] = {
        {"inquiry, two short", 18, 3, DISP_E_BADPARAMCOUNT},
        {"inquiry, one more", 18, 6, DISP_E_BADPARAMCOUNT},
        {"tax, its iFlags is not optional", 20, 11, DISP_E_BADPARAMCOUNT},
        {"fee, its iFlags is not optional", 21, 10, DISP_E_BADPARAMCOUNT},
        {"connect without its name", 1, 0, DISP_E_BADPARAMCOUNT},
        {"no dispatch id 0", 0, 0, DISP_E_MEMBERNOTFOUND},
        {"no dispatch id 29", 29, 0, DISP_E_MEMBERNOTFOUND},
    };
    for (const auto& row : counts) {
        Arguments arguments;
        arguments.addEmpty(row.count);
        EXPECT_EQ(invoke(*control.get(), row.id, arguments, result), row.expected) << row.name;
    }

    // A text where a number belongs: refused, naming the argument as rgvarg
    // counts (last first).
    Arguments record;
    record.add(1).add("x");
    std::uint32_t argumentError = 99;
    EXPECT_EQ(invoke(*control.get(), 14, record, result, &argumentError), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 0u);

    // Named arguments are not taken.
    Arguments named;
    named.add("x");
    DISPPARAMS* params = named.get();
    DISPID name = 0;
    params->rgdispidNamedArgs = &name;
    params->cNamedArgs = 1;
    EXPECT_EQ(control->Invoke(25, IID_IUnknown, 0, DISPATCH_METHOD, params, result.receive(),
                              nullptr, nullptr),
              DISP_E_NONAMEDARGS);
}

// ---- The library ------------------------------------------------------------------

TEST_F(TaveloClass, UnloadsOnlyWithoutObjectsAndLocks) {
    const auto canUnload = libraryEntry<DllCanUnloadNowFunction>("DllCanUnloadNow");
    const auto getClassObject = libraryEntry<DllGetClassObjectFunction>("DllGetClassObject");
    ASSERT_NE(canUnload, nullptr);
    ASSERT_NE(getClassObject, nullptr);
    // The library stays loaded by the run time while these run.
    void* pinned = dlopen(TAVELO_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(pinned, nullptr) << "CoCreateInstance loaded the library as registered";

    EXPECT_EQ(canUnload(), S_FALSE) << "an object lives";
    control.reset();
    EXPECT_EQ(canUnload(), S_OK) << "nothing lives";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_VondelTaveloATL, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.receive())),
              S_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "a class factory lives";
    ASSERT_EQ(factory->LockServer(1), S_OK);
    factory.reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "a lock is held";
    ASSERT_EQ(getClassObject(CLSID_VondelTaveloATL, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.receive())),
              S_OK);
    ASSERT_EQ(factory->LockServer(0), S_OK);
    ComPtr<IUnknown> made;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, made.receive()), S_OK);
    factory.reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "the new object lives";
    made.reset();
    EXPECT_EQ(canUnload(), S_OK) << "neither";

    EXPECT_EQ(
        getClassObject(kOtherIid, IID_IClassFactory, reinterpret_cast<void**>(factory.receive())),
        CLASS_E_CLASSNOTAVAILABLE);
    dlclose(pinned);
}

std::optional<std::string> classesValue(const std::string& key, const std::string& name = "") {
    return platform::registryString(HKEY_CLASSES_ROOT, key, name);
}

bool classesKeyExists(const std::string& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyEx(HKEY_CLASSES_ROOT, key.c_str(), &opened) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(opened);
    return true;
}

TEST_F(TaveloClass, RegistrationWritesEveryValueAndUnregistrationKeepsTheAppId) {
    const std::string clsid = "CLSID\\{71E88AFD-6042-2361-5903-AD4082FC0FAF}";
    const std::string appId = "{E086F6D2-1560-43F5-8BFF-E90CD7C23EA8}";
    const std::string libid = "{3839D969-26DE-4F44-2CFB-4689F525A27F}";
    const std::string iface = "Interface\\{0E69D6E5-C820-4C43-0EE4-7537E2DAEC1C}";
    const std::string module = std::filesystem::path(TAVELO_LIBRARY).lexically_normal().string();
    const struct {
        std::string key;
        std::string name;
        std::string value;
    } values[] = {
        {"AppID\\" + appId, "", "VondelTavelo"},
        {"AppID\\VondelTavelo.DLL", "AppID", appId},
        {"VondelTavelo.VondelTaveloZyn.1", "", "VondelTaveloZyn Class"},
        {"VondelTavelo.VondelTaveloZyn.1\\CLSID", "", "{71E88AFD-6042-2361-5903-AD4082FC0FAF}"},
        {"VondelTavelo.VondelTaveloZyn", "", "VondelTaveloZyn Class"},
        {"VondelTavelo.VondelTaveloZyn\\CLSID", "", "{71E88AFD-6042-2361-5903-AD4082FC0FAF}"},
        {"VondelTavelo.VondelTaveloZyn\\CurVer", "", "VondelTavelo.VondelTaveloZyn.1"},
        {clsid, "", "VondelTaveloZyn Class"},
        {clsid, "AppID", appId},
        {clsid + "\\ProgID", "", "VondelTavelo.VondelTaveloZyn.1"},
        {clsid + "\\VersionIndependentProgID", "", "VondelTavelo.VondelTaveloZyn"},
        {clsid + "\\InprocServer32", "", module},
        {clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {clsid + "\\ToolboxBitmap32", "", module + ", 102"},
        {clsid + "\\MiscStatus", "", "0"},
        {clsid + "\\MiscStatus\\1", "", "131473"},
        {clsid + "\\TypeLib", "", libid},
        {clsid + "\\Version", "", "1.0"},
        {"TypeLib\\" + libid + "\\1.0", "", "QxTavelo 1.0 \u578b\u5225\u7a0b\u5f0f\u5eab"},
        {"TypeLib\\" + libid + "\\1.0\\0\\win32", "", module},
        {iface, "", "IVondelTaveloATL"},
        {iface + "\\ProxyStubClsid32", "", "{00020424-0000-0000-C000-000000000046}"},
        {iface + "\\TypeLib", "", libid},
        {iface + "\\TypeLib", "Version", "1.0"},
    };
    for (const auto& row : values) {
        EXPECT_EQ(classesValue(row.key, row.name), row.value) << row.key << " " << row.name;
    }
    for (const char* key : {"Programmable", "Control"}) {
        EXPECT_TRUE(classesKeyExists(clsid + "\\" + key)) << key;
    }

    control.reset();
    ASSERT_EQ(runRegistration("DllUnregisterServer"), S_OK);
    for (const std::string& gone :
         {clsid, std::string("VondelTavelo.VondelTaveloZyn.1"),
          std::string("VondelTavelo.VondelTaveloZyn"), "TypeLib\\" + libid, iface}) {
        EXPECT_FALSE(classesKeyExists(gone)) << gone;
    }
    EXPECT_EQ(classesValue("AppID\\" + appId), "VondelTavelo");
    EXPECT_EQ(classesValue("AppID\\VondelTavelo.DLL", "AppID"), appId);
    // A second removal finds nothing missing to complain about.
    EXPECT_EQ(runRegistration("DllUnregisterServer"), S_OK);

    // Without its registration the class cannot be created.
    ComPtr<IVondelTaveloATL> again;
    EXPECT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                               reinterpret_cast<void**>(again.receive())),
              REGDB_E_CLASSNOTREG);
}

} // namespace
