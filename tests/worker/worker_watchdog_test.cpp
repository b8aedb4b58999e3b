// The watchdog: a reset once the monitor it has seen ends, one watchdog per
// user, the quit instruction on its own channel, a session lock that only
// sets its flag, a monitor that is not there yet or cannot start (resets
// that back off and end), and its logging that follows the debug-mode event.

#include "common/Message.h"
#include "common/ToolSystem.h"
#include "platform/event/NamedEvent.h"
#include "tests/worker/WorkerProgram.h"
#include "worker/Watchdog.h"

#include <gtest/gtest.h>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

constexpr std::string_view kWatchdog = "VondelCorvantixWatchdog";

class Watchdog : public ::testing::Test {
protected:
    // A watchdog that holds its mutex, started after the resets in a row
    // without a monitor given.
    pid_t startWatchdog(std::optional<int> resets = std::nullopt) {
        const std::size_t before = sandbox.countLines("[Normal] getMutexLock: Success");
        keeper_test::SpawnOptions options;
        if (resets) {
            options.environment[std::string(kResetsVariable)] = std::to_string(*resets);
        }
        const pid_t pid = resets ? sandbox.start({sandbox.worker.string(), "-watchdog"}, options)
                                 : sandbox.startWorker({"-watchdog"});
        EXPECT_TRUE(waitFor(
            [&] { return sandbox.countLines("[Normal] getMutexLock: Success") > before; }, 5s));
        return pid;
    }

    std::vector<std::string> watchdogLines(std::size_t which = 0) const {
        const auto identities = sandbox.identitiesOf("-watchdog");
        return identities.size() > which ? sandbox.linesOf(identities[which])
                                         : std::vector<std::string>{};
    }

    bool resetStarted(const std::vector<pid_t>& monitors, std::chrono::milliseconds limit) const {
        return waitFor([&] { return !sandbox.monitorsStartedBesides(monitors).empty(); }, limit);
    }

    // Still running: not ended, and not reaped by looking.
    static bool runsOn(pid_t pid) {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    WorkerSandbox sandbox;
};

TEST_F(Watchdog, ResetsWithinFourSecondsAfterItsMonitorIsKilled) {
    const pid_t monitor = sandbox.startMonitor();
    const pid_t watchdog = startWatchdog();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(runsOn(watchdog));

    kill(monitor, SIGKILL);
    EXPECT_TRUE(resetStarted({monitor}, 4s)) << sandbox.logText();
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 2s), 0);
    EXPECT_TRUE(
        inOrder(watchdogLines(),
                {"[Error] debugStatusUpdateEvent init failed.", "[Normal] getMutexLock: Success",
                 "[Normal] Monitor is NOT alive", "[Normal] Reset!",
                 "[Normal] hideNOWaitCommand: VondelCorvantixWorker.exe -reset"}))
        << sandbox.logText();
    // The reset started a new watchdog, which holds the mutex again.
    EXPECT_TRUE(waitFor([&] { return watchdogLines(1).size() > 0; }, 5s));
    EXPECT_TRUE(
        waitFor([&] { return contains(watchdogLines(1), "[Normal] getMutexLock: Success"); }, 5s));
    ASSERT_EQ(sandbox.identitiesOf("-reset").size(), 1u);
    EXPECT_TRUE(contains(sandbox.linesOf(sandbox.identitiesOf("-reset")[0]), "Reset complete"));
}

TEST_F(Watchdog, ASecondWatchdogGivesUpAtOnce) {
    sandbox.startMonitor();
    const pid_t first = startWatchdog();
    const WorkerRun second = sandbox.run({"-watchdog"});
    EXPECT_EQ(second.status, 0);
    EXPECT_LT(second.took, 2s);
    EXPECT_TRUE(contains(watchdogLines(1), "[Normal] getMutexLock: Fail"));
    EXPECT_TRUE(runsOn(first));
}

struct QuitRow {
    const char* name;
    bool byWindow;
};

void PrintTo(const QuitRow& row, std::ostream* out) {
    *out << row.name;
}

class WatchdogQuit : public Watchdog, public ::testing::WithParamInterface<QuitRow> {};

TEST_P(WatchdogQuit, EndsItWithoutAReset) {
    const pid_t monitor = sandbox.startMonitor();
    const pid_t watchdog = startWatchdog();
    if (GetParam().byWindow) {
        const auto message =
            createCorvantixMessage("CorvantixWorker", kWatchdog, kInstructionSuicide);
        // The watchdog ends inside its window procedure, so no answer comes;
        // its window may open a little after it holds its lock.
        EXPECT_TRUE(waitFor(
            [&] {
                return platform::sendCopyData(
                           kWatchdog, 0, *corvantixMessageToJson(message) + std::string(1, '\0'))
                           .status != platform::SendStatus::NoWindow;
            },
            5s));
    } else {
        auto held = getMutexLock(std::string(kWatchdog) + std::string(kInstructionSuicide), 100);
        ASSERT_NE(held, nullptr);
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 3s), 0);
    kill(monitor, SIGKILL);
    EXPECT_FALSE(resetStarted({monitor}, 2500ms));
    EXPECT_FALSE(contains(watchdogLines(), "Reset!"));
}

INSTANTIATE_TEST_SUITE_P(Ways, WatchdogQuit,
                         ::testing::Values(QuitRow{"ByWindow", true}, QuitRow{"ByLock", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Watchdog, ASessionLockOnlySetsItsFlag) {
    const pid_t monitor = sandbox.startMonitor();
    const pid_t watchdog = startWatchdog();
    EXPECT_EQ(testing_support::runProgram({SESSION_TOOL, "lock"}), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(runsOn(watchdog));
    EXPECT_EQ(testing_support::runProgram({SESSION_TOOL, "unlock"}), 0);
    EXPECT_TRUE(contains(watchdogLines(), "Receive windows lock signal"));
    kill(monitor, SIGKILL);
    EXPECT_TRUE(resetStarted({monitor}, 4s));
}

TEST_F(Watchdog, AMonitorNotThereYetIsNoEnd) {
    const pid_t watchdog = startWatchdog();
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(runsOn(watchdog));
    EXPECT_FALSE(contains(watchdogLines(), "Monitor is NOT alive"));

    const pid_t monitor = sandbox.startMonitor();
    std::this_thread::sleep_for(1500ms);
    kill(monitor, SIGKILL);
    EXPECT_TRUE(resetStarted({monitor}, 4s));
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 2s), 0);
}

TEST_F(Watchdog, AMonitorThatNeverComesIsResetAfterTheGraceTime) {
    const auto began = std::chrono::steady_clock::now();
    const pid_t watchdog = startWatchdog();
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 15s), 0);
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, 9500ms);
    EXPECT_TRUE(contains(watchdogLines(), "[Normal] Monitor is NOT alive"));
    EXPECT_TRUE(resetStarted({}, 5s));
}

// A monitor that cannot start (one that ends at once, as the monitor does
// with the shell down): each reset waits longer than the last, and at the
// bound the watchdog gives up.
TEST_F(Watchdog, AMonitorThatCannotStartIsResetLessAndLessOften) {
    sandbox.install("/bin/false", "VondelCorvantixMonitor");
    startWatchdog();
    // The first reset after one grace time; the watchdog it started waits two.
    std::this_thread::sleep_for(2 * kMonitorStartGrace + 6s);
    EXPECT_EQ(sandbox.identitiesOf("-reset").size(), 1u) << sandbox.logText();
    EXPECT_TRUE(contains(watchdogLines(1), "[Warning] Resets without a monitor: 1"))
        << sandbox.logText();
}

TEST_F(Watchdog, AtTheBoundOfResetsWithoutAMonitorItGivesUp) {
    sandbox.install("/bin/false", "VondelCorvantixMonitor");
    const pid_t watchdog = startWatchdog(kResetsWithoutMonitorMax);
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, kMonitorStartGrace + 5s), 0);
    const auto lines = watchdogLines();
    EXPECT_TRUE(inOrder(lines, {"[Normal] Monitor is NOT alive",
                                "[Error] Monitor did not start, no more resets after: " +
                                    std::to_string(kResetsWithoutMonitorMax)}))
        << sandbox.logText();
    EXPECT_FALSE(contains(lines, "Reset!"));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(sandbox.identitiesOf("-reset").empty());
}

TEST_F(Watchdog, AMonitorSeenEndsTheCountOfResets) {
    const pid_t monitor = sandbox.startMonitor();
    startWatchdog(kResetsWithoutMonitorMax);
    std::this_thread::sleep_for(1500ms); // it has seen the monitor
    kill(monitor, SIGKILL);
    EXPECT_TRUE(resetStarted({monitor}, 4s)) << sandbox.logText();
    EXPECT_TRUE(
        waitFor([&] { return contains(watchdogLines(1), "[Normal] getMutexLock: Success"); }, 5s));
    EXPECT_TRUE(contains(watchdogLines(0), "[Warning] Resets without a monitor: "));
    EXPECT_FALSE(contains(watchdogLines(1), "Resets without a monitor"));
}

struct PulseRow {
    const char* name;
    std::vector<bool> iniAtPulse; // whether the log INI file exists at each pulse
    bool loggingOnAtTheEnd;
    std::chrono::milliseconds apart = 300ms; // before each pulse
};

void PrintTo(const PulseRow& row, std::ostream* out) {
    *out << row.name;
}

class WatchdogDebugMode : public Watchdog, public ::testing::WithParamInterface<PulseRow> {};

// Each pulse sets logging to whether the INI file exists, so a pulse that
// comes twice or is missed never leaves logging the wrong way round.
TEST_P(WatchdogDebugMode, ItsLoggingFollowsTheIniAtEachPulse) {
    auto event = platform::NamedEvent::create("VondelCorvantix_DEBUG_MODE");
    ASSERT_NE(event, nullptr);
    const fs::path ini = sandbox.box.root() / "Windows" / "VondelCorvantix.ini";
    const std::string iniText = testing_support::Sandbox::read(ini);
    const pid_t monitor = sandbox.startMonitor();
    const pid_t watchdog = startWatchdog();
    for (const bool present : GetParam().iniAtPulse) {
        std::this_thread::sleep_for(GetParam().apart);
        if (present) {
            sandbox.box.write("Windows/VondelCorvantix.ini", iniText);
        } else {
            fs::remove(ini);
        }
        event->pulse();
    }
    std::this_thread::sleep_for(1s);
    kill(monitor, SIGKILL);
    EXPECT_TRUE(resetStarted({monitor}, 4s));
    EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 2s), 0);

    const auto lines = watchdogLines();
    EXPECT_FALSE(contains(lines, "debugStatusUpdateEvent init failed."));
    const auto& steps = GetParam().iniAtPulse;
    const bool everOff = std::find(steps.begin(), steps.end(), false) != steps.end();
    EXPECT_EQ(contains(lines, "[Normal] Log state: Disable"), everOff) << sandbox.logText();
    EXPECT_EQ(contains(lines, "[Normal] Monitor is NOT alive"), GetParam().loggingOnAtTheEnd);
    if (everOff && GetParam().loggingOnAtTheEnd) {
        EXPECT_TRUE(inOrder(lines, {"[Normal] Log state: Disable", "[Normal] Log state: Enable",
                                    "[Normal] Monitor is NOT alive"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pulses, WatchdogDebugMode,
    ::testing::Values(PulseRow{"WithoutTheIniTurnsItOff", {false}, false},
                      PulseRow{"TwiceWithTheIniKeepsItOn", {true, true}, true},
                      PulseRow{"TwiceWithoutTheIniKeepsItOff", {false, false}, false},
                      PulseRow{"OffThenOnAgain", {false, true}, true},
                      // The second pulse comes during the pause after the first.
                      PulseRow{"OnThenOff50msLater", {true, false}, false, 50ms}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
