// Loading and unloading copies of the adapter library, as the service does
// for every session: a copy that is gone leaves nothing behind in the
// process, neither in the C++ runtime's exit list nor as an open file.

#include "adapter/AdapterExports.h"
#include "adapter/AdapterUnlockList.h"
#include "common/Json.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

// ---- Registrations the test program sees ----------------------------------
//
// The test program puts itself in front of the C runtime's __cxa_atexit (it
// exports its own, which every library binds to first) and counts the
// registrations made from a copy of the adapter.

namespace {

int adapterRegistrations = 0;

} // namespace

extern "C" __attribute__((visibility("default"))) int __cxa_atexit(void (*function)(void*),
                                                                   void* argument, void* dso) {
    using Register = int (*)(void (*)(void*), void*, void*);
    static const auto next = reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_atexit"));
    Dl_info info{};
    if (dso != nullptr && dladdr(dso, &info) != 0 && info.dli_fname != nullptr &&
        std::string(info.dli_fname).find("VondelTaveloZynAdapter") != std::string::npos) {
        ++adapterRegistrations;
    }
    return next(function, argument, dso);
}

namespace {

int openFiles() {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

class AdapterUnload : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(fake_tavelo::registerControl(), S_OK); }

    // One session's life: a private copy loaded, unlocked (which sets the
    // copy up: log, control, function table), released and unloaded.
    void session(int number) {
        const fs::path copy = sandbox.root() / "Tempfile" / ("Session_" + std::to_string(number)) /
                              "VondelTaveloZynAdapter.so";
        fs::create_directories(copy.parent_path());
        fs::copy_file(ADAPTER_LIBRARY, copy);
        void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const auto entry =
            reinterpret_cast<CallJsonMapMethodFn>(dlsym(handle, kCallJsonMapMethodName));
        ASSERT_NE(entry, nullptr);
        const JsonMapPtr unlock = newJsonMap();
        addJsonMapValue(unlock.get(), "CorvantixFunctionIndex", "-2");
        addJsonMapValue(unlock.get(), "url", "https://www." + std::string(kAdapterBankDomain));
        EXPECT_STREQ(entry(unlock.get(), "Corvantix_Unlock"), "0");
        const JsonMapPtr release = newJsonMap();
        addJsonMapValue(release.get(), "CorvantixFunctionIndex", "-3");
        entry(release.get(), "Corvantix_Release");
        EXPECT_EQ(dlclose(handle), 0);
        fs::remove(copy);
    }

    testing_support::Sandbox sandbox;
};

TEST_F(AdapterUnload, ACopyRegistersNothingInTheProcessExitList) {
    adapterRegistrations = 0;
    for (int i = 0; i < 3; ++i) {
        session(i);
    }
    // The process's list frees a closed library's entries but reuses them
    // only at its end: entries of copies would pile up session after session.
    EXPECT_EQ(adapterRegistrations, 0);
}

TEST_F(AdapterUnload, UnloadingACopyRunsItsStaticDestructors) {
    // The first session loads what stays: the control's library, the COM layer.
    session(0);
    const int before = openFiles();
    for (int i = 1; i <= 3; ++i) {
        session(i);
    }
    // Each copy holds the log's lock file open until its destructors run.
    EXPECT_EQ(openFiles(), before);
}

} // namespace
