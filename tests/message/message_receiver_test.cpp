#include "common/Message.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/mutex/NamedMutex.h"
#include "platform/osversion/OsVersion.h"
#include "platform/window/MessageWindow.h"
#include "tests/message/MessageTestSupport.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using message_test::contains;
using message_test::hasLineEnding;
using message_test::inOrder;
using message_test::LoggedSandbox;

constexpr std::string_view kChannel = kChannelService;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string payloadOf(const std::string& json) {
    return json + std::string(1, '\0');
}

// A copy-data message of the instruction stamped `age` seconds ago.
platform::SendResult sendByWindow(std::string_view instruction, std::int64_t age = 0) {
    const auto message =
        createCorvantixMessage("CorvantixWorker", kChannel, instruction, computeTimeValue() - age);
    return platform::sendCopyData(kChannel, 0, payloadOf(*corvantixMessageToJson(message)));
}

// Holds the instruction's mutex for 100 ms, as a sender does.
bool signalByLock(std::string_view channel, std::string_view instruction) {
    auto held = getMutexLock(std::string(channel) + std::string(instruction), 100);
    std::this_thread::sleep_for(100ms);
    return held != nullptr;
}

using ToolRun = testing_support::ProgramRun;

ToolRun runSessionTool(const std::vector<std::string>& args) {
    std::vector<std::string> words = {CORVANTIX_SESSION_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    return testing_support::runProgramCapture(words);
}

struct Counter {
    std::atomic<int> calls{0};
    IpcFunction function() {
        return [this] { ++calls; };
    }
};

void clearRegistrations() {
    registerFinalFunction({});
    registerStartFunction({});
    registerStopFunction({});
    registerRestartFunction({});
    registerUserSwitchFlag(nullptr);
}

class ReceiverFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(setLog("RecvTest"));
        clearRegistrations();
    }
    void TearDown() override {
        stopIpc();
        clearRegistrations();
        setReceiverStartFaults({});
    }

    void startReceivers() {
        ASSERT_TRUE(startIpc(kChannel));
        ASSERT_TRUE(waitUntil([] { return platform::findWindow(kChannel); }, 2s));
    }

    // Log lines from now on, gathered until the texts have appeared in order.
    std::vector<std::string> linesUntil(const std::vector<std::string>& texts) {
        std::vector<std::string> gathered;
        waitUntil(
            [&] {
                const auto more = logs.newLines();
                gathered.insert(gathered.end(), more.begin(), more.end());
                return inOrder(gathered, texts);
            },
            2s);
        return gathered;
    }

    LoggedSandbox logs;
    Counter finalCalls;
    Counter startCalls;
    Counter stopCalls;
    Counter restartCalls;
    std::atomic<bool> userSwitch{false};
};

TEST_F(ReceiverFixture, StartStopAndRestartReachTheirFunctionsByBothWays) {
    struct Case {
        std::string_view instruction;
        void (*registerFunction)(IpcFunction);
        Counter* counter;
        std::string word;
    };
    const Case cases[] = {
        {kInstructionStart, registerStartFunction, &startCalls, "start"},
        {kInstructionStop, registerStopFunction, &stopCalls, "stop"},
        {kInstructionRestart, registerRestartFunction, &restartCalls, "restart"},
    };
    startReceivers();
    for (const auto& c : cases) {
        Counter& counter = *c.counter;
        for (const bool registered : {true, false}) {
            SCOPED_TRACE(std::string(c.instruction) + (registered ? " registered" : " missing"));
            c.registerFunction(registered ? counter.function() : IpcFunction{});
            const int before = counter.calls;
            const std::string outcome = registered ? "[Normal] Execute " + c.word + " function"
                                                   : "[Normal] No " + c.word + " function";
            const std::string instruction(c.instruction);
            logs.newLines();

            ASSERT_TRUE(sendByWindow(c.instruction)); // answered once handled
            EXPECT_TRUE(
                inOrder(logs.newLines(), {"[Normal] Receive COPYDATA message: " + instruction,
                                          "[Normal] Receive message: " + instruction, outcome}));
            EXPECT_EQ(counter.calls, before + (registered ? 1 : 0));

            ASSERT_TRUE(signalByLock(kChannel, c.instruction));
            const auto lines = linesUntil(
                {"[Normal] IPC Message Lock Mode: Recivie " + c.word + " message", outcome});
            EXPECT_TRUE(
                inOrder(lines, {"[Normal] IPC Message Lock Mode: Recivie " + c.word + " message",
                                outcome}));
            std::this_thread::sleep_for(150ms); // one signal, one call
            EXPECT_EQ(counter.calls, before + (registered ? 2 : 0));
        }
    }
}

TEST_F(ReceiverFixture, MonitorStartIsUnknownByWindowAndStartsTheWorkerByLock) {
    const fs::path record = logs.box.root() / "worker-args.txt";
    startReceivers();
    logs.newLines();
    ASSERT_TRUE(sendByWindow(kInstructionMonitorStart));
    const auto windowLines = logs.newLines();
    EXPECT_TRUE(inOrder(windowLines,
                        {"[Normal] Receive COPYDATA message: CorvantixInstruction_MonitorStart",
                         "[Normal] Receive UNKNOW instruction: CorvantixInstruction_MonitorStart",
                         "[Normal] Receive UNKNOW message: "}));
    EXPECT_TRUE(hasLineEnding(windowLines, "[Normal] Receive UNKNOW message: "));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(record));

    ASSERT_TRUE(signalByLock(kChannel, kInstructionMonitorStart));
    const auto lockLines =
        linesUntil({"[Normal] IPC Message Lock Mode: Recivie MonitorStart message",
                    "[Normal] hideNOWaitCommand: VondelCorvantixWorker.exe -start"});
    EXPECT_TRUE(
        inOrder(lockLines, {"[Normal] IPC Message Lock Mode: Recivie MonitorStart message",
                            "[Normal] hideNOWaitCommand: VondelCorvantixWorker.exe -start"}));
    EXPECT_TRUE(
        waitUntil([&] { return testing_support::Sandbox::read(record) == "-start\n"; }, 2s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(testing_support::Sandbox::read(record), "-start\n"); // started once
}

TEST_F(ReceiverFixture, RefusedWindowMessagesReachNoFunction) {
    registerStartFunction(startCalls.function());
    registerFinalFunction(finalCalls.function());
    const auto fresh = [](std::string_view instruction, std::int64_t age) {
        return *corvantixMessageToJson(createCorvantixMessage(
            "CorvantixWorker", kChannel, instruction, computeTimeValue() - age));
    };
    std::string lowerHash = fresh(kInstructionStart, 0);
    const auto at = lowerHash.find("\"HashValue\":\"") + 13;
    for (std::size_t i = at; i < at + 128; ++i) {
        lowerHash[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lowerHash[i])));
    }
    const std::string whole = fresh(kInstructionSuicide, 0);
    struct Case {
        const char* name;
        std::string payload;
        bool replay;
    };
    const Case cases[] = {
        {"3 seconds old", payloadOf(fresh(kInstructionStart, 3)), true},
        {"in the future", payloadOf(fresh(kInstructionSuicide, -5)), true},
        {"lower-case hash", payloadOf(lowerHash), false},
        {"no zero byte", whole, false},
        {"cut short", payloadOf(whole.substr(0, whole.size() / 2)), true},
        {"not JSON", payloadOf("Suicide"), true},
        {"empty", std::string(), false},
    };
    startReceivers();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs.newLines();
        ASSERT_TRUE(platform::sendCopyData(kChannel, 0, c.payload));
        const auto lines = logs.newLines();
        EXPECT_TRUE(hasLineEnding(lines, "[Warning] [Warning] Verify CorvantixMessage fail"));
        EXPECT_EQ(contains(lines, "CorvantixMessage verify fail: Replay attack"), c.replay);
        EXPECT_FALSE(contains(lines, "Receive COPYDATA message"));
    }
    EXPECT_EQ(startCalls.calls, 0);
    EXPECT_EQ(finalCalls.calls, 0);
    EXPECT_FALSE(ipcStopFlag());
}

TEST_F(ReceiverFixture, SuicideByWindowRunsTheFinalFunctionAndEndsLockMode) {
    registerFinalFunction(finalCalls.function());
    registerStartFunction(startCalls.function());
    startReceivers();
    logs.newLines();
    ASSERT_TRUE(sendByWindow(kInstructionSuicide));
    EXPECT_TRUE(
        inOrder(logs.newLines(), {"[Normal] Receive COPYDATA message: CorvantixInstruction_Suicide",
                                  "[Normal] Receive message: CorvantixInstruction_Suicide",
                                  "[Normal] Execute final function"}));
    EXPECT_EQ(finalCalls.calls, 1);
    EXPECT_TRUE(ipcStopFlag());

    // The lock-mode receiver has ended; the window still serves.
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(signalByLock(kChannel, kInstructionStart));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(startCalls.calls, 0);
    EXPECT_FALSE(contains(logs.newLines(), "Recivie start message"));
    ASSERT_TRUE(sendByWindow(kInstructionStart));
    EXPECT_EQ(startCalls.calls, 1);
}

TEST_F(ReceiverFixture, SessionEventsSwitchAPublishedUserFlagInsteadOfEnding) {
    registerFinalFunction(finalCalls.function());
    registerUserSwitchFlag(&userSwitch);
    startReceivers();
    struct Case {
        std::uint32_t event;
        std::string line;
        bool switched;
    };
    const Case cases[] = {
        {platform::kWtsSessionLock, "[Normal] Receive windows lock signal", true},
        {platform::kWtsSessionUnlock, "[Normal] Receive windows unlock signal", false},
        {platform::kWtsConsoleDisconnect, "[Normal] Receive disconnect signal", true},
        {platform::kWtsConsoleConnect, "[Normal] Receive connect signal", false},
        {platform::kWtsRemoteDisconnect, "[Normal] Receive remote disconnect signal", true},
        {5, "[Normal] Receive unknow system signal: 5", true}, // logon: no change
        {platform::kWtsRemoteConnect, "[Normal] Receive remote connect signal", false},
        {6, "[Normal] Receive unknow system signal: 6", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        logs.newLines();
        ASSERT_EQ(platform::broadcastSessionChange(c.event), 1);
        EXPECT_TRUE(hasLineEnding(linesUntil({c.line}), c.line));
        EXPECT_EQ(userSwitch, c.switched);
    }
    EXPECT_EQ(finalCalls.calls, 0);
}

TEST_F(ReceiverFixture, SessionEndFromTheSessionToolRunsTheFinalFunction) {
    registerFinalFunction(finalCalls.function());
    startReceivers();
    struct Case {
        const char* command;
        std::string line;
        int finalCalls;
    };
    const Case cases[] = {
        {"lock", "[Normal] Receive windows lock signal", 1},
        {"unlock", "[Normal] Receive windows unlock signal", 1},
        {"console-disconnect", "[Normal] Receive disconnect signal", 2},
        {"remote-disconnect", "[Normal] Receive remote disconnect signal", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        logs.newLines();
        const auto run = runSessionTool({c.command});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "1\n");
        EXPECT_TRUE(hasLineEnding(linesUntil({c.line}), c.line));
        EXPECT_TRUE(waitUntil([&] { return finalCalls.calls == c.finalCalls; }, 1s));
    }
}

TEST_F(ReceiverFixture, ASecondReceiverOnATakenChannelKeepsOnlyLockMode) {
    std::atomic<int> otherSeen{0};
    auto other = platform::MessageWindow::create(kChannel, [&](const platform::WindowMessage&) {
        ++otherSeen;
        return 0u;
    });
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(other->start());
    registerStartFunction(startCalls.function());
    ASSERT_TRUE(startIpc(kChannel));
    EXPECT_FALSE(startIpc(kChannel)); // once per process
    const auto lines = linesUntil(
        {"[Warning] [Catastrophic failure] Start Windows API IPC message receiver: Fail"});
    EXPECT_TRUE(hasLineEnding(
        lines, "[Warning] [Catastrophic failure] Start Windows API IPC message receiver: Fail"));
    EXPECT_FALSE(contains(lines, "Start Windows API IPC message receiver: Success"));

    ASSERT_TRUE(signalByLock(kChannel, kInstructionStart));
    EXPECT_TRUE(waitUntil([&] { return startCalls.calls == 1; }, 1s));
    ASSERT_TRUE(sendByWindow(kInstructionStart));
    EXPECT_EQ(otherSeen, 1); // the first window keeps the channel
    EXPECT_EQ(startCalls.calls, 1);
    other->stop();
}

TEST_F(ReceiverFixture, StartsThatFailAreErrorsAndNoSuccess) {
    registerStartFunction(startCalls.function());
    setReceiverStartFaults({.lockModeThread = true, .sessionNotification = true});
    EXPECT_FALSE(startIpc(kChannel));
    const std::string lockFail = "[Error] Start lock mode IPC message receiver: Fail";
    const std::string windowFail =
        "[Error] Start Windows API IPC message receiver: Session notification registration fail";
    const auto lines = linesUntil({lockFail});
    const auto more = linesUntil({windowFail});
    std::vector<std::string> all = lines;
    all.insert(all.end(), more.begin(), more.end());
    EXPECT_TRUE(hasLineEnding(all, lockFail));
    EXPECT_TRUE(hasLineEnding(all, windowFail));
    EXPECT_FALSE(contains(all, "Start Windows API IPC message receiver: Success"));
    setReceiverStartFaults({});

    // The window still takes messages; no lock-mode receiver runs.
    ASSERT_TRUE(waitUntil([] { return platform::findWindow(kChannel); }, 2s));
    ASSERT_TRUE(sendByWindow(kInstructionStart));
    EXPECT_EQ(startCalls.calls, 1);
    ASSERT_TRUE(signalByLock(kChannel, kInstructionStart));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(startCalls.calls, 1);
}

TEST_F(ReceiverFixture, SenderSignalsBothWaysAndWithoutAWindowStillByLock) {
    registerStartFunction(startCalls.function());
    registerStopFunction(stopCalls.function());
    startReceivers();
    logs.newLines();
    const auto both = sendCorvantixMessage("CorvantixWorker", kChannel, kInstructionStart);
    EXPECT_TRUE(both.windowReached);
    EXPECT_TRUE(both.lockHeld);
    // A receiver that listens both ways sees one message twice.
    EXPECT_TRUE(waitUntil([&] { return startCalls.calls == 2; }, 1s));
    EXPECT_TRUE(inOrder(logs.newLines(),
                        {"[Normal] sendIPCMsgWin: Windows API Mode",
                         "[Normal] Receive COPYDATA message: " + std::string(kInstructionStart),
                         "[Normal] sendIPCMsgWin: Lock Mode"}));

    ASSERT_TRUE(startCrossPlatformReceiver(kChannelMonitor));
    const auto lockOnly =
        sendCorvantixMessage("CorvantixWorker", kChannelMonitor, kInstructionStop);
    EXPECT_FALSE(lockOnly.windowReached);
    EXPECT_TRUE(lockOnly.lockHeld);
    EXPECT_TRUE(waitUntil([&] { return stopCalls.calls == 1; }, 1s));
    const auto lines = logs.newLines();
    EXPECT_TRUE(inOrder(lines, {"[Error] sendIPCMsgWin can't find window VondelMonitor",
                                "[Normal] sendIPCMsgWin: Lock Mode"}));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(startCalls.calls, 2);
}

TEST_F(ReceiverFixture, AMutexThatCannotBeOpenedIsNoInstruction) {
    // A folder where the lock file of Start belongs makes that mutex unopenable.
    const auto blocked = platform::NamedMutex::lockFilePath(
        *getUserName() + "_" + std::string(kChannel) + std::string(kInstructionStart));
    fs::create_directories(blocked);
    registerStartFunction(startCalls.function());
    registerStopFunction(stopCalls.function());
    logs.newLines();
    ASSERT_TRUE(startCrossPlatformReceiver(kChannel));
    std::this_thread::sleep_for(300ms); // several passes
    EXPECT_EQ(startCalls.calls, 0);
    ASSERT_TRUE(signalByLock(kChannel, kInstructionStop));
    EXPECT_TRUE(waitUntil([&] { return stopCalls.calls == 1; }, 1s));
    int reported = 0;
    for (const auto& line : logs.newLines()) {
        reported += line.ends_with("Memory allocate fail at file: Message.cpp") ? 1 : 0;
    }
    EXPECT_EQ(reported, 1); // once, not on every pass
    EXPECT_EQ(startCalls.calls, 0);
}

TEST_F(ReceiverFixture, IpcModeFollowsTheOsVersion) {
    struct Case {
        std::optional<std::string> version;
        std::string line;
    };
    const Case cases[] = {
        {"5.1.2600 workstation x86", "[Normal] IPC mode: Windows API mode"},
        {std::nullopt, "[Normal] IPC mode: Cross platform + Windows API mode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        platform::setOsVersionRecord(c.version ? platform::parseOsVersionRecord(*c.version)
                                               : std::nullopt);
        logs.newLines();
        ASSERT_TRUE(startIpc(kChannel));
        const auto lines = logs.newLines();
        EXPECT_TRUE(hasLineEnding(lines, c.line));
        EXPECT_EQ(contains(lines, "Cross platform"), !c.version);
        stopIpc();
    }
    platform::setOsVersionRecord(std::nullopt);
}

// ---- Quits that end the program, in a child process ---------------------------

enum class Way { Window, Lock, SessionLock };

struct QuitCase {
    const char* name;
    Way way;
    bool withFinal;
    int exitCode;
    std::vector<std::string> lines; // the receiver's, in this order
    std::vector<std::string> absent;
};

// Waits for the child's end; its exit code, 128 + signal, or -1 after
// killing a child that did not end in time.
int waitForChild(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void runQuitCase(const QuitCase& c) {
    SCOPED_TRACE(c.name);
    LoggedSandbox logs;
    const fs::path root = logs.box.root();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(MESSAGE_RECEIVER, MESSAGE_RECEIVER, std::string(kChannel).c_str(),
              c.withFinal ? "final" : "nofinal", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    const bool ready = waitUntil(
        [&] { return fs::exists(root / "ready.txt") && platform::findWindow(kChannel); }, 3s);
    if (ready) {
        switch (c.way) {
        case Way::Window:
            sendByWindow(kInstructionSuicide); // no answer when the receiver ends itself
            break;
        case Way::Lock:
            EXPECT_TRUE(signalByLock(kChannel, kInstructionSuicide));
            break;
        case Way::SessionLock:
            EXPECT_EQ(runSessionTool({"lock"}).out, "1\n");
            break;
        }
    }
    EXPECT_EQ(waitForChild(pid, 3s), c.exitCode);
    ASSERT_TRUE(ready);
    EXPECT_EQ(testing_support::Sandbox::read(root / "final.txt"), c.withFinal ? "final\n" : "");
    const auto lines = logs.allLines();
    EXPECT_TRUE(inOrder(lines, c.lines));
    for (const auto& text : c.absent) {
        EXPECT_FALSE(contains(lines, text)) << text;
    }
}

TEST(QuitInAChildProcess, WithoutAFinalFunctionAQuitEndsTheProcessWithExitCodeZero) {
    const QuitCase cases[] = {
        {"by window",
         Way::Window,
         false,
         0,
         {"[Receiver][Normal] Receive message: CorvantixInstruction_Suicide",
          "[Receiver][Normal] Execute exit"},
         {"Execute final function"}},
        {"by lock",
         Way::Lock,
         false,
         0,
         {"[Receiver][Normal] IPC Message Lock Mode: Recivie Suicide message"},
         {"Exec final function"}},
        {"by session lock",
         Way::SessionLock,
         false,
         0,
         {"[Receiver][Normal] Receive windows lock signal"},
         {}},
    };
    for (const auto& c : cases) {
        runQuitCase(c);
    }
}

TEST(QuitInAChildProcess, TheFinalFunctionRunsOnEveryWayOfQuitting) {
    const QuitCase cases[] = {
        // The window receiver leaves the end to the program (exit code 7).
        {"by window",
         Way::Window,
         true,
         7,
         {"[Receiver][Normal] Receive message: CorvantixInstruction_Suicide",
          "[Receiver][Normal] Execute final function"},
         {"Execute exit"}},
        // Lock mode ends the process right after the final function.
        {"by lock",
         Way::Lock,
         true,
         0,
         {"[Receiver][Normal] IPC Message Lock Mode: Recivie Suicide message",
          "[Receiver][Normal] IPC Message Lock Mode: Exec final function"},
         {}},
        {"by session lock",
         Way::SessionLock,
         true,
         7,
         {"[Receiver][Normal] Receive windows lock signal"},
         {}},
    };
    for (const auto& c : cases) {
        runQuitCase(c);
    }
}

} // namespace
