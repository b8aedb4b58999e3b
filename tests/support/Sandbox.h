#pragma once

// A private folder for one test: CORVANTIX_ROOT points into it for the test's
// lifetime, so every well-known folder, lock file and log lands inside.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace testing_support {

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // Writes text to a path below the root, making its folders.
    std::filesystem::path write(const std::filesystem::path& relative, std::string_view text) const;
    static std::string read(const std::filesystem::path& path);

private:
    std::filesystem::path root_;
};

// Held while a test or benchmark uses the service's fixed ports, so runs in
// separate processes (two builds' test runs at once) take them in turn.
class ServicePortsLock {
public:
    ServicePortsLock();
    ~ServicePortsLock();
    ServicePortsLock(const ServicePortsLock&) = delete;
    ServicePortsLock& operator=(const ServicePortsLock&) = delete;

private:
    int fd_;
};

// Starts a program (looked up on PATH when the name has no "/"), its output
// on /dev/null when quiet; the pid, or -1.
pid_t startProgram(const std::vector<std::string>& argv, bool quiet = false);
// Runs a program to its end; its exit code, or -1 when it did not exit.
int runProgram(const std::vector<std::string>& argv);

struct ProgramRun {
    int exitCode = -1;
    std::string out; // what it wrote on standard output
};
// Runs a program to its end and keeps its standard output.
ProgramRun runProgramCapture(const std::vector<std::string>& argv);

// Forks a child that runs take() and, once that answers true, lives on until
// it is killed, keeping whatever take() left open or held; the child's pid,
// or -1 (the child then gone).
pid_t holdInChild(const std::function<bool()>& take);

// Another local account, one no user of the machine has: what it plants is
// not the user's. runAsStranger runs a shell script as it (setpriv, which
// needs root); the script's exit code, or -1.
inline constexpr uid_t kStrangerUid = 12345;
int runAsStranger(const std::string& script);

// A helper program built beside the tests.
std::filesystem::path helperProgram(std::string_view name);

// Today's date as the logs name their files: YYYYMMDD, local time.
std::string today();

} // namespace testing_support
