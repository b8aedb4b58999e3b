#include "platform/com/ComRegistration.h"

#include "platform/registry/Registry.h"

#include <dlfcn.h>

namespace {

using platform::registrySetString;

LSTATUS createKey(const std::string& path) {
    HKEY key = nullptr;
    const LSTATUS rc = RegCreateKeyEx(HKEY_CLASSES_ROOT, path.c_str(), &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return rc;
}

// Writes a ProgID key: its description and the class it names.
LSTATUS writeProgId(const ComClassRegistration& entry, const std::string& progId,
                    const std::string& clsid) {
    if (const LSTATUS rc = registrySetString(HKEY_CLASSES_ROOT, progId, "", entry.description);
        rc != ERROR_SUCCESS) {
        return rc;
    }
    return registrySetString(HKEY_CLASSES_ROOT, progId + "\\CLSID", "", clsid);
}

LSTATUS writeTypeLibrary(const ComTypeLibRegistration& lib, const std::filesystem::path& module) {
    const std::string libid = guidToString(lib.libid);
    const std::string versionKey = "TypeLib\\" + libid + "\\" + lib.version;
    LSTATUS rc = ERROR_SUCCESS;
    const auto set = [&rc](const std::string& key, const std::string& value) {
        if (rc == ERROR_SUCCESS) {
            rc = registrySetString(HKEY_CLASSES_ROOT, key, "", value);
        }
    };
    set(versionKey, lib.helpString);
    set(versionKey + "\\0\\win32", module.string());
    set(versionKey + "\\FLAGS", "0");
    set(versionKey + "\\HELPDIR", module.parent_path().string());
    for (const ComTypeLibInterface& i : lib.interfaces) {
        const std::string key = "Interface\\" + guidToString(i.iid);
        set(key, i.name);
        set(key + "\\ProxyStubClsid", guidToString(CLSID_PSOAInterface));
        set(key + "\\ProxyStubClsid32", guidToString(CLSID_PSOAInterface));
        set(key + "\\TypeLib", libid);
        if (rc == ERROR_SUCCESS) {
            rc = registrySetString(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", lib.version);
        }
    }
    return rc;
}

LSTATUS writeAll(const ComClassRegistration& entry, const std::filesystem::path& module) {
    const std::string clsid = guidToString(entry.clsid);
    const std::string classKey = "CLSID\\" + clsid;
    const std::string modulePath = module.string();
    LSTATUS rc = ERROR_SUCCESS;
    const auto set = [&rc](const std::string& key, const std::string& name,
                           const std::string& value) {
        if (rc == ERROR_SUCCESS) {
            rc = registrySetString(HKEY_CLASSES_ROOT, key, name, value);
        }
    };
    const auto create = [&rc](const std::string& key) {
        if (rc == ERROR_SUCCESS) {
            rc = createKey(key);
        }
    };

    if (entry.appId) {
        const std::string appId = guidToString(*entry.appId);
        set("AppID\\" + appId, "", entry.appIdName);
        set("AppID\\" +
                (entry.appIdModuleKey.empty() ? module.filename().string() : entry.appIdModuleKey),
            "AppID", appId);
    }
    if (!entry.progId.empty() && rc == ERROR_SUCCESS) {
        rc = writeProgId(entry, entry.progId, clsid);
    }
    if (!entry.versionIndependentProgId.empty()) {
        if (rc == ERROR_SUCCESS) {
            rc = writeProgId(entry, entry.versionIndependentProgId, clsid);
        }
        if (!entry.progId.empty()) {
            set(entry.versionIndependentProgId + "\\CurVer", "", entry.progId);
        }
    }

    set(classKey, "", entry.description);
    if (!entry.progId.empty()) {
        set(classKey + "\\ProgID", "", entry.progId);
    }
    if (!entry.versionIndependentProgId.empty()) {
        set(classKey + "\\VersionIndependentProgID", "", entry.versionIndependentProgId);
    }
    if (entry.programmable) {
        create(classKey + "\\Programmable");
    }
    set(classKey + "\\InprocServer32", "", modulePath);
    set(classKey + "\\InprocServer32", "ThreadingModel", entry.threadingModel);
    if (entry.appId) {
        set(classKey, "AppID", guidToString(*entry.appId));
    }
    if (entry.control) {
        create(classKey + "\\Control");
    }
    if (entry.toolboxBitmap) {
        set(classKey + "\\ToolboxBitmap32", "",
            modulePath + ", " + std::to_string(*entry.toolboxBitmap));
    }
    if (entry.miscStatus) {
        set(classKey + "\\MiscStatus", "", "0");
        set(classKey + "\\MiscStatus\\1", "", std::to_string(*entry.miscStatus));
    }
    if (entry.typeLib) {
        set(classKey + "\\TypeLib", "", guidToString(*entry.typeLib));
    }
    if (!entry.version.empty()) {
        set(classKey + "\\Version", "", entry.version);
    }
    if (entry.typeLibrary && rc == ERROR_SUCCESS) {
        rc = writeTypeLibrary(*entry.typeLibrary, module);
    }
    return rc;
}

bool deleted(LSTATUS rc) {
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

} // namespace

HRESULT registerComClass(const ComClassRegistration& entry, const std::filesystem::path& module) {
    if (module.empty()) {
        return E_INVALIDARG;
    }
    return writeAll(entry, module) == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT unregisterComClass(const ComClassRegistration& entry) {
    bool ok =
        deleted(RegDeleteTree(HKEY_CLASSES_ROOT, ("CLSID\\" + guidToString(entry.clsid)).c_str()));
    for (const std::string& progId : {entry.progId, entry.versionIndependentProgId}) {
        if (!progId.empty()) {
            ok = deleted(RegDeleteTree(HKEY_CLASSES_ROOT, progId.c_str())) && ok;
        }
    }
    if (entry.typeLibrary) {
        const ComTypeLibRegistration& lib = *entry.typeLibrary;
        for (const ComTypeLibInterface& i : lib.interfaces) {
            ok = deleted(RegDeleteTree(HKEY_CLASSES_ROOT,
                                       ("Interface\\" + guidToString(i.iid)).c_str())) &&
                 ok;
        }
        const std::string libKey = "TypeLib\\" + guidToString(lib.libid);
        ok = deleted(RegDeleteTree(HKEY_CLASSES_ROOT, (libKey + "\\" + lib.version).c_str())) && ok;
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_CLASSES_ROOT, libKey.c_str(), &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            if (platform::registrySubKeys(HKEY_CLASSES_ROOT, libKey).empty()) {
                ok = deleted(RegDeleteTree(HKEY_CLASSES_ROOT, libKey.c_str())) && ok;
            }
        }
    }
    return ok ? S_OK : SELFREG_E_CLASS;
}

std::optional<std::filesystem::path> comModulePath(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr ||
        *info.dli_fname == '\0') {
        return std::nullopt;
    }
    std::error_code ec;
    auto path = std::filesystem::absolute(info.dli_fname, ec);
    if (ec) {
        return std::nullopt;
    }
    return path.lexically_normal();
}
