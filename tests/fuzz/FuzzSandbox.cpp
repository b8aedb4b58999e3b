#include "tests/fuzz/FuzzSandbox.h"

#include "common/QxLog.h"
#include "common/ToolLog.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// AddressSanitizer's default quarantine (256 MB) makes the peak RSS climb to
// half a gigabyte in every target; an input's freed memory is reused within
// microseconds, so a small quarantine still catches use after free. Options
// in ASAN_OPTIONS come after these and win.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

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
    // The settings are read from a file once; from the first line on, the
    // lines go to memory.
    std::ofstream(root / "Windows" / "VondelCorvantix.ini")
        << "[VondelCorvantix]\nLog File=" << (root / "fuzz.log").string() << "\nLog Level=5\n";
    logSetMemoryTarget(true);
    if (!setLog("Fuzz") || logMemoryLines().empty() || std::filesystem::exists(root / "fuzz.log")) {
        std::abort();
    }
}
