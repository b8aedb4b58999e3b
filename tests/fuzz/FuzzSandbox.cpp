#include "tests/fuzz/FuzzSandbox.h"

#include "common/Tool.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::filesystem::path root;

void removeRoot() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

} // namespace

void enterFuzzSandbox() {
    if (!root.empty()) {
        return;
    }
    char pattern[] = "/tmp/cvx-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::abort();
    }
    root = pattern;
    std::atexit(removeRoot);
    setenv("CORVANTIX_ROOT", pattern, 1);
    std::filesystem::create_directories(root / "Windows");
    // Level 1: the writers are on, every line they compose is dropped.
    std::ofstream(root / "Windows" / "VondelCorvantix.ini")
        << "[VondelCorvantix]\nLog File=" << (root / "fuzz.log").string() << "\nLog Level=1\n";
    if (!setLog("Fuzz")) {
        std::abort();
    }
}
