// The server scaffolding, linked into this program as into a server library:
// a probe class with a derived interface and a second one, served through the
// exports the scaffolding defines. Then the built test servers' export lists.

#include "platform/com/ComServer.h"
#include "platform/registry/Registry.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr CLSID kProbeClass = guidLiteral("{6B1F2C3A-8E4D-4F70-9A21-C3D4E5F60718}");
constexpr CLSID kOtherClass = guidLiteral("{6B1F2C3A-8E4D-4F70-9A21-C3D4E5F60719}");
constexpr IID IID_IShape = guidLiteral("{A0000001-0000-4000-8000-000000000001}");
constexpr IID IID_ISquare = guidLiteral("{A0000001-0000-4000-8000-000000000002}");
constexpr IID IID_ILabel = guidLiteral("{A0000001-0000-4000-8000-000000000003}");
constexpr IID IID_Unanswered = guidLiteral("{A0000001-0000-4000-8000-000000000004}");

// Each interface's one method answers a number of its own, so a call through
// a returned pointer shows which interface it really is.
struct IShape : IUnknown {
    virtual int Shape() = 0;

protected:
    ~IShape() = default;
};
struct ISquare : IShape {
    virtual int Square() = 0;

protected:
    ~ISquare() = default;
};
struct ILabel : IUnknown {
    virtual int Label() = 0;

protected:
    ~ILabel() = default;
};

enum class Failure { None, Error, OutOfMemory };
Failure constructorFailure = Failure::None;
int probesMade = 0;
int probesGone = 0;

class Probe : public ISquare, public ILabel {
public:
    Probe() {
        switch (constructorFailure) {
        case Failure::Error:
            throw std::runtime_error("probe");
        case Failure::OutOfMemory:
            throw std::bad_alloc();
        case Failure::None:
            break;
        }
        ++probesMade;
    }
    ~Probe() { ++probesGone; }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    int Shape() override { return 1; }
    int Square() override { return 2; }
    int Label() override { return 3; }
};

using ProbeObject =
    ComObject<Probe, ComInterface<ISquare, IID_ISquare>, ComInterface<IShape, IID_IShape, ISquare>,
              ComInterface<ILabel, IID_ILabel>>;

ComClassRegistration probeRegistration() {
    ComClassRegistration entry;
    entry.clsid = kProbeClass;
    entry.description = "Probe Class";
    entry.progId = "Scaffold.Probe.1";
    entry.versionIndependentProgId = "Scaffold.Probe";
    return entry;
}

} // namespace

const ComServerClass& comServerClass() {
    static const ComServerClass served{probeRegistration(), &comGetClassFactory<ProbeObject>};
    return served;
}

namespace {

class Scaffold : public ::testing::Test {
protected:
    void SetUp() override {
        constructorFailure = Failure::None;
        probesMade = 0;
        probesGone = 0;
        ASSERT_EQ(DllCanUnloadNow(), S_OK);
        ASSERT_EQ(DllGetClassObject(kProbeClass, IID_IClassFactory, factory.receive()), S_OK);
    }
    void TearDown() override {
        factory.reset();
        constructorFailure = Failure::None;
        // Whatever a test made is gone again.
        EXPECT_EQ(probesMade, probesGone);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }

    ComPtr<ISquare> createSquare() {
        ComPtr<ISquare> square;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISquare, square.receive()), S_OK);
        return square;
    }

    ComPtr<IClassFactory> factory;
};

TEST_F(Scaffold, QueryInterfaceAnswersTheListedInterfacesOnly) {
    const ComPtr<ISquare> square = createSquare();
    ASSERT_TRUE(square);
    // Which method a call through the answer reaches: the interface it is.
    using Call = std::function<int(void*)>;
    const Call shape = [](void* p) { return static_cast<IShape*>(p)->Shape(); };
    const Call squareOnly = [](void* p) { return static_cast<ISquare*>(p)->Square(); };
    const Call label = [](void* p) { return static_cast<ILabel*>(p)->Label(); };
    const struct {
        const char* name;
        IID iid;
        HRESULT hr;
        Call call;
        int answer;
    } cases[] = {
        {"IUnknown", IID_IUnknown, S_OK, shape, 1},
        {"ISquare", IID_ISquare, S_OK, squareOnly, 2},
        {"IShape through ISquare", IID_IShape, S_OK, shape, 1},
        {"ILabel", IID_ILabel, S_OK, label, 3},
        {"IDispatch", IID_IDispatch, E_NOINTERFACE, {}, 0},
        {"IClassFactory", IID_IClassFactory, E_NOINTERFACE, {}, 0},
        {"unlisted", IID_Unanswered, E_NOINTERFACE, {}, 0},
    };
    ComPtr<ILabel> viaLabel;
    ASSERT_EQ(square->QueryInterface(IID_ILabel, viaLabel.receive()), S_OK);
    for (IUnknown* asked :
         {static_cast<IUnknown*>(square.get()), static_cast<IUnknown*>(viaLabel.get())}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            void* object = &object;
            ASSERT_EQ(asked->QueryInterface(c.iid, &object), c.hr);
            if (FAILED(c.hr)) {
                EXPECT_EQ(object, nullptr);
                continue;
            }
            ASSERT_NE(object, nullptr);
            EXPECT_EQ(c.call(object), c.answer);
            static_cast<IUnknown*>(object)->Release();
        }
        EXPECT_EQ(asked->QueryInterface(IID_ISquare, nullptr), E_POINTER);
    }

    // One identity, whichever interface is asked.
    ComPtr<IUnknown> first;
    ComPtr<IUnknown> second;
    ASSERT_EQ(square->QueryInterface(IID_IUnknown, first.receive()), S_OK);
    ASSERT_EQ(viaLabel->QueryInterface(IID_IUnknown, second.receive()), S_OK);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_NE(static_cast<void*>(viaLabel.get()), static_cast<void*>(square.get()));
}

TEST_F(Scaffold, ReferencesCountOnEveryInterfaceAndTheLastReleaseDeletes) {
    ISquare* square = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ISquare, reinterpret_cast<void**>(&square)),
              S_OK);
    EXPECT_EQ(probesMade, 1);
    EXPECT_EQ(square->AddRef(), 2u);
    ILabel* label = nullptr;
    ASSERT_EQ(square->QueryInterface(IID_ILabel, reinterpret_cast<void**>(&label)), S_OK);
    // One count for the object, whichever interface takes or drops it.
    EXPECT_EQ(label->AddRef(), 4u);
    EXPECT_EQ(label->Release(), 3u);
    EXPECT_EQ(square->Release(), 2u);
    EXPECT_EQ(label->Release(), 1u);
    EXPECT_EQ(probesGone, 0);
    EXPECT_EQ(square->Release(), 0u);
    EXPECT_EQ(probesGone, 1);
}

TEST_F(Scaffold, CreateInstanceRefusesAggregationAndUnansweredInterfaces) {
    const ComPtr<ISquare> outer = createSquare();
    ASSERT_EQ(probesMade, 1);
    const struct {
        const char* name;
        IUnknown* outer;
        IID iid;
        HRESULT hr;
        int made; // probes made by the call, all gone again
    } cases[] = {
        {"aggregated", outer.get(), IID_IUnknown, CLASS_E_NOAGGREGATION, 0},
        {"aggregated, asking an interface", outer.get(), IID_ISquare, CLASS_E_NOAGGREGATION, 0},
        {"unanswered interface", nullptr, IID_Unanswered, E_NOINTERFACE, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = probesMade;
        void* object = &object;
        EXPECT_EQ(factory->CreateInstance(c.outer, c.iid, &object), c.hr);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(probesMade - before, c.made);
        EXPECT_EQ(probesGone, probesMade - 1);
    }
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(Scaffold, AnExceptionFromTheConstructorBecomesAResult) {
    const struct {
        Failure failure;
        HRESULT hr;
    } cases[] = {{Failure::Error, E_FAIL}, {Failure::OutOfMemory, E_OUTOFMEMORY}};
    for (const auto& c : cases) {
        constructorFailure = c.failure;
        void* object = &object;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), c.hr);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(probesMade, 0);
    // The failed objects left no count behind (TearDown: the library may unload).
}

TEST_F(Scaffold, TheLibraryUnloadsOnlyWithNoObjectAndNoLock) {
    ComPtr<ISquare> square;
    ComPtr<IClassFactory> second;
    // Each step, then what DllCanUnloadNow answers.
    const struct {
        const char* step;
        std::function<void()> run;
        HRESULT canUnload;
    } steps[] = {
        {"a class factory lives", [] {}, S_FALSE},
        {"an object lives", [&] { square = createSquare(); }, S_FALSE},
        {"the factory is released", [&] { factory.reset(); }, S_FALSE},
        {"the object is released", [&] { square.reset(); }, S_OK},
        {"a factory again",
         [&] {
             ASSERT_EQ(DllGetClassObject(kProbeClass, IID_IClassFactory, second.receive()), S_OK);
         },
         S_FALSE},
        // An unmatched unlock does not cancel the next lock.
        {"an unlock without a lock", [&] { EXPECT_EQ(second->LockServer(0), S_OK); }, S_FALSE},
        {"a lock", [&] { EXPECT_EQ(second->LockServer(1), S_OK); }, S_FALSE},
        {"the factory is released while locked", [&] { second.reset(); }, S_FALSE},
        {"a factory to unlock with",
         [&] {
             ASSERT_EQ(DllGetClassObject(kProbeClass, IID_IUnknown, factory.receive()), S_OK);
             EXPECT_EQ(factory->LockServer(0), S_OK);
         },
         S_FALSE},
        {"unlocked and released", [&] { factory.reset(); }, S_OK},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        s.run();
        EXPECT_EQ(DllCanUnloadNow(), s.canUnload);
    }
}

TEST_F(Scaffold, GetClassObjectServesTheOneClass) {
    const struct {
        const char* name;
        CLSID clsid;
        IID iid;
        HRESULT hr;
    } cases[] = {
        {"factory", kProbeClass, IID_IClassFactory, S_OK},
        {"factory as IUnknown", kProbeClass, IID_IUnknown, S_OK},
        {"another class", kOtherClass, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {"an interface the factory lacks", kProbeClass, IID_ISquare, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        void* object = &object;
        ASSERT_EQ(DllGetClassObject(c.clsid, c.iid, &object), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(object, nullptr);
            continue;
        }
        ComPtr<IClassFactory> made;
        ASSERT_EQ(static_cast<IUnknown*>(object)->QueryInterface(IID_IClassFactory, made.receive()),
                  S_OK);
        static_cast<IUnknown*>(object)->Release();
        ComPtr<ISquare> square;
        ASSERT_EQ(made->CreateInstance(nullptr, IID_ISquare, square.receive()), S_OK);
        EXPECT_EQ(square->Square(), 2);
    }
    EXPECT_EQ(DllGetClassObject(kProbeClass, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(ScaffoldRegistration, RegistersThisLibraryAsTheClassServerAndRemovesIt) {
    const testing_support::Sandbox sandbox;
    const std::string classKey = "CLSID\\" + guidToString(kProbeClass);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", ""),
              std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, "Scaffold.Probe.1\\CLSID", ""),
              guidToString(kProbeClass));

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", ""),
              std::nullopt);
    EXPECT_EQ(platform::registryString(HKEY_CLASSES_ROOT, "Scaffold.Probe.1\\CLSID", ""),
              std::nullopt);
}

// The names a library's dynamic symbol table defines with default visibility.
std::vector<std::string> exportedNames(const std::filesystem::path& library) {
    const std::string image = testing_support::Sandbox::read(library);
    std::vector<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr)) {
        ADD_FAILURE() << library << " is no library";
        return names;
    }
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) {
            continue;
        }
        const char* strings = image.data() + sections[sections[i].sh_link].sh_offset;
        const auto* symbols =
            reinterpret_cast<const Elf64_Sym*>(image.data() + sections[i].sh_offset);
        for (std::size_t s = 0; s < sections[i].sh_size / sizeof(Elf64_Sym); ++s) {
            const Elf64_Sym& symbol = symbols[s];
            const unsigned binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK) &&
                ELF64_ST_VISIBILITY(symbol.st_other) == STV_DEFAULT) {
                names.emplace_back(strings + symbol.st_name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ScaffoldExports, ServersExportTheFourEntryPointsAndTheirHooksOnly) {
    const std::vector<std::string> entryPoints = {"DllCanUnloadNow", "DllGetClassObject",
                                                  "DllRegisterServer", "DllUnregisterServer"};
    std::vector<std::string> fakeControl = entryPoints;
    fakeControl.push_back("fakeTaveloLastTextArguments");
    const struct {
        const char* library;
        std::vector<std::string> exports;
    } cases[] = {{TEST_SERVER, entryPoints}, {FAKE_TAVELO_LIBRARY, fakeControl}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library);
        EXPECT_EQ(exportedNames(c.library), c.exports);
    }
}

} // namespace
