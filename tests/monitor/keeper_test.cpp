// The keeper in a program of its own (the keeper host plays the monitor)
// with the fake service beside it: its series of starts, the restart, the
// stop and the locked session, steered as the monitor's peers steer it.

#include "common/Message.h"
#include "monitor/Keeper.h"
#include "platform/window/MessageWindow.h"
#include "tests/monitor/KeeperTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace keeper_test;

constexpr char kTooMany[] = "[Keeper] Restart main program too many times, shutdown Keeper";
constexpr char kSwitchedOut[] = "[Keeper] Detect user switch out event, into sleep mode";

class Keeper : public ::testing::Test {
protected:
    Keeper() { sandbox.install(FAKE_SERVICE, "VondelCorvantix"); }

    // Starts the keeper host as the monitor beside the service; waits until
    // its receivers run.
    void startKeeper() {
        host = sandbox.start({sandbox.install(KEEPER_HOST, "VondelCorvantixMonitor").string()});
        for (int i = 0; i < 500 && !platform::findWindow(kChannelMonitor); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(platform::findWindow(kChannelMonitor));
    }

    // By window message alone, so that the keeper acts on it once.
    static void send(std::string_view instruction) {
        const auto json = corvantixMessageToJson(
            createCorvantixMessage("KeeperTest", kChannelMonitor, instruction));
        ASSERT_TRUE(json);
        EXPECT_TRUE(platform::sendCopyData(
            kChannelMonitor, 0, std::string_view(json->c_str(), json->size() + 1), 10000));
    }

    static int session(const std::string& event) {
        return testing_support::runProgram({SESSION_TOOL, event});
    }

    std::vector<std::string> arguments() const {
        std::vector<std::string> all;
        for (const auto& run : sandbox.runs()) {
            all.push_back(run.argument);
        }
        return all;
    }

    ProgramSandbox sandbox;
    pid_t host = -1;
};

TEST_F(Keeper, StartsTheServiceWithAttemptZeroAndLeavesARunningOneAlone) {
    sandbox.setServiceMode("stay");
    startKeeper();
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
    EXPECT_EQ(arguments(), std::vector<std::string>{"0"});
    EXPECT_EQ(ProgramSandbox::processesNamed("VondelCorvantix").size(), 1u);
    EXPECT_EQ(sandbox.trayNotes(), std::vector<std::string>{"running"});
    // The keeper first ended any service left over.
    EXPECT_TRUE(message_test::inOrder(
        sandbox.allLines(), {"VondelCorvantixMonitor.exe kill VondelCorvantix.exe success",
                             "Start Corvantix main program"}));

    send(kInstructionStart);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sandbox.runs().size(), 1u);
    EXPECT_EQ(ProgramSandbox::processesNamed("VondelCorvantix").size(), 1u);
}

TEST_F(Keeper, EightExitsInARowEndTheKeeper) {
    sandbox.setServiceMode("exit 3");
    startKeeper();
    ASSERT_TRUE(sandbox.waitForRuns(8, 15s));
    ASSERT_TRUE(sandbox.waitForLine(kTooMany, 3s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(arguments(), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(sandbox.countLines(kTooMany), 1u);
    EXPECT_EQ(sandbox.countLines("Start Corvantix main program"), 8u);
    // Each run is framed by its notices.
    const auto notes = sandbox.trayNotes();
    ASSERT_EQ(notes.size(), 16u);
    for (std::size_t i = 0; i < notes.size(); i += 2) {
        EXPECT_EQ(notes[i], "running");
        EXPECT_EQ(notes[i + 1], "stopped");
    }
}

TEST_F(Keeper, AfterARestartEveryExitStartsANewSeries) {
    sandbox.setServiceMode("stay");
    startKeeper();
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
    // The runs after the restart end at once.
    sandbox.setServiceMode("exit");
    send(kInstructionRestart);
    ASSERT_TRUE(sandbox.waitForRuns(12, 20s)) << sandbox.runs().size() << " runs";
    const auto all = arguments();
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](const auto& a) { return a == "0"; }));
    EXPECT_EQ(sandbox.countLines(kTooMany), 0u);
    // The first running notice after the restart tells of it.
    const auto notes = sandbox.trayNotes();
    const auto restarted = std::find(notes.begin(), notes.end(), "running-restarted");
    ASSERT_NE(restarted, notes.end());
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "running-restarted"), 1);
    EXPECT_EQ(std::find(notes.begin(), restarted, "stopped"), restarted)
        << "the stopped notice of the restart was not quiet";
}

TEST_F(Keeper, StopEndsTheServiceAndStartsNothingUntilAStart) {
    sandbox.setServiceMode("stay");
    startKeeper();
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
    send(kInstructionStop);
    EXPECT_TRUE(ProgramSandbox::processesNamed("VondelCorvantix").empty());
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(sandbox.runs().size(), 1u);
    EXPECT_TRUE(ProgramSandbox::processesNamed("VondelCorvantix").empty());

    send(kInstructionStart);
    ASSERT_TRUE(sandbox.waitForRuns(2, 2s));
    EXPECT_EQ(arguments(), (std::vector<std::string>{"0", "0"}));
}

TEST_F(Keeper, LockedSessionStartsNothingUntilUnlocked) {
    sandbox.setServiceMode("stay");
    startKeeper();
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
    for (int i = 0; i < 500 && !platform::findWindow(kChannelService); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    // The service and the keeper's receiver both hear it.
    EXPECT_EQ(session("lock"), 0);
    ASSERT_TRUE(sandbox.waitForLine(kSwitchedOut, 3s));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(sandbox.runs().size(), 1u);
    EXPECT_TRUE(ProgramSandbox::processesNamed("VondelCorvantix").empty());

    EXPECT_EQ(session("unlock"), 0);
    ASSERT_TRUE(sandbox.waitForRuns(2, 3s));
    EXPECT_EQ(arguments(), (std::vector<std::string>{"0", "0"}));
    const auto notes = sandbox.trayNotes();
    EXPECT_TRUE(message_test::inOrder(notes, {"running", "stopped", "refresh", "running"}));
}

} // namespace
