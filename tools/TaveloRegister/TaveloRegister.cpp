// Registers the card control (VondelTavelo.so) as the server of its class,
// or removes that registration, as the product's installer does:
//   TaveloRegister [--unregister] [<library>]
// The library defaults to VondelTavelo.so beside this program. The registry
// is the one below CORVANTIX_ROOT. Exit code 0 on success.

#include "platform/com/Com.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

std::filesystem::path besideProgram() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("VondelTavelo.so") : self.parent_path() / "VondelTavelo.so";
}

} // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    std::filesystem::path library = besideProgram();
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--unregister" || argument == "/u" || argument == "-u") {
            unregister = true;
        } else if (argument == "--help" || argument == "-h") {
            std::printf("usage: %s [--unregister] [<library>]\n", argv[0]);
            return 0;
        } else {
            library = argument;
        }
    }
    std::error_code ec;
    library = std::filesystem::absolute(library, ec);
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "TaveloRegister: cannot load %s: %s\n", library.c_str(), dlerror());
        return 2;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const auto function = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, entry));
    if (function == nullptr) {
        std::fprintf(stderr, "TaveloRegister: %s has no %s\n", library.c_str(), entry);
        dlclose(handle);
        return 2;
    }
    const HRESULT hr = function();
    dlclose(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "TaveloRegister: %s failed: 0x%08X\n", entry,
                     static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("TaveloRegister: %s %s\n", unregister ? "unregistered" : "registered",
                library.c_str());
    return 0;
}
