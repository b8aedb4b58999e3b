#include "platform/com/ComServer.h"

namespace {

// Hidden like everything here, so each server library has its own.
std::atomic<long> liveObjects{0};
std::atomic<long> locks{0};

} // namespace

void comModuleObjectCreated() noexcept {
    liveObjects.fetch_add(1, std::memory_order_relaxed);
}

void comModuleObjectDestroyed() noexcept {
    liveObjects.fetch_sub(1, std::memory_order_acq_rel);
}

void comModuleLock(bool lock) noexcept {
    if (lock) {
        locks.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    long held = locks.load(std::memory_order_relaxed);
    while (held > 0 && !locks.compare_exchange_weak(held, held - 1, std::memory_order_acq_rel)) {
    }
}

bool comModuleInUse() noexcept {
    return liveObjects.load(std::memory_order_acquire) != 0 ||
           locks.load(std::memory_order_acquire) != 0;
}

extern "C" {

HRESULT DllGetClassObject(const CLSID& clsid, const IID& riid, void** object) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return comExceptionBarrier(E_FAIL, [&] {
        const ComServerClass& served = comServerClass();
        if (clsid != served.registration.clsid || served.getClassFactory == nullptr) {
            return CLASS_E_CLASSNOTAVAILABLE;
        }
        return served.getClassFactory(riid, object);
    });
}

HRESULT DllCanUnloadNow() noexcept {
    if (comModuleInUse()) {
        return S_FALSE;
    }
    return comExceptionBarrier(S_FALSE, [] {
        const auto busy = comServerClass().busy;
        return busy != nullptr && busy() ? S_FALSE : S_OK;
    });
}

HRESULT DllRegisterServer() noexcept {
    return comExceptionBarrier(SELFREG_E_CLASS, [] {
        const auto module = comModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
        return module ? registerComClass(comServerClass().registration, *module) : SELFREG_E_CLASS;
    });
}

HRESULT DllUnregisterServer() noexcept {
    return comExceptionBarrier(SELFREG_E_CLASS,
                               [] { return unregisterComClass(comServerClass().registration); });
}

} // extern "C"
