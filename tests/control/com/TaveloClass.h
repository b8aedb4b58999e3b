#pragma once

// The card control as the adapter gets it: registered in a sandbox registry
// through its own DllRegisterServer and created with CoCreateInstance.

#include "control/VondelTaveloInterface.h"
#include "tests/support/ComText.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

namespace tavelo_class {

// An entry point of the control library as built.
template <class Function>
Function libraryEntry(const char* name) {
    void* handle = dlopen(TAVELO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return nullptr;
    }
    auto* function = reinterpret_cast<Function>(dlsym(handle, name));
    dlclose(handle); // the registered server stays loaded through CoCreateInstance
    return function;
}

inline HRESULT runRegistration(const char* entry) {
    void* handle = dlopen(TAVELO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return E_FAIL;
    }
    const auto function = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, entry));
    const HRESULT hr = function != nullptr ? function() : E_FAIL;
    dlclose(handle);
    return hr;
}

// A BSTR owned by the test.
inline BstrString text(std::string_view utf8) {
    return BstrString::attach(testing_support::bstr(utf8));
}

class TaveloClass : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runRegistration("DllRegisterServer"), S_OK);
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                                   reinterpret_cast<void**>(control.receive())),
                  S_OK)
            << comLastLoadError();
    }
    void TearDown() override {
        control.reset();
        CoUninitialize();
    }

    std::int32_t errorCode() {
        std::int32_t code = -12345;
        EXPECT_EQ(control->GetErrorCode(&code), S_OK);
        return code;
    }

    testing_support::Sandbox box;
    ComPtr<IVondelTaveloATL> control;
};

} // namespace tavelo_class
