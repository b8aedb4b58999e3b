#include "platform/event/NamedEvent.h"
#include "platform/window/MessageWindow.h"
#include "tests/platform/Recorder.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::MessageWindow;
using platform::NamedEvent;
using platform::WaitResult;
using platform::WindowMessage;
using platform_test::Recorder;
using testing_support::Sandbox;

using ToolRun = testing_support::ProgramRun;

// Runs the session tool with the test's environment (its CORVANTIX_ROOT).
ToolRun runTool(const std::vector<std::string>& args) {
    std::vector<std::string> words = {CORVANTIX_SESSION_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    return testing_support::runProgramCapture(words);
}

TEST(SessionTool, SessionChangesReachRegisteredWindowsOnly) {
    Sandbox box;
    Recorder service;
    Recorder monitor;
    Recorder quiet;
    auto serviceWindow = MessageWindow::create("VondelCorvantix.exe", service.proc());
    auto monitorWindow = MessageWindow::create("VondelCorvantixMonitor.exe", monitor.proc());
    auto quietWindow = MessageWindow::create("VondelCorvantixWatchdog", quiet.proc());
    ASSERT_TRUE(serviceWindow && monitorWindow && quietWindow);
    ASSERT_TRUE(serviceWindow->registerSessionNotification());
    ASSERT_TRUE(monitorWindow->registerSessionNotification());
    ASSERT_TRUE(serviceWindow->start() && monitorWindow->start() && quietWindow->start());

    struct Case {
        const char* command;
        std::uint32_t event;
    };
    const Case cases[] = {
        {"lock", platform::kWtsSessionLock},
        {"unlock", platform::kWtsSessionUnlock},
        {"console-connect", platform::kWtsConsoleConnect},
        {"console-disconnect", platform::kWtsConsoleDisconnect},
        {"remote-connect", platform::kWtsRemoteConnect},
        {"remote-disconnect", platform::kWtsRemoteDisconnect},
    };
    std::size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const auto run = runTool({c.command});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "2\n");
        ++sent;
        for (auto* recorder : {&service, &monitor}) {
            const auto seen = recorder->waitFor(sent);
            ASSERT_EQ(seen.size(), sent);
            EXPECT_EQ(seen.back().message, platform::kWmWtsSessionChange);
            EXPECT_EQ(seen.back().param, c.event);
        }
    }
    EXPECT_TRUE(quiet.seen().empty());
    EXPECT_EQ(runTool({"lock", "extra"}).exitCode, 1);
    EXPECT_EQ(runTool({"logoff"}).exitCode, 1);
}

TEST(SessionTool, SendsCopyDataAndPrintsTheResult) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create(
        "VondelMonitor", recorder.proc({}, [](const WindowMessage&) { return 4000000000u; }));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());

    struct Case {
        const char* dwData;
        std::uint32_t expected;
    };
    const Case cases[] = {{"0", 0}, {"7", 7}, {"0xFFFFFFFF", 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dwData);
        const auto run = runTool({"send", "vondelmonitor", c.dwData, "{\"To\":\"VondelMonitor\"}"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "4000000000\n");
        const auto seen = recorder.seen();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().message, platform::kWmCopyData);
        EXPECT_EQ(seen.back().param, c.expected);
        EXPECT_EQ(seen.back().data, std::string("{\"To\":\"VondelMonitor\"}\0", 23));
    }
    const auto before = recorder.seen().size();
    for (const char* bad : {"", "12x", "-1", "4294967296"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(runTool({"send", "VondelMonitor", bad, "x"}).exitCode, 1);
    }
    EXPECT_EQ(runTool({"send", "VondelMonitor", "1"}).exitCode, 1);
    EXPECT_EQ(recorder.seen().size(), before);
    const auto none = runTool({"send", "VondelCorvantix.exe", "0", "x"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.out, "");
}

TEST(SessionTool, PulsesAndSetsNamedEvents) {
    Sandbox box;
    EXPECT_EQ(runTool({"pulse", "VondelCorvantix_DEBUG_MODE"}).exitCode, 2);
    EXPECT_EQ(NamedEvent::open("VondelCorvantix_DEBUG_MODE"), nullptr); // not made by the tool
    auto event = NamedEvent::create("VondelCorvantix_DEBUG_MODE");
    ASSERT_NE(event, nullptr);

    std::atomic<int> woken{0};
    std::atomic<bool> waiting{false};
    std::thread waiter([&] {
        auto mine = NamedEvent::open("VondelCorvantix_DEBUG_MODE");
        waiting = true;
        for (int i = 0; i < 2; ++i) {
            if (mine && mine->wait(3000) == WaitResult::Signalled) {
                ++woken;
            }
        }
    });
    while (!waiting) {
        std::this_thread::sleep_for(1ms);
    }
    for (int round = 1; round <= 2; ++round) {
        std::this_thread::sleep_for(100ms); // let the waiter reach its wait
        EXPECT_EQ(runTool({"pulse", "VondelCorvantix_DEBUG_MODE"}).exitCode, 0);
        for (int i = 0; i < 200 && woken < round; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(woken, round);
    }
    waiter.join();
    // A pulse is gone once done; a set stays for the next wait.
    EXPECT_EQ(event->wait(0), WaitResult::TimedOut);
    EXPECT_EQ(runTool({"set", "VondelCorvantix_DEBUG_MODE"}).exitCode, 0);
    EXPECT_EQ(event->wait(0), WaitResult::Signalled);
    EXPECT_EQ(runTool({"set"}).exitCode, 1);
}

} // namespace
