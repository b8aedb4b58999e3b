// The control library as an in-process server: its one class, the class
// factory that starts the module at its first request, and the registration
// that DllRegisterServer writes.

#include "control/ControlModule.h"
#include "control/ControlThreads.h"
#include "control/VondelTaveloATL.h"
#include "platform/com/ComServer.h"

namespace {

using tavelo::CVondelTaveloATL;

using TaveloObject =
    ComObject<CVondelTaveloATL, ComInterface<IVondelTaveloATL, IID_IVondelTaveloATL>,
              ComInterface<IDispatch, IID_IDispatch, IVondelTaveloATL>,
              ComInterface<ISupportErrorInfo, IID_ISupportErrorInfo>>;

// OLEMISC bits of the control: recompose on resize, can't link inside,
// inside-out, activate when visible, set client site first.
constexpr std::uint32_t kOleMisc = 131473;
constexpr int kToolboxBitmap = 102;

// Stands in for the library's entry at load: the module starts before its
// first class factory is made.
HRESULT getClassFactory(const IID& riid, void** object) noexcept {
    tavelo::moduleStart();
    return comGetClassFactory<TaveloObject>(riid, object);
}

bool threadsAlive() noexcept {
    return tavelo::controlThreadsAlive();
}

ComClassRegistration registration() {
    ComClassRegistration entry;
    entry.clsid = CLSID_VondelTaveloATL;
    entry.description = std::string(kVondelTaveloClassName);
    entry.progId = std::string(kVondelTaveloProgId);
    entry.versionIndependentProgId = std::string(kVondelTaveloVersionIndependentProgId);
    entry.threadingModel = "Apartment";
    entry.appId = APPID_VondelTavelo;
    entry.appIdName = "VondelTavelo";
    // The application's module key keeps the name it has on the original
    // platform, whatever this library's file is called.
    entry.appIdModuleKey = "VondelTavelo.DLL";
    entry.typeLib = LIBID_VondelTaveloLib;
    entry.version = std::string(kVondelTaveloTypeLibVersion);
    entry.programmable = true;
    entry.control = true;
    entry.miscStatus = kOleMisc;
    entry.toolboxBitmap = kToolboxBitmap;
    entry.typeLibrary = ComTypeLibRegistration{
        LIBID_VondelTaveloLib,
        std::string(kVondelTaveloTypeLibVersion),
        "QxTavelo 1.0 \u578b\u5225\u7a0b\u5f0f\u5eab",
        {{IID_IVondelTaveloATL, "IVondelTaveloATL"}},
    };
    return entry;
}

} // namespace

const ComServerClass& comServerClass() {
    static const ComServerClass served{registration(), &getClassFactory, &threadsAlive};
    return served;
}
