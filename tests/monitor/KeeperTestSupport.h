#pragma once

// What the keeper's and the kill sequence's tests share: a logged sandbox
// with a program folder, the fake service and helper programs copied into
// it, the service runs the fake recorded, and a clean end that kills every
// process still running in the sandbox.

#include "platform/process/ProcessList.h"
#include "tests/message/MessageTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace keeper_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Run {
    pid_t pid = 0;
    std::string argument;
};

struct SpawnOptions {
    std::map<std::string, std::string> environment; // set on top of this process's
    std::optional<uid_t> user;                      // run as this user (needs root)
};

// Starts a program with its output on /dev/null; the pid, or -1.
inline pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {}) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    for (const auto& [name, value] : options.environment) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (std::freopen("/dev/null", "w", stdout) == nullptr ||
        std::freopen("/dev/null", "w", stderr) == nullptr) {
        _exit(126);
    }
    if (options.user && (setgid(*options.user) != 0 || setuid(*options.user) != 0)) {
        _exit(125);
    }
    std::vector<char*> words;
    for (const auto& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    execv(words[0], words.data());
    _exit(127);
}

// The wait status of a child once it ends, or nullopt when it runs on.
inline std::optional<int> waitStatus(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// The words of a process's command line.
inline std::vector<std::string> commandLine(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(file, word, '\0');) {
        words.push_back(word);
    }
    return words;
}

class ProgramSandbox : public message_test::LoggedSandbox {
public:
    // The program folder's name below the sandbox.
    explicit ProgramSandbox(std::string folder = "Program") : folder_(std::move(folder)) {
        fs::create_directories(programFolder());
    }
    ~ProgramSandbox() { endAll(); }

    fs::path programFolder() const { return box.root() / folder_; }

    // Copies a program into the program folder under the name.
    fs::path install(const fs::path& program, const std::string& name) const {
        const auto target = programFolder() / name;
        fs::copy_file(program, target, fs::copy_options::overwrite_existing);
        return target;
    }

    void setServiceMode(const std::string& mode) const { box.write("service-mode.txt", mode); }

    std::vector<Run> runs() const {
        std::istringstream in(testing_support::Sandbox::read(box.root() / "service-runs.txt"));
        std::vector<Run> all;
        for (std::string line; std::getline(in, line);) {
            const auto blank = line.find(' ');
            if (blank != std::string::npos) {
                all.push_back({std::stoi(line.substr(0, blank)), line.substr(blank + 1)});
            }
        }
        return all;
    }

    bool waitForRuns(std::size_t count, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (runs().size() < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    std::vector<std::string> trayNotes() const {
        std::istringstream in(testing_support::Sandbox::read(box.root() / "tray.txt"));
        std::vector<std::string> notes;
        for (std::string line; std::getline(in, line);) {
            notes.push_back(line);
        }
        return notes;
    }

    // Starts a program of the sandbox; it is ended with the sandbox.
    pid_t start(const std::vector<std::string>& argv, const SpawnOptions& options = {}) {
        const pid_t pid = spawn(argv, options);
        children_.push_back(pid);
        return pid;
    }

    // The live processes of the sandbox whose name is exactly this.
    static std::vector<pid_t> processesNamed(std::string_view name) {
        std::vector<pid_t> pids;
        for (const auto& entry :
             platform::listProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
            if (entry.name == name) {
                pids.push_back(entry.pid);
            }
        }
        return pids;
    }

    // Kills every process that runs in the sandbox and reaps this test's children.
    void endAll() {
        for (const auto& entry :
             platform::listProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
            if (entry.pid != getpid()) {
                kill(entry.pid, SIGKILL);
            }
        }
        for (const pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        children_.clear();
    }

    // The whole log, for the message of a failed check.
    std::string logText() const {
        std::string text;
        for (const auto& line : allLines()) {
            text += line + "\n";
        }
        return text;
    }

    // Lines of the sandbox's log that hold the text.
    std::size_t countLines(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& line : allLines()) {
            n += line.find(text) != std::string::npos;
        }
        return n;
    }

private:
    std::string folder_;
    std::vector<pid_t> children_;
};

} // namespace keeper_test
