// The monitor's quit-only sender and its lock-mode receiver on the tray
// window's channel.

#include "common/ToolLog.h"
#include "monitor/MonitorMessage.h"
#include "platform/window/MessageWindow.h"
#include "tests/monitor/KeeperTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace keeper_test;
using message_test::contains;
using message_test::inOrder;

constexpr char kChannel[] = "MonitorSenderTest";

class MonitorSender : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(setLog("CorvantixMonitor-Test")); }

    bool waitForFile(const std::string& name) const {
        for (int i = 0; i < 1000; ++i) {
            if (fs::exists(sandbox.box.root() / name)) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::string finals() const {
        return testing_support::Sandbox::read(sandbox.box.root() / "final.txt");
    }

    ProgramSandbox sandbox;
};

TEST_F(MonitorSender, BuildsTheQuitInstructionFromTheMonitor) {
    EXPECT_FALSE(createSuicideIPCMsg(std::nullopt));
    const auto message = createSuicideIPCMsg(kChannelWatchdog);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->from, "VondelCorvantixMonitor.exe");
    EXPECT_EQ(message->to, "VondelCorvantixWatchdog");
    EXPECT_EQ(message->instruction, "CorvantixInstruction_Suicide");
    EXPECT_EQ(message->message, "");
    EXPECT_TRUE(verifyCorvantixMessage(*message));
}

TEST_F(MonitorSender, NoReceiverIsRefused) {
    EXPECT_FALSE(sendIPCMsg(std::nullopt));
    EXPECT_TRUE(sendIPCMsgWin(std::nullopt));
    const auto lines = sandbox.allLines();
    EXPECT_EQ(sandbox.countLines("Parameter kcstrInputTo is null at"), 2u);
    EXPECT_TRUE(message_test::hasLineEnding(lines, "[Error] Send message final result: Fail"));
    EXPECT_FALSE(contains(lines, "sendIPCMsgWin: "));
}

TEST_F(MonitorSender, QuitReachesAWindowReceiverOnce) {
    const pid_t receiver = sandbox.start({QUIT_RECEIVER, kChannel, "both"});
    ASSERT_TRUE(waitForFile("ready.txt"));
    EXPECT_TRUE(sendIPCMsg(kChannel));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(finals(), "final\n");
    // A quit by window runs the final function; the program ends on its own terms.
    EXPECT_FALSE(waitStatus(receiver, 200ms));
    EXPECT_EQ(sandbox.countLines("Receive COPYDATA message: CorvantixInstruction_Suicide"), 1u);
    EXPECT_EQ(sandbox.countLines("Recivie Suicide message"), 0u);
    EXPECT_TRUE(
        inOrder(sandbox.allLines(), {"sendIPCMsgWin: Windows API Mode", "sendIPCMsgWin: Lock Mode",
                                     "Send message final result: Success"}));
}

TEST_F(MonitorSender, QuitReachesALockModeReceiverOnceAndEndsIt) {
    const pid_t receiver = sandbox.start({QUIT_RECEIVER, kChannel, "lock"});
    ASSERT_TRUE(waitForFile("ready.txt"));
    EXPECT_TRUE(sendIPCMsg(kChannel));
    const auto status = waitStatus(receiver, 2s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(finals(), "final\n");
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(contains(lines, std::string("sendIPCMsgWin can't find window ") + kChannel));
    EXPECT_EQ(sandbox.countLines("IPC Message Lock Mode: Recivie Suicide message"), 1u);
    EXPECT_TRUE(contains(lines, "IPC Message Lock Mode: Exec final function"));
}

// The monitor's lock-mode receiver serves the worker's instructions to the
// tray's channel, and a quit there runs the monitor's end: the service
// stopped, the watchdog told to quit, the icon removed.
TEST_F(MonitorSender, MonitorLockReceiverServesStopAndQuit) {
    sandbox.install(FAKE_SERVICE, "VondelCorvantix");
    sandbox.setServiceMode("stay");
    const pid_t watchdog =
        sandbox.start({MESSAGE_RECEIVER, std::string(kChannelWatchdog), "nofinal"});
    ASSERT_TRUE(waitForFile("ready.txt"));
    const pid_t host =
        sandbox.start({sandbox.install(KEEPER_HOST, "VondelCorvantixMonitor").string()});
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));

    sendCorvantixMessage("MonitorTest", kChannelMonitorTray, kInstructionStop);
    // The keeper's first kill sequence, then the stop's.
    constexpr char kKilled[] = "kill VondelCorvantix.exe shutdown state: Success";
    for (int i = 0; i < 300 && sandbox.countLines(kKilled) < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sandbox.countLines(kKilled), 2u);
    EXPECT_TRUE(ProgramSandbox::processesNamed("VondelCorvantix").empty());
    // Instructions are not queued: the receiver pauses after each one.
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(inOrder(sandbox.allLines(),
                        {"IPC Message Lock Mode: Recivie stop message", "Execute stop function"}));

    EXPECT_TRUE(sendIPCMsg(kChannelMonitorTray));
    const auto hostStatus = waitStatus(host, 5s);
    ASSERT_TRUE(hostStatus) << sandbox.logText();
    ASSERT_TRUE(WIFEXITED(*hostStatus));
    EXPECT_EQ(WEXITSTATUS(*hostStatus), 0);
    const auto watchdogStatus = waitStatus(watchdog, 2s);
    ASSERT_TRUE(watchdogStatus);
    EXPECT_TRUE(WIFEXITED(*watchdogStatus) && WEXITSTATUS(*watchdogStatus) == 0);
    const auto notes = sandbox.trayNotes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[notes.size() - 2], "remove-icon");
    EXPECT_EQ(notes.back(), "quit");
    EXPECT_TRUE(inOrder(sandbox.allLines(), {"IPC Message Lock Mode: Recivie Suicide message",
                                             "IPC Message Lock Mode: Exec final function"}));
    EXPECT_EQ(sandbox.runs().size(), 1u);
}

} // namespace
