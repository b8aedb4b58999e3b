#include "platform/windowlist/WindowList.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using platform::WindowHandle;

class WindowList : public ::testing::Test {
protected:
    testing_support::Sandbox box_;
};

TEST_F(WindowList, WindowsKeepTheirClassTitleAndFlags) {
    const WindowHandle browser =
        platform::createTopLevelWindow("Bank - Chromium", "Chrome_WidgetWin_1");
    const WindowHandle other = platform::createTopLevelWindow("Notes", "Notepad");
    ASSERT_NE(browser, 0u);
    ASSERT_NE(other, 0u);
    const auto found = platform::findTopLevelWindow(browser);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->className, "Chrome_WidgetWin_1");
    EXPECT_EQ(found->title, "Bank - Chromium");
    EXPECT_TRUE(found->enabled);
    EXPECT_FALSE(found->topMost);

    EXPECT_TRUE(platform::setWindowEnabled(browser, false));
    EXPECT_TRUE(platform::setWindowTitle(browser, "Other\nline"));
    EXPECT_TRUE(platform::setWindowTopMost(browser, true));
    const auto changed = platform::findTopLevelWindow(browser);
    EXPECT_FALSE(changed->enabled);
    EXPECT_TRUE(changed->topMost);
    EXPECT_EQ(changed->title, "Other\nline");
    EXPECT_EQ(changed->className, "Chrome_WidgetWin_1");

    // Classes compare without regard to case; a title narrows the search.
    EXPECT_EQ(platform::findWindowByClass("CHROME_WIDGETWIN_1"), browser);
    EXPECT_EQ(platform::findWindowByClass("notepad", std::string_view("Notes")), other);
    EXPECT_EQ(platform::findWindowByClass("notepad", std::string_view("Other")), 0u);
    EXPECT_EQ(platform::findWindowByClass("MozillaWindowClass"), 0u);
    // A class may not hold a line break.
    EXPECT_EQ(platform::createTopLevelWindow("t", "a\nb"), 0u);

    platform::destroyTopLevelWindow(browser);
    EXPECT_FALSE(platform::findTopLevelWindow(browser));
    EXPECT_EQ(platform::findWindowByClass("Chrome_WidgetWin_1"), 0u);
    platform::destroyTopLevelWindow(other);
}

TEST_F(WindowList, TheDesktopIsAlwaysThereAndNeverListed) {
    const WindowHandle desktop = platform::desktopWindow();
    ASSERT_NE(desktop, 0u);
    const auto found = platform::findTopLevelWindow(desktop);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->className, platform::kDesktopWindowClass);
    EXPECT_EQ(found->owner, 0);
    for (const auto& window : platform::enumTopLevelWindows()) {
        EXPECT_NE(window.handle, desktop);
    }
    EXPECT_FALSE(platform::setWindowTopMost(desktop, true));
    EXPECT_FALSE(platform::setWindowEnabled(desktop, false));
    platform::destroyTopLevelWindow(desktop);
    EXPECT_TRUE(platform::findTopLevelWindow(desktop));
}

// The desktop-session tool opens a window of another process, which stays
// until the tool is ended.
TEST_F(WindowList, TheSessionToolHoldsAWindowOfAnotherProcess) {
    const pid_t tool = testing_support::startProgram(
        {CORVANTIX_SESSION_TOOL, "window", "MozillaWindowClass", "Bank - Mozilla Firefox"}, true);
    ASSERT_GT(tool, 0);
    WindowHandle window = 0;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (window == 0 && std::chrono::steady_clock::now() < until) {
        window = platform::findWindowByClass("MozillaWindowClass");
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(window, 0u);
    const auto found = platform::findTopLevelWindow(window);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->owner, tool);
    EXPECT_EQ(found->title, "Bank - Mozilla Firefox");
    ASSERT_EQ(::kill(tool, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(tool, &status, 0), tool);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(platform::findTopLevelWindow(window));
    EXPECT_EQ(testing_support::runProgram({CORVANTIX_SESSION_TOOL, "window", "OnlyClass"}), 1);
}

} // namespace
