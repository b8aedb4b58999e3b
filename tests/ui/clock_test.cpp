#include "tests/ui/UiFixture.h"

#include <atomic>
#include <future>
#include <thread>

namespace ui_test {
namespace {

// Records each tick's time on the layer's clock; restarts the timer on each
// tick when asked, as the countdowns do.
struct TickCase {
    const char* name;
    bool restartEachTick;
};

class Ticks : public UiTest, public ::testing::WithParamInterface<TickCase> {};

TEST_P(Ticks, SixtySecondsGiveSixtyTicksInOrder) {
    const bool restart = GetParam().restartEachTick;
    std::mutex lock;
    std::vector<std::uint32_t> ticks;
    ModalThread modal(
        kPlainDialog,
        [&](Window dialog, std::uint32_t message, WParam wParam, LParam lParam) -> LResult {
            if (message == kWmInitDialog) {
                setTimer(dialog, 0, 1000);
                return 1;
            }
            if (message == kWmTimer && wParam == 0) {
                if (restart) {
                    killTimer(dialog, 0);
                }
                {
                    std::lock_guard guard(lock);
                    ticks.push_back(tickCount());
                }
                if (restart) {
                    setTimer(dialog, 0, 1000);
                }
                return 1;
            }
            return endOnButtons(dialog, message, wParam, lParam);
        });
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_EQ(advanceClock(60s), AdvanceResult::Done);
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(ticks.size(), 60u);
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            EXPECT_EQ(ticks[i], (i + 1) * 1000) << "tick " << i;
        }
    }
    ASSERT_EQ(advanceClock(500ms), AdvanceResult::Done);
    ASSERT_TRUE(user_.click(open.front(), kIdCancel));
    EXPECT_EQ(modal.result(), kIdCancel);
    std::lock_guard guard(lock);
    EXPECT_EQ(ticks.size(), 60u);
}

INSTANTIATE_TEST_SUITE_P(Timers, Ticks,
                         ::testing::Values(TickCase{"KeptRunning", false},
                                           TickCase{"RestartedOnEachTick", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The countdown of the product's dialogs: a one-shot timer started again on
// each tick, a number shown, and the end on the sixtieth tick.
LResult countdown(Window dialog, std::uint32_t message, WParam wParam, LParam lParam,
                  int& seconds) {
    if (message == kWmInitDialog) {
        seconds = 60;
        setTimer(dialog, 0, 1000);
        return 1;
    }
    if (message == kWmTimer) {
        killTimer(dialog, 0);
        if (--seconds < 1) {
            endDialog(dialog, kTimeoutResult);
            return 1;
        }
        setWindowText(dialog, std::u16string(u"Seconds left: ") +
                                  static_cast<char16_t>(u'0' + seconds / 10) +
                                  static_cast<char16_t>(u'0' + seconds % 10));
        setTimer(dialog, 0, 1000);
        return 1;
    }
    return endOnButtons(dialog, message, wParam, lParam);
}

TEST_F(UiTest, CountdownEndsOnItsSixtiethTick) {
    int seconds = 0;
    ModalThread modal(kPlainDialog, [&](Window d, std::uint32_t m, WParam w, LParam l) {
        return countdown(d, m, w, l, seconds);
    });
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_EQ(advanceClock(59s), AdvanceResult::Done);
    EXPECT_FALSE(modal.result(0ms).has_value());
    EXPECT_EQ(getWindowText(open.front()), u"Seconds left: 01");
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    EXPECT_EQ(modal.result(), kTimeoutResult);
    const auto closed = user_.waitClose(open.front(), 1s);
    ASSERT_TRUE(closed) << closed.error;
    EXPECT_EQ(closed.body.find("result")->asNumber(), kTimeoutResult);
    EXPECT_EQ(closed.body.find("timed_out")->asBool(), false);
}

// An advance made while a dialog's thread is still initialising it waits
// for the dialog to start its timer, rather than passing the time the timer
// was meant to count.
TEST_F(UiTest, AnAdvanceWaitsForADialogStillStarting) {
    std::promise<void> initialising;
    std::atomic<int> ticks = 0;
    ModalThread modal(
        kPlainDialog,
        [&](Window dialog, std::uint32_t message, WParam wParam, LParam lParam) -> LResult {
            if (message == kWmInitDialog) {
                initialising.set_value();
                std::this_thread::sleep_for(100ms);
                setTimer(dialog, 0, 1000);
                return 1;
            }
            if (message == kWmTimer) {
                ++ticks;
                return 1;
            }
            return endOnButtons(dialog, message, wParam, lParam);
        });
    initialising.get_future().wait();
    ASSERT_EQ(advanceClock(10s), AdvanceResult::Done);
    EXPECT_EQ(ticks.load(), 10);
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_TRUE(user_.click(open.front(), kIdCancel));
    EXPECT_EQ(modal.result(), kIdCancel);
}

// A thread that sleeps on the clock (as the Caps Lock follower does) wakes
// at each of its deadlines, and an advance waits for each pass.
TEST_F(UiTest, SleepsWakeAtTheirDeadlines) {
    std::mutex lock;
    std::vector<std::uint32_t> passes;
    std::atomic<bool> finished{false};
    std::thread follower([&] {
        for (int i = 0; i < 5; ++i) {
            sleepFor(200ms);
            std::lock_guard guard(lock);
            passes.push_back(tickCount());
        }
        finished = true;
    });
    // The follower reaches its first sleep before time moves.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (sleepingThreads() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(sleepingThreads(), 1u);
    EXPECT_EQ(advanceClock(1000ms), AdvanceResult::Done);
    EXPECT_TRUE(finished);
    for (int i = 0; i < 10 && !finished; ++i) {
        advanceClock(200ms);
    }
    follower.join();
    std::lock_guard guard(lock);
    EXPECT_EQ(passes, (std::vector<std::uint32_t>{200, 400, 600, 800, 1000}));
}

// A follower that sleeps on the manual clock is stopped and joined at once,
// with the clock standing still; a stop asked before the sleep cuts it too.
TEST_F(UiTest, AStopCutsASleepShortWithoutMovingTheClock) {
    std::atomic<int> passes{0};
    std::atomic<bool> lastSleepFull{true};
    std::jthread follower([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            ++passes;
            lastSleepFull = sleepFor(200ms, stop);
        }
    });
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (sleepingThreads() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(sleepingThreads(), 1u);
    ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
    EXPECT_EQ(passes, 2);
    const auto before = tickCount();
    follower.request_stop();
    follower.join();
    EXPECT_EQ(tickCount(), before);
    EXPECT_FALSE(lastSleepFull);
    EXPECT_EQ(sleepingThreads(), 0u);

    // On a thread of its own: a thread counts as busy after a sleep until it
    // waits on the layer again or ends.
    std::thread([] {
        std::stop_source stopped;
        stopped.request_stop();
        EXPECT_FALSE(sleepFor(1h, stopped.get_token()));
        EXPECT_TRUE(sleepFor(0ms, std::stop_token()));
    }).join();
    EXPECT_EQ(advanceClock(1s), AdvanceResult::Done);
}

struct CeilingCase {
    const char* name;
    std::chrono::milliseconds ceiling;
    LResult result;
};

class Ceiling : public UiTest, public ::testing::WithParamInterface<CeilingCase> {};

// A dialog nobody answers ends at the ceiling with the configured result,
// exactly then and not before.
TEST_P(Ceiling, EndsAForgottenModalDialog) {
    const auto& c = GetParam();
    setModalWaitCeiling(c.ceiling, c.result);
    Seen seen;
    ModalThread modal(kPlainDialog, [&](Window d, std::uint32_t m, WParam w, LParam l) {
        seen.add(m, w);
        return endOnButtons(d, m, w, l);
    });
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_EQ(advanceClock(c.ceiling - 1ms), AdvanceResult::Done);
    EXPECT_FALSE(modal.result(0ms).has_value());
    ASSERT_EQ(advanceClock(1ms), AdvanceResult::Done);
    EXPECT_EQ(modal.result(), c.result);
    const auto closed = user_.waitClose(open.front(), 1s);
    ASSERT_TRUE(closed) << closed.error;
    EXPECT_EQ(closed.body.find("result")->asNumber(), c.result);
    EXPECT_EQ(closed.body.find("timed_out")->asBool(), true);
    // The procedure still saw its dialog destroyed.
    const auto all = seen.all();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().message, kWmDestroy);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, Ceiling,
    ::testing::Values(CeilingCase{"Default", std::chrono::milliseconds(300000), kTimeoutResult},
                      CeilingCase{"Configured", std::chrono::milliseconds(5000), 77}),
    [](const auto& info) { return std::string(info.param.name); });

// A change to a hidden control asks for no paint, so the dialog's thread
// settles and the clock moves on.
TEST_F(UiTest, AHiddenControlsChangeDoesNotHoldTheClock) {
    ModalThread modal(kEntryDialog, endOnButtons);
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    const Window hidden = getDlgItem(open.front(), kHiddenButton);
    enableWindow(hidden, false);
    setWindowText(hidden, u"Still hidden");
    EXPECT_EQ(advanceClock(1s, 500ms), AdvanceResult::Done);
    ASSERT_TRUE(user_.click(open.front(), kIdOk));
    EXPECT_EQ(modal.result(), kIdOk);
}

TEST_F(UiTest, TheRealClockCannotBeAdvanced) {
    useRealClock();
    EXPECT_EQ(advanceClock(1s), AdvanceResult::RealClock);
    JsonValue request;
    request.set("op", "advance");
    request.set("ms", 1000);
    const auto reply = Client::ask({backend_->socketPath(), getpid()}, request);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, "the clock is real");
}

} // namespace
} // namespace ui_test
