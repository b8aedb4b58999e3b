// Registers the fake card control in the registry below CORVANTIX_ROOT, for
// tests that set up a sandbox from outside a test program.
//   fake_tavelo_register [--unregister] [<library>]
// The library defaults to the fake control as built. Exit code 0 on success.

#include "tests/adapter/FakeTavelo.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    bool unregister = false;
    std::filesystem::path library = fake_tavelo::libraryPath();
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--unregister") {
            unregister = true;
        } else {
            library = argument;
        }
    }
    if (std::getenv("CORVANTIX_ROOT") == nullptr) {
        std::fprintf(stderr, "fake_tavelo_register: CORVANTIX_ROOT is not set\n");
        return 2;
    }
    const HRESULT hr = unregister ? fake_tavelo::unregisterControl(library)
                                  : fake_tavelo::registerControl(library);
    if (FAILED(hr)) {
        std::fprintf(stderr, "fake_tavelo_register: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    return 0;
}
