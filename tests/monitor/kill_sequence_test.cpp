// The monitor's kill sequence for the service and the process routines under
// it: the quit instruction, the forced end of the exact name, the task-kill
// command for the name in any letter case, and the limits of what is seen.

#include "common/Message.h"
#include "common/ToolLog.h"
#include "common/ToolProcess.h"
#include "monitor/Keeper.h"
#include "platform/window/MessageWindow.h"
#include "tests/monitor/KeeperTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace keeper_test;
using Clock = std::chrono::steady_clock;

constexpr char kOwnSuccess[] =
    "[VondelCorvantixMonitor.exe] VondelCorvantixMonitor.exe kill VondelCorvantix.exe success";
constexpr char kOwnFail[] =
    "[VondelCorvantixMonitor.exe] VondelCorvantixMonitor.exe kill VondelCorvantix.exe fail";
constexpr char kCommandMode[] = "[VondelCorvantixMonitor.exe] Start command kill mode";
constexpr char kCommand[] = "Command: taskkill /F /im VondelCorvantix.exe /F";
constexpr char kStateSuccess[] =
    "[VondelCorvantixMonitor.exe] kill VondelCorvantix.exe shutdown state: Success";

class KillSequence : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(setLog("CorvantixMonitor-Test")); }

    // Starts the fake service under the name in the mode; its pid once it runs.
    pid_t startFake(const std::string& name, const std::string& mode) {
        sandbox.setServiceMode(mode);
        const auto before = sandbox.runs().size();
        const pid_t pid = sandbox.start({sandbox.install(FAKE_SERVICE, name).string()});
        EXPECT_TRUE(sandbox.waitForRuns(before + 1, 5s));
        if (mode == "stay") {
            for (int i = 0; i < 500 && !platform::findWindow(kChannelService); ++i) {
                std::this_thread::sleep_for(10ms);
            }
        }
        return pid;
    }

    ProgramSandbox sandbox;
};

TEST_F(KillSequence, NothingRunningSucceedsAfterOnePoll) {
    const auto began = Clock::now();
    EXPECT_TRUE(killMainProgram());
    EXPECT_LT(Clock::now() - began, 1500ms);
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(message_test::inOrder(lines, {kOwnSuccess, kStateSuccess}));
    EXPECT_FALSE(message_test::contains(lines, kCommandMode));
    EXPECT_FALSE(message_test::contains(lines, "Command: "));
}

TEST_F(KillSequence, QuitInstructionEndsAListeningService) {
    const pid_t pid = startFake("VondelCorvantix", "stay");
    EXPECT_TRUE(killMainProgram());
    const auto status = waitStatus(pid, 2s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(message_test::contains(sandbox.allLines(), kOwnSuccess));
}

TEST_F(KillSequence, DeafServiceOfTheExactNameIsEndedByForce) {
    const pid_t pid = startFake("VondelCorvantix", "deaf");
    const auto began = Clock::now();
    EXPECT_TRUE(killMainProgram());
    EXPECT_LT(Clock::now() - began, 2s);
    const auto status = waitStatus(pid, 2s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGKILL);
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(message_test::inOrder(lines, {kOwnSuccess, kStateSuccess}));
    EXPECT_FALSE(message_test::contains(lines, kCommandMode));
}

TEST_F(KillSequence, NameInOtherLetterCaseSurvivesTheForcedEndAndFallsToTaskKill) {
    const pid_t pid = startFake("vondelCORVANTIX", "deaf");
    EXPECT_TRUE(isProcessRunning("VondelCorvantix.exe"));
    EXPECT_TRUE(terminateProcessByName("VondelCorvantix.exe"));
    EXPECT_FALSE(waitStatus(pid, 300ms)) << "an exact-name end reached another letter case";

    const auto began = Clock::now();
    EXPECT_TRUE(killMainProgram());
    EXPECT_GE(Clock::now() - began, 2900ms) << "the first poll did not wait its 30 rounds";
    const auto status = waitStatus(pid, 2s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGKILL);
    EXPECT_FALSE(isProcessRunning("VondelCorvantix.exe"));
    EXPECT_TRUE(message_test::inOrder(sandbox.allLines(),
                                      {kOwnFail, kCommandMode, kCommand, kStateSuccess}));
}

TEST_F(KillSequence, NoNameIsRefused) {
    EXPECT_FALSE(isProcessRunning(std::nullopt));
    EXPECT_TRUE(terminateProcessByName(std::nullopt));
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(message_test::contains(lines, "Parameter processName is null at"));
    EXPECT_TRUE(message_test::contains(lines, "Parameter filename is null at"));
}

// A folder of its own for a program that must not be found from here.
class ForeignFolder {
public:
    ForeignFolder() {
        char pattern[] = "/tmp/cvx-foreign-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path = pattern;
            chmod(pattern, 0755);
        }
    }
    ~ForeignFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

TEST_F(KillSequence, ServiceOfAnotherSandboxSurvivesEverything) {
    ForeignFolder other;
    ASSERT_FALSE(other.path.empty());
    std::ofstream(other.path / "service-mode.txt") << "stay";
    const auto program = sandbox.install(FAKE_SERVICE, "VondelCorvantix");
    const pid_t pid =
        sandbox.start({program.string()}, {{{"CORVANTIX_ROOT", other.path.string()}}, {}});
    for (int i = 0; i < 500 && !fs::exists(other.path / "service-runs.txt"); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(700ms); // its receivers start

    EXPECT_FALSE(isProcessRunning("VondelCorvantix.exe"));
    EXPECT_TRUE(terminateProcessByName("VondelCorvantix.exe"));
    const auto began = Clock::now();
    EXPECT_TRUE(killMainProgram());
    EXPECT_LT(Clock::now() - began, 1500ms);
    EXPECT_FALSE(waitStatus(pid, 500ms)) << "a program of another sandbox was ended";
}

TEST_F(KillSequence, ServiceOfAnotherUserSurvivesEverything) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "starting a program as another user needs root";
    }
    ForeignFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const auto program = folder.path / "VondelCorvantix";
    fs::copy_file(FAKE_SERVICE, program);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    // The same sandbox, another user.
    const pid_t pid = sandbox.start({program.string()}, {{}, 65534});
    for (int i = 0; i < 500; ++i) {
        const auto words = commandLine(pid);
        if (!words.empty() && words[0] == program.string()) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(commandLine(pid).at(0), program.string());

    for (const auto& entry :
         platform::listProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
        EXPECT_NE(entry.pid, pid) << "another user's process is listed";
    }
    EXPECT_FALSE(isProcessRunning("VondelCorvantix.exe"));
    EXPECT_TRUE(killMainProgram());
    EXPECT_FALSE(waitStatus(pid, 500ms)) << "another user's program was ended";
}

} // namespace
