#include "platform/event/NamedEvent.h"
#include "platform/folders/Folders.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::NamedEvent;
using platform::WaitResult;
using testing_support::Sandbox;

constexpr const char* kDebugEvent = "VondelCorvantix_DEBUG_MODE";

TEST(NamedEvents, OpenFindsOnlyWhatWasCreated) {
    Sandbox box;
    EXPECT_EQ(NamedEvent::open(kDebugEvent), nullptr);
    EXPECT_FALSE(fs::exists(NamedEvent::eventFilePath(kDebugEvent)));

    auto created = NamedEvent::create(kDebugEvent);
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(created->existed());
    EXPECT_FALSE(created->manualReset());
    auto opened = NamedEvent::open(kDebugEvent);
    ASSERT_NE(opened, nullptr);
    // A second create opens the first one's event, keeping its kind.
    auto again = NamedEvent::create(kDebugEvent, true);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->existed());
    EXPECT_FALSE(again->manualReset());

    // Names live where mutexes of the same name do.
    EXPECT_EQ(NamedEvent::eventFilePath(kDebugEvent).parent_path(),
              platform::folderPath(platform::Folder::Run));
    EXPECT_EQ(NamedEvent::eventFilePath("Global\\Shared"),
              platform::folderPath(platform::Folder::GlobalRun) / "Shared.event");
    EXPECT_EQ(NamedEvent::open("Global\\Shared"), nullptr);
    ASSERT_NE(NamedEvent::create("Global\\Shared"), nullptr);
    EXPECT_NE(NamedEvent::open("Global\\Shared"), nullptr);
    EXPECT_EQ(NamedEvent::open("Shared"), nullptr);

    // A file of that name that is no event is refused, not mapped.
    box.write(fs::relative(NamedEvent::eventFilePath("Broken"), box.root()), "xy");
    EXPECT_EQ(NamedEvent::open("Broken"), nullptr);
    EXPECT_EQ(NamedEvent::create("Broken"), nullptr);
}

TEST(NamedEvents, ALinkPlantedUnderAnEventNameIsNeverOpened) {
    Sandbox box;
    ASSERT_NE(NamedEvent::create("Global\\Real"), nullptr);
    const auto planted = NamedEvent::eventFilePath("Global\\Planted");
    fs::create_symlink(NamedEvent::eventFilePath("Global\\Real"), planted);
    EXPECT_EQ(NamedEvent::open("Global\\Planted"), nullptr);
    EXPECT_EQ(NamedEvent::create("Global\\Planted"), nullptr);
    EXPECT_TRUE(fs::is_symlink(planted));
}

TEST(NamedEvents, WaitTimesOutWhenNothingHappens) {
    Sandbox box;
    auto event = NamedEvent::create("Idle");
    ASSERT_NE(event, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(event->wait(150), WaitResult::TimedOut);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_EQ(event->wait(0), WaitResult::TimedOut);
    // A pulse with nobody waiting is gone.
    event->pulse();
    EXPECT_EQ(event->wait(50), WaitResult::TimedOut);
}

TEST(NamedEvents, CountedPulsesAreSeenThoughNobodyWaitedForThem) {
    Sandbox box;
    auto event = NamedEvent::create(kDebugEvent, true, false);
    ASSERT_NE(event, nullptr);
    std::uint32_t seen = event->pulseCount();
    // Two pulses while the follower is busy elsewhere: one wake covers both.
    event->pulse();
    event->pulse();
    EXPECT_EQ(event->waitForPulse(seen, 0), WaitResult::Signalled);
    EXPECT_EQ(seen, event->pulseCount());
    EXPECT_EQ(event->waitForPulse(seen, 50), WaitResult::TimedOut);
    std::thread later([&] {
        std::this_thread::sleep_for(50ms);
        event->pulse();
    });
    EXPECT_EQ(event->waitForPulse(seen, 5000), WaitResult::Signalled);
    later.join();
}

// A child that opens the event and reports each wait's outcome: 'S' or 'T'.
pid_t waitInChild(const char* name, std::vector<std::uint32_t> timeouts, int& report) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        auto event = NamedEvent::open(name);
        char ready = event ? 'R' : 'X';
        (void)!write(fds[1], &ready, 1);
        for (const auto timeout : timeouts) {
            if (!event) {
                break;
            }
            const char outcome = event->wait(timeout) == WaitResult::Signalled ? 'S' : 'T';
            (void)!write(fds[1], &outcome, 1);
        }
        _exit(0);
    }
    close(fds[1]);
    report = fds[0];
    return pid;
}

char nextReport(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c = '?';
    if (poll(&p, 1, 3000) == 1 && read(fd, &c, 1) != 1) {
        c = '?';
    }
    return c;
}

TEST(NamedEvents, EachPulseWakesAWaiterInAnotherProcess) {
    Sandbox box;
    auto event = NamedEvent::create(kDebugEvent);
    ASSERT_NE(event, nullptr);
    int report = -1;
    const pid_t child = waitInChild(kDebugEvent, {2000, 2000, 300}, report);
    ASSERT_GT(child, 0);
    ASSERT_EQ(nextReport(report), 'R');
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::this_thread::sleep_for(100ms); // let the child reach its wait
        const auto start = Clock::now();
        event->pulse();
        EXPECT_EQ(nextReport(report), 'S');
        EXPECT_LT(Clock::now() - start, 500ms);
    }
    // Pulses leave nothing behind for the next wait.
    EXPECT_EQ(nextReport(report), 'T');
    close(report);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
}

// Starts waiters on their own handles to one event; counts who was released.
struct Waiters {
    Waiters(const char* name, int count, std::uint32_t timeoutMs) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, name, timeoutMs] {
                auto event = NamedEvent::open(name);
                waiting.fetch_add(1);
                if (event && event->wait(timeoutMs) == WaitResult::Signalled) {
                    released.fetch_add(1);
                }
            });
        }
        while (waiting.load() < count) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(100ms); // from open to the futex
    }
    int join() {
        for (auto& t : threads) {
            t.join();
        }
        return released.load();
    }
    std::vector<std::thread> threads;
    std::atomic<int> waiting{0};
    std::atomic<int> released{0};
};

TEST(NamedEvents, SetAndPulseReleaseWaitersByKind) {
    struct Case {
        const char* what;
        bool manual;
        bool pulse;
        int released; // of three waiters
        bool stillSet;
    };
    const Case cases[] = {
        {"set, auto-reset: one waiter", false, false, 1, false},
        {"set, manual-reset: all, and it stays set", true, false, 3, true},
        {"pulse, auto-reset: all waiting now", false, true, 3, false},
        {"pulse, manual-reset: all waiting now", true, true, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox box;
        auto event = NamedEvent::create("Kind", c.manual);
        ASSERT_NE(event, nullptr);
        Waiters waiters("Kind", 3, 400);
        c.pulse ? event->pulse() : event->set();
        EXPECT_EQ(waiters.join(), c.released);
        EXPECT_EQ(event->wait(0) == WaitResult::Signalled, c.stillSet);
    }
}

TEST(NamedEvents, SetStaysUntilTakenOrReset) {
    Sandbox box;
    auto autoReset = NamedEvent::create("Auto", false, true);
    ASSERT_NE(autoReset, nullptr);
    // Initially set: the first wait takes it, the next finds it clear.
    EXPECT_EQ(autoReset->wait(0), WaitResult::Signalled);
    EXPECT_EQ(autoReset->wait(0), WaitResult::TimedOut);
    autoReset->set();
    autoReset->reset();
    EXPECT_EQ(autoReset->wait(0), WaitResult::TimedOut);
    // Set before anybody waits: another handle's later wait sees it.
    autoReset->set();
    EXPECT_EQ(NamedEvent::open("Auto")->wait(platform::kInfinite), WaitResult::Signalled);

    auto manual = NamedEvent::create("Manual", true);
    ASSERT_NE(manual, nullptr);
    manual->set();
    EXPECT_EQ(manual->wait(0), WaitResult::Signalled);
    EXPECT_EQ(manual->wait(platform::kInfinite), WaitResult::Signalled);
    manual->reset();
    EXPECT_EQ(manual->wait(20), WaitResult::TimedOut);
    // A pulse leaves the event unsignalled, whatever it was before.
    manual->set();
    manual->pulse();
    EXPECT_EQ(manual->wait(0), WaitResult::TimedOut);
}

} // namespace
