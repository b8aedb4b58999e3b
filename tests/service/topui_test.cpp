#include "platform/windowlist/WindowList.h"
#include "service/CorvantixTopUI.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using platform::WindowHandle;
using namespace std::chrono_literals;

bool topMost(WindowHandle window) {
    const auto found = platform::findTopLevelWindow(window);
    return found && found->topMost;
}

// Polls until the window is top-most or the time is up.
bool becomesTopMost(WindowHandle window, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (topMost(window)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return topMost(window);
}

class TopUI : public ::testing::Test {
protected:
    testing_support::Sandbox box;
};

TEST_F(TopUI, NewWindowIsRaisedOnceAndOldOnesNever) {
    const auto before = platform::createTopLevelWindow("Browser");
    startTopUI(getpid(), kTopUIOwnWindows);
    std::this_thread::sleep_for(100ms);
    const auto dialog = platform::createTopLevelWindow("Enter PIN");
    const auto ime = platform::createTopLevelWindow("Default IME");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(becomesTopMost(dialog, 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 700ms);

    // The user puts another window above it: it is not raised again.
    platform::setWindowTopMost(dialog, false);
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(topMost(dialog));
    EXPECT_FALSE(topMost(before));
    EXPECT_FALSE(topMost(ime));

    const auto stopping = std::chrono::steady_clock::now();
    stopTopUI();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 200ms);

    // After the watch nothing is raised.
    const auto late = platform::createTopLevelWindow("Late");
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(topMost(late));
}

// A window of another process, which lives until the returned pid is killed.
pid_t windowInChild(WindowHandle& window) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        const WindowHandle made = platform::createTopLevelWindow("Other program");
        (void)!write(pipeFds[1], &made, sizeof made);
        for (;;) {
            pause();
        }
    }
    close(pipeFds[1]);
    (void)!read(pipeFds[0], &window, sizeof window);
    close(pipeFds[0]);
    return pid;
}

TEST_F(TopUI, OtherProcessWindowsOnlyInAllWindowsMode) {
    for (const int mode : {kTopUIOwnWindows, kTopUIAllWindows}) {
        SCOPED_TRACE(mode);
        startTopUI(getpid(), mode);
        WindowHandle other = 0;
        const pid_t child = windowInChild(other);
        ASSERT_GT(child, 0);
        ASSERT_NE(other, 0u);
        const bool raised = becomesTopMost(other, 900ms);
        stopTopUI();
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(raised, mode == kTopUIAllWindows);
    }
}

TEST_F(TopUI, ManyWindowsGrowTheListAndKeepTheCapacity) {
    ASSERT_EQ(topUICapacity(), 256u);
    std::vector<WindowHandle> windows;
    for (int i = 0; i < 300; ++i) {
        windows.push_back(platform::createTopLevelWindow("w" + std::to_string(i)));
    }
    startTopUI(getpid(), kTopUIOwnWindows);
    EXPECT_EQ(topUICapacity(), 512u);
    const auto fresh = platform::createTopLevelWindow("fresh");
    EXPECT_TRUE(becomesTopMost(fresh, 1000ms));
    stopTopUI();
    for (const auto w : windows) {
        EXPECT_FALSE(topMost(w));
    }
    EXPECT_EQ(topUICapacity(), 512u);
}

TEST(WindowList, DeadOwnersWindowsVanish) {
    testing_support::Sandbox box;
    WindowHandle other = 0;
    const pid_t child = windowInChild(other);
    ASSERT_GT(child, 0);
    ASSERT_TRUE(platform::findTopLevelWindow(other).has_value());
    EXPECT_EQ(platform::findTopLevelWindow(other)->title, "Other program");
    EXPECT_EQ(platform::findTopLevelWindow(other)->owner, child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    for (const auto& w : platform::enumTopLevelWindows()) {
        EXPECT_NE(w.handle, other);
    }
    const auto mine = platform::createTopLevelWindow("mine");
    EXPECT_TRUE(platform::setWindowTopMost(mine, true));
    platform::destroyTopLevelWindow(mine);
    EXPECT_FALSE(platform::setWindowTopMost(mine, true));
    EXPECT_FALSE(platform::findTopLevelWindow(mine).has_value());
}

} // namespace
