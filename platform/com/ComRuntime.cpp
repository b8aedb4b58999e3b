#include "platform/com/Com.h"

#include "platform/folders/Folders.h"
#include "platform/registry/Registry.h"
#include "platform/text/TextCodec.h"

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>

namespace {

thread_local std::uint32_t initialisations = 0;
thread_local std::string lastLoadError;
std::atomic<int> initialisedThreads{0};

struct Server {
    void* handle = nullptr;
    DllGetClassObjectFunction getClassObject = nullptr;
    DllCanUnloadNowFunction canUnloadNow = nullptr;
};

// Loaded servers by path. Held while a server is loaded, asked for its
// factory or unloaded, so no server goes away under a creation in progress;
// recursive for a server whose factory creates other objects.
std::recursive_mutex& serverMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

std::map<std::string, Server>& servers() {
    static std::map<std::string, Server> loaded;
    return loaded;
}

HRESULT loadServer(const std::filesystem::path& path, Server& out) {
    auto& loaded = servers();
    if (const auto it = loaded.find(path.string()); it != loaded.end()) {
        out = it->second;
        return S_OK;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        lastLoadError = path.string() + ": no such library";
        return HRESULT_MOD_NOT_FOUND;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        lastLoadError = error != nullptr ? error : path.string();
        return CO_E_ERRORINDLL;
    }
    Server server;
    server.handle = handle;
    server.getClassObject =
        reinterpret_cast<DllGetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
    server.canUnloadNow =
        reinterpret_cast<DllCanUnloadNowFunction>(dlsym(handle, "DllCanUnloadNow"));
    if (server.getClassObject == nullptr) {
        lastLoadError = path.string() + ": no DllGetClassObject";
        dlclose(handle);
        return CO_E_ERRORINDLL;
    }
    loaded.emplace(path.string(), server);
    out = server;
    return S_OK;
}

} // namespace

std::string guidToString(const GUID& guid) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string comLastLoadError() {
    return lastLoadError;
}

extern "C" {

HRESULT CoInitialize(void* /*reserved*/) {
    if (initialisations++ > 0) {
        return S_FALSE;
    }
    ++initialisedThreads;
    return S_OK;
}

void CoUninitialize() {
    if (initialisations == 0) {
        return;
    }
    if (--initialisations == 0 && --initialisedThreads == 0) {
        CoFreeUnusedLibraries();
    }
}

void CoFreeUnusedLibraries() {
    std::lock_guard lock(serverMutex());
    auto& loaded = servers();
    for (auto it = loaded.begin(); it != loaded.end();) {
        const Server& server = it->second;
        if (server.canUnloadNow != nullptr && server.canUnloadNow() == S_OK) {
            dlclose(server.handle);
            it = loaded.erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, std::uint32_t context,
                         const IID& riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (initialisations == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if ((context & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    const auto path = platform::registryString(
        HKEY_CLASSES_ROOT, "CLSID\\" + guidToString(clsid) + "\\InprocServer32", "");
    if (!path || path->empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    ComPtr<IClassFactory> factory;
    {
        std::lock_guard lock(serverMutex());
        Server server;
        if (const HRESULT hr = loadServer(platform::nativePath(*path), server); FAILED(hr)) {
            return hr;
        }
        if (const HRESULT hr = server.getClassObject(clsid, IID_IClassFactory, factory.receive());
            FAILED(hr)) {
            return hr;
        }
    }
    if (!factory) {
        return E_FAIL;
    }
    if (outer != nullptr) {
        // Aggregation: the outer object needs the inner IUnknown itself.
        return factory->CreateInstance(outer, riid, object);
    }
    ComPtr<IUnknown> unknown;
    if (const HRESULT hr = factory->CreateInstance(nullptr, IID_IUnknown, unknown.receive());
        FAILED(hr)) {
        return hr;
    }
    if (!unknown) {
        return E_FAIL;
    }
    return unknown->QueryInterface(riid, object);
}

HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    const std::string name = platform::utf16ToUtf8(progId);
    if (name.empty()) {
        return CO_E_CLASSSTRING;
    }
    const auto text = platform::registryString(HKEY_CLASSES_ROOT, name + "\\CLSID", "");
    const auto guid = text ? parseGuid(*text) : std::nullopt;
    if (!guid) {
        return CO_E_CLASSSTRING;
    }
    *clsid = *guid;
    return S_OK;
}

HRESULT OleRun(IUnknown* object) {
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    ComPtr<IUnknown> unknown;
    return object->QueryInterface(IID_IUnknown, unknown.receive());
}

} // extern "C"
