// The worker's options as its callers use them: each option's effect on the
// monitor, the service and the watchdog (all stand-ins but the watchdog,
// which is the worker itself), its exit status, and the worker mutex that
// serialises the control options.

#include "common/Message.h"
#include "common/ResultCode.h"
#include "common/Tool.h"
#include "common/ToolSystem.h"
#include "tests/worker/WorkerProgram.h"

#include <gtest/gtest.h>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

constexpr int kBadArgumentStatus = kResultBadArgument & 0xFF;

struct OptionRow {
    const char* name;
    std::vector<std::string> arguments; // "@ROOT@" stands for the sandbox
    bool monitorRuns = false;
    bool serviceAndWatchdogRun = false;
    int status = 0;
    std::vector<std::string> monitorGot = {}; // instructions the running monitor receives
    bool monitorStarted = false;              // a new monitor is started
    bool everythingEnds = false;              // monitor, service and watchdog end
    bool watchdogStarted = false;
    std::vector<std::string> lines = {};  // in this order in the worker's log
    std::vector<std::string> absent = {}; // nowhere in its log
};

void PrintTo(const OptionRow& row, std::ostream* out) {
    *out << row.name;
}

const std::string kStart(kInstructionStart);
const std::string kStop(kInstructionStop);
const std::string kRestart(kInstructionRestart);
const std::string kSuicide(kInstructionSuicide);

const OptionRow kRows[] = {
    {.name = "StartWithoutMonitorStartsIt",
     .arguments = {"-start"},
     .monitorStarted = true,
     .lines = {"hideNOWaitCommand: VondelCorvantixMonitor.exe"}},
    {.name = "StartInAnyCaseInstructsTheRunningMonitor",
     .arguments = {"-StArT"},
     .monitorRuns = true,
     .monitorGot = {kStart},
     .lines = {"Send message final result: Success"},
     .absent = {"hideNOWaitCommand"}},
    {.name = "StopInstructsTheMonitor",
     .arguments = {"-stop"},
     .monitorRuns = true,
     .monitorGot = {kStop}},
    {.name = "StopWithoutMonitorStartsNothing",
     .arguments = {"-STOP"},
     .lines = {"sendIPCMsgWin can't find window VondelCorvantixMonitor.exe"}},
    {.name = "RestartInstructsTheRunningMonitor",
     .arguments = {"-restart"},
     .monitorRuns = true,
     .monitorGot = {kRestart}},
    {.name = "RestartWithoutMonitorStartsIt", .arguments = {"-Restart"}, .monitorStarted = true},
    {.name = "MonitorStartOnlyTakesTheMutex",
     .arguments = {"-monitorstart"},
     .monitorRuns = true,
     .absent = {"Send message", "hideNOWaitCommand"}},
    {.name = "AllStopEndsEverything",
     .arguments = {"-allstop"},
     .monitorRuns = true,
     .serviceAndWatchdogRun = true,
     .monitorGot = {kSuicide},
     .everythingEnds = true,
     .lines = {"Stop area",
               "[CorvantixWorker] CorvantixWorker kill VondelCorvantixMonitor.exe success",
               "[CorvantixWorker] CorvantixWorker kill VondelCorvantix.exe success"},
     .absent = {"Reset complete"}},
    {.name = "ResetEndsEverythingAndStartsMonitorAndWatchdog",
     .arguments = {"-RESET"},
     .monitorRuns = true,
     .serviceAndWatchdogRun = true,
     .monitorGot = {kSuicide},
     .monitorStarted = true,
     .everythingEnds = true,
     .watchdogStarted = true,
     .lines = {"Stop area", "kill VondelCorvantixMonitor.exe success",
               "kill VondelCorvantix.exe success", "hideNOWaitCommand: VondelCorvantixMonitor.exe",
               "Reset complete", "hideNOWaitCommand: VondelCorvantixWorker.exe -watchdog"}},
    {.name = "AWholeTextOptionWithMoreIsNoOption",
     .arguments = {"-start", "now"},
     .absent = {"hideNOWaitCommand"}},
    {.name = "DeleteInAnotherCaseIsNoOption",
     .arguments = {"-Delete", "@ROOT@/keep.txt"},
     .absent = {"Delete area"}},
    {.name = "UnknownOptionDoesNothing", .arguments = {"-bogus"}, .absent = {"area"}},
    {.name = "UninstallDetectWithOneArgument",
     .arguments = {"-uninstalldetect", "@ROOT@/Program/VondelCorvantixMonitor"},
     .status = kBadArgumentStatus,
     .lines = {"SplitLength: 1", "[Error] Corvantix uninstall detect: Parameter error"},
     .absent = {"Self delete"}},
    {.name = "UninstallDetectWithoutArguments",
     .arguments = {"-uninstalldetect"},
     .status = kBadArgumentStatus,
     .lines = {"SplitLength: 0", "[Error] Corvantix uninstall detect: Parameter error"}},
};

class WorkerOption : public ::testing::TestWithParam<OptionRow> {
protected:
    WorkerSandbox sandbox;
};

TEST_P(WorkerOption, HasItsEffectAndStatus) {
    const auto& row = GetParam();
    const auto keep = sandbox.box.write("keep.txt", "kept");
    std::vector<pid_t> monitors;
    pid_t service = 0;
    pid_t watchdog = 0;
    if (row.monitorRuns) {
        monitors.push_back(sandbox.startMonitor());
    }
    if (row.serviceAndWatchdogRun) {
        service = sandbox.start({(sandbox.programFolder() / "VondelCorvantix").string()});
        ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
        watchdog = sandbox.startWorker({"-watchdog"});
        ASSERT_TRUE(sandbox.waitForLine("[Normal] getMutexLock: Success", 5s));
    }

    std::vector<std::string> arguments;
    std::string command;
    for (const auto& argument : row.arguments) {
        arguments.push_back(replaceString(argument, "@ROOT@", sandbox.box.root().string()));
        command += (command.empty() ? "" : " ") + arguments.back();
    }
    const WorkerRun run = sandbox.run(arguments);
    EXPECT_EQ(run.status, row.status);

    if (row.monitorStarted) {
        EXPECT_TRUE(waitFor([&] { return !sandbox.monitorsStartedBesides(monitors).empty(); }, 5s));
    }
    if (row.watchdogStarted) {
        EXPECT_TRUE(waitFor(
            [&] {
                const auto all = WorkerSandbox::workersWith("-watchdog");
                return std::any_of(all.begin(), all.end(), [&](pid_t p) { return p != watchdog; });
            },
            5s));
    }
    if (row.everythingEnds) {
        EXPECT_TRUE(keeper_test::waitStatus(monitors.front(), 5s));
        EXPECT_TRUE(keeper_test::waitStatus(service, 5s));
        EXPECT_EQ(WorkerSandbox::exitStatus(watchdog, 5s), 0);
    }
    std::this_thread::sleep_for(1s); // what should not happen has had its time
    if (!row.monitorStarted) {
        EXPECT_TRUE(sandbox.monitorsStartedBesides(monitors).empty());
    }
    if (!row.watchdogStarted) {
        EXPECT_EQ(WorkerSandbox::workersWith("-watchdog").size(),
                  watchdog != 0 && !row.everythingEnds);
    }
    if (row.monitorRuns) {
        std::vector<std::string> got;
        for (const auto& event : sandbox.monitorRecord()) {
            if (event.pid == monitors.front() && event.what != "started") {
                got.push_back(event.what);
            }
        }
        EXPECT_EQ(got, row.monitorGot);
    }
    // The watchdog ended by the quit instruction, not by its monitor's end.
    EXPECT_FALSE(sandbox.countLines("Reset!"));
    EXPECT_TRUE(fs::exists(keep));
    EXPECT_TRUE(fs::exists(sandbox.worker));

    const auto identities = sandbox.identitiesOf(command);
    ASSERT_EQ(identities.size(), 1u) << sandbox.logText();
    const auto lines = sandbox.linesOf(identities.front());
    EXPECT_TRUE(inOrder(lines, row.lines)) << sandbox.logText();
    for (const auto& text : row.absent) {
        EXPECT_FALSE(contains(lines, text)) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Options, WorkerOption, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

class WorkerMutex : public ::testing::Test {
protected:
    // Another worker's hold on the worker mutex, in a process of its own.
    pid_t holdWorkerMutex() {
        return testing_support::holdInChild([] {
            static std::unique_ptr<platform::NamedMutex> held;
            held = getMutexLock("CorvantixWorker", 0);
            return held != nullptr;
        });
    }
    WorkerSandbox sandbox;
};

TEST_F(WorkerMutex, NotHadInAboutSevenSecondsFailsTheOption) {
    const pid_t holder = holdWorkerMutex();
    ASSERT_GT(holder, 0);
    const WorkerRun run = sandbox.run({"-start"});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(run.status, 1);
    EXPECT_GE(run.took, 6500ms);
    EXPECT_LT(run.took, 12s);
    EXPECT_EQ(sandbox.countLines("[Normal] Get mutex lock time out"), 1u);
    EXPECT_FALSE(sandbox.countLines("hideNOWaitCommand"));
    EXPECT_TRUE(sandbox.monitorsStartedBesides({}).empty());
}

TEST_F(WorkerMutex, ReleasedWhileTheWorkerWaitsLetsTheOptionRun) {
    const pid_t holder = holdWorkerMutex();
    ASSERT_GT(holder, 0);
    const auto began = std::chrono::steady_clock::now();
    const pid_t worker = sandbox.startWorker({"-restart"});
    std::this_thread::sleep_for(1500ms);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(WorkerSandbox::exitStatus(worker), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 1500ms);
    EXPECT_TRUE(waitFor([&] { return !sandbox.monitorsStartedBesides({}).empty(); }, 5s));
    EXPECT_FALSE(sandbox.countLines("Get mutex lock time out"));
}

} // namespace
