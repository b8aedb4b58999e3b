#include "tests/support/Sandbox.h"

#include "common/QxLog.h"
#include "common/Tool.h"
#include "platform/osversion/OsVersion.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

Sandbox::Sandbox() {
    // Short on purpose: log file names are bounded in length.
    char pattern[] = "/tmp/cvx-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    setenv("CORVANTIX_ROOT", root_.c_str(), 1);
    unsetenv("CORVANTIX_OSVERSION");
    platform::setOsVersionRecord(std::nullopt);
    resetLogForTest();
}

Sandbox::~Sandbox() {
    resetLogForTest();
    unsetenv("CORVANTIX_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::filesystem::path Sandbox::write(const std::filesystem::path& relative,
                                     std::string_view text) const {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string Sandbox::read(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::filesystem::path helperProgram(std::string_view name) {
    return std::filesystem::path(CORVANTIX_TEST_BIN_DIR) / std::string(name);
}

} // namespace testing_support
