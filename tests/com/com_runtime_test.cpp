#include "platform/com/ComRegistration.h"
#include "platform/com/OleAuto.h"
#include "platform/registry/Registry.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

constexpr CLSID kClass = guidLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
constexpr GUID kAppId = guidLiteral("{11111111-2222-3333-4444-555555555555}");
constexpr GUID kTypeLib = guidLiteral("{66666666-7777-8888-9999-AAAAAAAAAAAA}");

std::string classKey(const CLSID& clsid) {
    return "CLSID\\" + guidToString(clsid);
}

TEST(ComInit, CountsPerThread) {
    const testing_support::Sandbox sandbox;
    IUnknown* object = reinterpret_cast<IUnknown*>(&object);
    EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);

    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    // Another thread has an initialisation of its own to make.
    HRESULT other = S_OK;
    std::thread([&other] {
        void* unused = nullptr;
        other = CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &unused);
    }).join();
    EXPECT_EQ(other, CO_E_NOTINITIALIZED);
    CoUninitialize();
    void* unused = nullptr;
    EXPECT_NE(CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &unused),
              CO_E_NOTINITIALIZED);
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &unused),
              CO_E_NOTINITIALIZED);
    CoUninitialize(); // one too many does nothing
}

class ComCreate : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }

    HRESULT create(const CLSID& clsid, std::uint32_t context = CLSCTX_ALL) {
        void* object = &object;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, context, IID_IUnknown, &object);
        EXPECT_EQ(object, nullptr);
        return hr;
    }
    void registerPath(const std::string& path) {
        ASSERT_EQ(platform::registrySetString(HKEY_CLASSES_ROOT,
                                              classKey(kClass) + "\\InprocServer32", "", path),
                  ERROR_SUCCESS);
    }

    testing_support::Sandbox sandbox;
};

TEST_F(ComCreate, FailuresGiveTheirResults) {
    EXPECT_EQ(create(kClass), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);

    registerPath((sandbox.root() / "missing.so").string());
    EXPECT_EQ(create(kClass), HRESULT_MOD_NOT_FOUND);
    EXPECT_NE(comLastLoadError().find("missing.so"), std::string::npos);
    // Only in-process servers exist here.
    EXPECT_EQ(create(kClass, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);

    // A file that is no library, and a library that is no server.
    registerPath(sandbox.write("text.so", "not a library").string());
    EXPECT_EQ(create(kClass), CO_E_ERRORINDLL);
    const auto comLibrary = comModulePath(reinterpret_cast<const void*>(&CoInitialize));
    ASSERT_TRUE(comLibrary);
    EXPECT_EQ(comLibrary->filename(), "libcorvantix_com.so");
    registerPath(comLibrary->string());
    EXPECT_EQ(create(kClass), CO_E_ERRORINDLL);
    EXPECT_NE(comLastLoadError().find("DllGetClassObject"), std::string::npos);
}

TEST_F(ComCreate, RegistrationWritesTheClassEntries) {
    ComClassRegistration entry;
    entry.clsid = kClass;
    entry.description = "Thing Class";
    entry.progId = "Maker.Thing.1";
    entry.versionIndependentProgId = "Maker.Thing";
    entry.appId = kAppId;
    entry.appIdName = "Thing";
    entry.typeLib = kTypeLib;
    entry.version = "1.0";
    entry.programmable = true;
    entry.control = true;
    entry.miscStatus = 131473;
    entry.toolboxBitmap = 102;
    const std::filesystem::path module = "/opt/thing/libThing.so";
    ASSERT_EQ(registerComClass(entry, module), S_OK);

    const std::string key = classKey(kClass);
    struct Expected {
        std::string key;
        std::string name;
        std::string value;
    };
    const Expected expected[] = {
        {key, "", "Thing Class"},
        {key, "AppID", guidToString(kAppId)},
        {key + "\\ProgID", "", "Maker.Thing.1"},
        {key + "\\VersionIndependentProgID", "", "Maker.Thing"},
        {key + "\\InprocServer32", "", module.string()},
        {key + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {key + "\\ToolboxBitmap32", "", module.string() + ", 102"},
        {key + "\\MiscStatus", "", "0"},
        {key + "\\MiscStatus\\1", "", "131473"},
        {key + "\\TypeLib", "", guidToString(kTypeLib)},
        {key + "\\Version", "", "1.0"},
        {"Maker.Thing.1", "", "Thing Class"},
        {"Maker.Thing.1\\CLSID", "", guidToString(kClass)},
        {"Maker.Thing", "", "Thing Class"},
        {"Maker.Thing\\CLSID", "", guidToString(kClass)},
        {"Maker.Thing\\CurVer", "", "Maker.Thing.1"},
        {"AppID\\" + guidToString(kAppId), "", "Thing"},
        {"AppID\\libThing.so", "AppID", guidToString(kAppId)},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.key + " " + e.name);
        EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, e.key, e.name), e.value);
    }
    const auto subKeys = platform::registrySubKeys(HKEY_CLASSES_ROOT, key);
    for (const char* name : {"Programmable", "Control"}) {
        EXPECT_NE(std::find(subKeys.begin(), subKeys.end(), name), subKeys.end()) << name;
    }

    for (const char16_t* progId : {u"Maker.Thing.1", u"maker.thing"}) {
        CLSID found{};
        EXPECT_EQ(CLSIDFromProgID(progId, &found), S_OK);
        EXPECT_EQ(found, kClass);
    }
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(u"Maker.Other", &found), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &found), E_INVALIDARG);
    ASSERT_EQ(platform::registrySetString(HKEY_CLASSES_ROOT, "Maker.Bad\\CLSID", "", "{nonsense}"),
              ERROR_SUCCESS);
    EXPECT_EQ(CLSIDFromProgID(u"Maker.Bad", &found), CO_E_CLASSSTRING);

    ASSERT_EQ(unregisterComClass(entry), S_OK);
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, key, ""), std::nullopt);
    EXPECT_EQ(CLSIDFromProgID(u"Maker.Thing.1", &found), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"Maker.Thing", &found), CO_E_CLASSSTRING);
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, "AppID\\" + guidToString(kAppId), ""),
              "Thing");
    EXPECT_EQ(create(kClass), REGDB_E_CLASSNOTREG);
    // Removing what is gone already is no failure.
    EXPECT_EQ(unregisterComClass(entry), S_OK);
}

TEST(OleRun, RefusesNoObject) {
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
}

} // namespace
