#pragma once

// The real worker in a logged sandbox: its program folder holds the worker,
// the fake monitor and the fake service under their programs' names, so that
// what the worker starts, instructs or ends is a stand-in that records it.

#include "tests/monitor/KeeperTestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace worker_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct WorkerRun {
    int status = -1; // the exit status, or -1 when it did not end in time
    std::chrono::milliseconds took{0};
};

// One line of the fake monitor's record.
struct MonitorEvent {
    pid_t pid = 0;
    std::string what; // "started" or an instruction
};

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class WorkerSandbox : public keeper_test::ProgramSandbox {
public:
    WorkerSandbox() {
        worker = install(WORKER_PROGRAM, "VondelCorvantixWorker");
        install(FAKE_MONITOR, "VondelCorvantixMonitor");
        install(FAKE_SERVICE, "VondelCorvantix");
    }
    ~WorkerSandbox() {
        endAll();
        for (const pid_t pid : started_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    WorkerSandbox(const WorkerSandbox&) = delete;
    WorkerSandbox& operator=(const WorkerSandbox&) = delete;

    // Starts the worker with the arguments in the folder (the sandbox root
    // when none is given); it is ended with the sandbox.
    pid_t startWorker(const std::vector<std::string>& arguments, const fs::path& folder = {}) {
        std::vector<std::string> argv{worker.string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir((folder.empty() ? box.root() : folder).c_str()) != 0 ||
                std::freopen("/dev/null", "w", stdout) == nullptr ||
                std::freopen("/dev/null", "w", stderr) == nullptr) {
                _exit(126);
            }
            std::vector<char*> words;
            for (auto& word : argv) {
                words.push_back(word.data());
            }
            words.push_back(nullptr);
            execv(words[0], words.data());
            _exit(127);
        }
        started_.push_back(pid);
        return pid;
    }

    // The worker's exit status once it ends (-1 when it runs on past the limit).
    static int exitStatus(pid_t pid, std::chrono::milliseconds limit = 20s) {
        const auto status = keeper_test::waitStatus(pid, limit);
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    WorkerRun run(const std::vector<std::string>& arguments, const fs::path& folder = {},
                  std::chrono::milliseconds limit = 20s) {
        const auto began = std::chrono::steady_clock::now();
        WorkerRun result;
        result.status = exitStatus(startWorker(arguments, folder), limit);
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        return result;
    }

    // Starts the fake monitor and waits until it holds its mutex and window.
    pid_t startMonitor() {
        const pid_t pid = start({(programFolder() / "VondelCorvantixMonitor").string()});
        waitFor([&] { return hasEvent(pid, "started"); }, 5s);
        return pid;
    }

    std::vector<MonitorEvent> monitorRecord() const {
        std::istringstream in(testing_support::Sandbox::read(box.root() / "monitor-record.txt"));
        std::vector<MonitorEvent> events;
        for (std::string line; std::getline(in, line);) {
            const auto blank = line.find(' ');
            if (blank != std::string::npos) {
                events.push_back({std::stoi(line.substr(0, blank)), line.substr(blank + 1)});
            }
        }
        return events;
    }

    bool hasEvent(pid_t pid, const std::string& what) const {
        for (const auto& event : monitorRecord()) {
            if (event.pid == pid && event.what == what) {
                return true;
            }
        }
        return false;
    }

    // Monitors started other than the ones given.
    std::vector<pid_t> monitorsStartedBesides(const std::vector<pid_t>& known) const {
        std::vector<pid_t> others;
        for (const auto& event : monitorRecord()) {
            if (event.what == "started" &&
                std::find(known.begin(), known.end(), event.pid) == known.end()) {
                others.push_back(event.pid);
            }
        }
        return others;
    }

    // Live workers of the sandbox whose first argument is the option.
    static std::vector<pid_t> workersWith(const std::string& option) {
        std::vector<pid_t> pids;
        for (const pid_t pid : processesNamed("VondelCorvantixWorker")) {
            const auto words = keeper_test::commandLine(pid);
            if (words.size() > 1 && words[1] == option) {
                pids.push_back(pid);
            }
        }
        return pids;
    }

    // The log identities ("[CorvantixWorker-<id>]") of the workers whose
    // command was exactly this text, in the order they started.
    std::vector<std::string> identitiesOf(const std::string& command) const {
        const std::string mark = "[Normal] Command: " + command;
        std::vector<std::string> identities;
        for (const auto& line : allLines()) {
            const auto at = line.find(mark);
            if (at != std::string::npos && line.size() == at + mark.size()) {
                const auto open = line.rfind("[CorvantixWorker-", at);
                if (open != std::string::npos) {
                    identities.push_back(line.substr(open, at - open));
                }
            }
        }
        return identities;
    }

    std::vector<std::string> linesOf(const std::string& identity) const {
        std::vector<std::string> mine;
        for (const auto& line : allLines()) {
            if (line.find(identity) != std::string::npos) {
                mine.push_back(line);
            }
        }
        return mine;
    }

    fs::path worker;

private:
    std::vector<pid_t> started_;
};

} // namespace worker_test
