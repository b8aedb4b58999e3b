// The shell on a private X server: keys held on the display count as down
// beside those the session tool holds, and the screen captured is the
// display's own until the tool provides an image.

#include "platform/shell/KeyState.h"
#include "platform/shell/Screen.h"
#include "platform/shell/ShellDriver.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

// After the test framework: Xlib's macros clash with names there.
#include "tests/x11/XvfbServer.h"

#include <X11/keysym.h>

#include <array>

namespace x11_test {
namespace {

using namespace platform::shell;

class X11Shell : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb_.name().empty()) << "Xvfb did not start";
        ASSERT_NE(screen_.get(), nullptr);
    }

    // Presses or releases the key of a symbol on the display.
    void hold(KeySym sym, bool down) {
        const KeyCode code = XKeysymToKeycode(screen_.get(), sym);
        ASSERT_NE(code, 0) << sym;
        XTestFakeKeyEvent(screen_.get(), code, down ? True : False, CurrentTime);
        XSync(screen_.get(), False);
    }

    testing_support::Sandbox box_;
    XvfbServer xvfb_;
    TestDisplay screen_{xvfb_.name()};
};

struct HeldKey {
    std::uint32_t virtualKey;
    KeySym sym;
};

TEST_F(X11Shell, KeysHeldOnTheDisplayAreDown) {
    const HeldKey keys[] = {
        {0x2C, XK_Print}, {'V', XK_v}, {'7', XK_7}, {0x10, XK_Shift_R}, {0x7B, XK_F12},
    };
    for (const auto& k : keys) {
        EXPECT_EQ(getAsyncKeyState(k.virtualKey), 0) << k.virtualKey;
        hold(k.sym, true);
        EXPECT_NE(getAsyncKeyState(k.virtualKey) & 0x8000, 0) << k.virtualKey;
        // Another key stays up.
        EXPECT_EQ(getAsyncKeyState(k.virtualKey == 'Q' ? 'W' : 'Q'), 0);
        hold(k.sym, false);
        EXPECT_EQ(getAsyncKeyState(k.virtualKey), 0) << k.virtualKey;
    }
}

TEST_F(X11Shell, TheSessionToolStillHoldsKeys) {
    ASSERT_TRUE(setKeyDown('Q', true));
    EXPECT_NE(getAsyncKeyState('Q') & 0x8000, 0);
    ASSERT_TRUE(setKeyDown('Q', false));
    EXPECT_EQ(getAsyncKeyState('Q'), 0);
}

TEST_F(X11Shell, TheScreenIsTheDisplaysUntilAnImageIsProvided) {
    Display* x = screen_.get();
    const int screen = DefaultScreen(x);
    // A window of a colour of its own at a place of its own.
    XSetWindowAttributes attributes{};
    attributes.background_pixel = 0x20C040; // red 0x20, green 0xC0, blue 0x40
    attributes.override_redirect = True;
    const ::Window window =
        XCreateWindow(x, RootWindow(x, screen), 100, 50, 40, 30, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XMapWindow(x, window);
    XSync(x, False);

    const auto size = screenSize();
    EXPECT_EQ(size.width, DisplayWidth(x, screen));
    EXPECT_EQ(size.height, DisplayHeight(x, screen));
    const Image shot = captureScreen();
    ASSERT_TRUE(shot.valid());
    ASSERT_EQ(shot.width, DisplayWidth(x, screen));
    const auto pixel = [&](int px, int py) {
        const std::size_t at = (static_cast<std::size_t>(py) * shot.width + px) * 3;
        return std::array<int, 3>{shot.rgb[at], shot.rgb[at + 1], shot.rgb[at + 2]};
    };
    EXPECT_EQ(pixel(120, 60), (std::array<int, 3>{0x20, 0xC0, 0x40}));
    EXPECT_NE(pixel(99, 49), (std::array<int, 3>{0x20, 0xC0, 0x40}));

    Image provided;
    provided.width = 4;
    provided.height = 2;
    provided.rgb.assign(4 * 2 * 3, 0x7F);
    ASSERT_TRUE(setScreenImage(provided));
    const Image after = captureScreen();
    EXPECT_EQ(after.width, 4);
    EXPECT_EQ(after.rgb, provided.rgb);
    XDestroyWindow(x, window);
}

} // namespace
} // namespace x11_test
