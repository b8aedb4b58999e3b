#pragma once

// What an in-process server library is built from: reference-counted objects
// that answer a list of interfaces, their class factory, the library's count
// of live objects and locks, and the four exports the run time looks up by
// name. A server links the corvantix_com_server objects (CMake:
// corvantix_com_server(<target>)), defines comServerClass() and writes none
// of the exports itself.
//
//   class Thing : public IThing, public IOther { ... IThing's and IOther's methods ... };
//   using ThingObject = ComObject<Thing, ComInterface<IThing, IID_IThing>,
//                                 ComInterface<IDispatch, IID_IDispatch, IThing>,
//                                 ComInterface<IOther, IID_IOther>>;
//   const ComServerClass& comServerClass() {
//       static const ComServerClass served{registration(), &comGetClassFactory<ThingObject>};
//       return served;
//   }

#include "platform/com/Com.h"
#include "platform/com/ComRegistration.h"

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

// ---- The library's count ---------------------------------------------------
//
// Compiled into each server, so every library counts its own objects (class
// factories included) and LockServer locks.

void comModuleObjectCreated() noexcept;
void comModuleObjectDestroyed() noexcept;
// An unlock without a lock is ignored: a stray one neither pins the library
// nor cancels a later lock.
void comModuleLock(bool lock) noexcept;
// Whether an object lives or a lock is held: DllCanUnloadNow's answer.
bool comModuleInUse() noexcept;

// Runs body; an exception that would leave a COM method or export becomes
// E_OUTOFMEMORY (out of memory) or fallback.
template <class Body>
HRESULT comExceptionBarrier(HRESULT fallback, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return fallback;
    }
}

// ---- Objects ---------------------------------------------------------------

// One interface an object answers: riid Id gives the object as Interface,
// reached through its base Via (a base interface such as IDispatch is
// answered through the interface that derives from it).
template <class Interface, const IID& Id, class Via = Interface>
struct ComInterface {
    static_assert(std::is_base_of_v<IUnknown, Interface>);
    static_assert(std::is_base_of_v<Interface, Via>);

    template <class Object>
    static Interface* from(Object* object) noexcept {
        return static_cast<Interface*>(static_cast<Via*>(object));
    }
    static bool answers(const IID& riid) noexcept { return riid == Id; }
};

namespace com_detail {

// Counts the object in the library for exactly its lifetime: a base made
// before the implementation and gone after it.
struct ModuleObject {
    ModuleObject() noexcept { comModuleObjectCreated(); }
    ~ModuleObject() { comModuleObjectDestroyed(); }
    ModuleObject(const ModuleObject&) = delete;
    ModuleObject& operator=(const ModuleObject&) = delete;
};

} // namespace com_detail

// An Implementation (deriving from its interfaces, their methods written,
// IUnknown's left out) made a COM object: QueryInterface answers IID_IUnknown
// (always through the first entry, so every interface gives one identity) and
// each entry's identifier; the count starts at 1 for the creator and the
// object deletes itself at 0. Create with new, free with Release.
template <class Implementation, class First, class... Rest>
class ComObject final : private com_detail::ModuleObject, public Implementation {
public:
    template <class... Args>
    explicit ComObject(Args&&... args) : Implementation(std::forward<Args>(args)...) {}
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(const IID& riid, void** object) noexcept override {
        if (object == nullptr) {
            return E_POINTER;
        }
        void* const found = riid == IID_IUnknown ? static_cast<IUnknown*>(First::from(this))
                                                 : find<First, Rest...>(riid);
        *object = found;
        if (found == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    std::uint32_t AddRef() noexcept override {
        return references_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    std::uint32_t Release() noexcept override {
        const std::uint32_t left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    ~ComObject() = default;

    // The entry's own interface pointer, as the caller of that interface expects it.
    template <class Entry, class... More>
    void* find(const IID& riid) noexcept {
        if (Entry::answers(riid)) {
            return Entry::from(this);
        }
        if constexpr (sizeof...(More) > 0) {
            return find<More...>(riid);
        } else {
            return nullptr;
        }
    }

    std::atomic<std::uint32_t> references_{1};
};

// Makes an Object and queries it for riid; the object is gone again when the
// query fails. An exception from its constructor becomes a result code.
template <class Object, class... Args>
HRESULT comCreateObject(const IID& riid, void** object, Args&&... args) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return comExceptionBarrier(E_FAIL, [&] {
        auto* created = new Object(std::forward<Args>(args)...);
        const HRESULT hr = created->QueryInterface(riid, object);
        created->Release();
        return hr;
    });
}

// ---- Class factories -------------------------------------------------------

// Makes objects of one class, never aggregated.
template <class Object>
class ComClassFactory : public IClassFactory {
public:
    HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** object) noexcept override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return comCreateObject<Object>(riid, object);
    }
    HRESULT LockServer(std::int32_t lock) noexcept override {
        comModuleLock(lock != 0);
        return S_OK;
    }

protected:
    ComClassFactory() = default;
    ~ComClassFactory() = default;
};

// A new class factory for Object, queried for riid.
template <class Object>
HRESULT comGetClassFactory(const IID& riid, void** object) noexcept {
    return comCreateObject<
        ComObject<ComClassFactory<Object>, ComInterface<IClassFactory, IID_IClassFactory>>>(riid,
                                                                                            object);
}

// ---- The server ------------------------------------------------------------

// The one class a server library serves.
struct ComServerClass {
    // Written by DllRegisterServer; its clsid is the class DllGetClassObject serves.
    ComClassRegistration registration;
    // Gives a new class factory (comGetClassFactory<Object>).
    HRESULT (*getClassFactory)(const IID& riid, void** object) noexcept = nullptr;
    // Whether the server still runs work of its own (threads) that pins the
    // library beside its objects and locks; none for a server without any.
    bool (*busy)() noexcept = nullptr;
};

// Defined by each server library.
const ComServerClass& comServerClass();

#define CORVANTIX_COM_SERVER_EXPORT __attribute__((visibility("default")))

// The exports, defined once for every server (ComServer.cpp). A server's
// version script keeps them its only exports.
extern "C" {
// A class factory for the served class; CLASS_E_CLASSNOTAVAILABLE for any other.
CORVANTIX_COM_SERVER_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& riid,
                                                      void** object) noexcept;
// S_OK when no object lives, no lock is held and the server is not busy,
// S_FALSE otherwise.
CORVANTIX_COM_SERVER_EXPORT HRESULT DllCanUnloadNow() noexcept;
// Writes (removes) the served class's registration, with this library as its server.
CORVANTIX_COM_SERVER_EXPORT HRESULT DllRegisterServer() noexcept;
CORVANTIX_COM_SERVER_EXPORT HRESULT DllUnregisterServer() noexcept;
}
