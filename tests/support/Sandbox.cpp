#include "tests/support/Sandbox.h"

#include "common/QxLog.h"
#include "common/ToolLog.h"
#include "platform/osversion/OsVersion.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

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

ServicePortsLock::ServicePortsLock()
    : fd_(open("/tmp/corvantix-test-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

ServicePortsLock::~ServicePortsLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

pid_t startProgram(const std::vector<std::string>& argv, bool quiet) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> words;
        for (const auto& w : argv) {
            words.push_back(const_cast<char*>(w.c_str()));
        }
        words.push_back(nullptr);
        if (quiet) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
        }
        execvp(words[0], words.data());
        _exit(127);
    }
    return pid;
}

int runProgram(const std::vector<std::string>& argv) {
    const pid_t pid = startProgram(argv);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

ProgramRun runProgramCapture(const std::vector<std::string>& argv) {
    int out[2];
    if (argv.empty() || pipe(out) != 0) {
        return {};
    }
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> words;
        for (const auto& w : argv) {
            words.push_back(const_cast<char*>(w.c_str()));
        }
        words.push_back(nullptr);
        execvp(words[0], words.data());
        _exit(127);
    }
    close(out[1]);
    ProgramRun run;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        run.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    return run;
}

pid_t holdInChild(const std::function<bool()>& take) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        const char ok = take() ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        if (ok != '1') {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char ok = '0';
    (void)!read(ready[0], &ok, 1);
    close(ready[0]);
    if (pid > 0 && ok != '1') {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

int runAsStranger(const std::string& script) {
    const std::string id = std::to_string(kStrangerUid);
    return runProgram(
        {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--", "sh", "-c", script});
}

std::filesystem::path helperProgram(std::string_view name) {
    return std::filesystem::path(CORVANTIX_TEST_BIN_DIR) / std::string(name);
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &t);
    return text;
}

} // namespace testing_support
