#pragma once

// The registry entries an in-process server's DllRegisterServer writes for
// one creatable class, and their removal for DllUnregisterServer.

#include "platform/com/Com.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A type library's entries: HKCR\TypeLib\{libid}\<version> and its
// interfaces under HKCR\Interface, marshalled as automation interfaces.
struct ComTypeLibInterface {
    IID iid;
    std::string name;
};
struct ComTypeLibRegistration {
    GUID libid;
    std::string version; // "1.0"
    std::string helpString;
    std::vector<ComTypeLibInterface> interfaces;
};

struct ComClassRegistration {
    CLSID clsid;
    std::string description;              // default value of the class and ProgID keys
    std::string progId;                   // with version, e.g. "Maker.Thing.1"; empty for none
    std::string versionIndependentProgId; // e.g. "Maker.Thing"; empty for none
    std::string threadingModel = "Apartment";
    std::optional<GUID> appId;
    std::string appIdName; // default value of AppID\{appId}
    // The key AppID\<name> that names the application's module; empty for the
    // module's own file name.
    std::string appIdModuleKey;
    std::optional<GUID> typeLib;
    std::string version; // written as the class's Version key when not empty
    bool programmable = false;
    bool control = false;
    // OLEMISC bits of a control, written as MiscStatus = "0" with "1" = the bits.
    std::optional<std::uint32_t> miscStatus;
    // Bitmap resource number for ToolboxBitmap32 = "<module>, <number>".
    std::optional<int> toolboxBitmap;
    // The type library the module holds, registered with the class.
    std::optional<ComTypeLibRegistration> typeLibrary;
};

// HKEY_CLASSES_ROOT entries for the class with module as its InprocServer32;
// SELFREG_E_CLASS when a write fails.
CORVANTIX_COM_API HRESULT registerComClass(const ComClassRegistration& entry,
                                           const std::filesystem::path& module);
// Removes the class key, the ProgID keys and the type library's version key
// and interface keys (the library's key too once no version is left); the
// AppID entries stay, as other classes of the same application may share
// them. Entries already missing are no failure.
CORVANTIX_COM_API HRESULT unregisterComClass(const ComClassRegistration& entry);

// The path of the loaded library that holds an address (a server passes one
// of its own functions).
CORVANTIX_COM_API std::optional<std::filesystem::path> comModulePath(const void* address);
