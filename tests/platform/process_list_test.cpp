// Processes by name: what the list holds and how names compare, the signal
// by name, and the task-kill command done natively.

#include "platform/process/ProcessList.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::NameCase;

struct NameRow {
    const char* process;
    const char* wanted;
    NameCase nameCase;
    bool matches;
};

TEST(ProgramName, ComparesWithoutExeAndInTheAskedCase) {
    const NameRow rows[] = {
        {"VondelCorvantix", "VondelCorvantix.exe", NameCase::Exact, true},
        {"VondelCorvantix.exe", "VondelCorvantix", NameCase::Exact, true},
        {"vondelCORVANTIX", "VondelCorvantix.exe", NameCase::Exact, false},
        {"vondelCORVANTIX", "VondelCorvantix.exe", NameCase::Ignore, true},
        {"VondelCorvantixMonitor", "VondelCorvantix.exe", NameCase::Ignore, false},
        {"VondelCorvantix", "VondelCorvantixMonitor.exe", NameCase::Ignore, false},
        {"Au_", "Au_.exe", NameCase::Exact, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(platform::programNameMatches(row.process, row.wanted, row.nameCase), row.matches)
            << row.process << " / " << row.wanted;
    }
}

class ProcessList : public ::testing::Test {
protected:
    ~ProcessList() override {
        for (const pid_t pid : started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // A copy of sleep under the name, started in the sandbox.
    pid_t startSleeper(const std::string& name) {
        const auto program = box.root() / name;
        fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
        const pid_t pid = testing_support::startProgram({program.string(), "30"}, true);
        started.push_back(pid);
        for (int i = 0; i < 500 && !listed(pid); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return pid;
    }

    static std::optional<std::string> listed(pid_t pid) {
        for (const auto& entry :
             platform::listProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
            if (entry.pid == pid) {
                return entry.name;
            }
        }
        return std::nullopt;
    }

    static bool endedBy(pid_t pid, int signal) {
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return WIFSIGNALED(status) && WTERMSIG(status) == signal;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    testing_support::Sandbox box;
    std::vector<pid_t> started;
};

TEST_F(ProcessList, NamesAProcessByItsProgramFileEvenWhenDeleted) {
    const pid_t pid = startSleeper("Sleeper");
    EXPECT_EQ(listed(pid), "Sleeper");
    fs::remove(box.root() / "Sleeper");
    EXPECT_EQ(listed(pid), "Sleeper");
}

TEST_F(ProcessList, LeavesOutZombiesAndOtherSandboxes) {
    const pid_t zombie = startSleeper("Zombie");
    ASSERT_TRUE(listed(zombie));
    kill(zombie, SIGKILL);
    std::this_thread::sleep_for(100ms); // ended, not reaped
    EXPECT_FALSE(listed(zombie));

    const pid_t outside = fork();
    if (outside == 0) {
        setenv("CORVANTIX_ROOT", "/tmp/cvx-elsewhere", 1);
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    started.push_back(outside);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(listed(outside));
}

TEST_F(ProcessList, SignalsByNameInTheAskedCase) {
    const pid_t pid = startSleeper("Sleeper");
    EXPECT_EQ(platform::signalProcessesByName("sleeper.exe", NameCase::Exact, SIGKILL), 0);
    EXPECT_EQ(platform::signalProcessesByName("sleeper.exe", NameCase::Ignore, SIGKILL), 1);
    EXPECT_TRUE(endedBy(pid, SIGKILL));
}

TEST_F(ProcessList, TaskKillIsDoneNatively) {
    EXPECT_FALSE(platform::runNativeCommand({"VondelCorvantix.exe", "0"}));
    EXPECT_EQ(platform::runNativeCommand({"taskkill", "/F", "/im"}), 1);
    EXPECT_EQ(platform::runNativeCommand({"taskkill", "/X", "/im", "a.exe"}), 1);

    const pid_t forced = startSleeper("Sleeper");
    EXPECT_EQ(platform::runNativeCommand({"taskkill", "/F", "/im", "SLEEPER.exe", "/F"}), 0);
    EXPECT_TRUE(endedBy(forced, SIGKILL));
    EXPECT_EQ(platform::runNativeCommand({"TASKKILL", "/F", "/IM", "Sleeper.exe"}), 128);

    const pid_t asked = startSleeper("Sleeper");
    EXPECT_EQ(platform::runNativeCommand({"taskkill", "/im", "Sleeper.exe"}), 0);
    EXPECT_TRUE(endedBy(asked, SIGTERM));
}

} // namespace
