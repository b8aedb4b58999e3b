// The real monitor on a private X server with a tray host: its icon docks
// in the host, a double click on the icon shows the About box on the
// display, a right click opens the monitor's menu there, and its last
// command chosen with the keys ends the monitor and takes the icon away.

#include "monitor/Monitor.h"
#include "platform/shell/ShellDriver.h"
#include "tests/monitor/MonitorProgram.h"

#include <gtest/gtest.h>

// After the test framework: Xlib's macros clash with names there.
#include "tests/x11/TrayHost.h"

#include <X11/keysym.h>

namespace {

using namespace monitor_test;
using x11_test::TrayHost;

class MonitorOnDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
        ASSERT_NE(screen.get(), nullptr);
        XSetErrorHandler(x11_test::ignoreXError);
    }

    // The shown top-level window of that title, or 0.
    ::Window shownTitled(const std::string& title) const {
        Display* x = screen.get();
        for (const ::Window w : x11_test::childrenOf(x, DefaultRootWindow(x))) {
            if (x11_test::viewable(x, w) && screen.property(w, "_NET_WM_NAME") == title) {
                return w;
            }
        }
        return 0;
    }

    x11_test::XvfbServer xvfb;
    x11_test::TestDisplay screen{xvfb.name()};
    MonitorRig rig;
};

TEST_F(MonitorOnDisplay, IconDocksAndItsClicksShowTheAboutBoxAndTheMenu) {
    TrayHost host(xvfb.name());
    const pid_t monitor = rig.startWithIcon();
    const ::Window icon = x11_test::waitDocked(screen.get(), host, 0, 10s);
    ASSERT_NE(icon, 0u) << rig.logText();
    EXPECT_EQ(screen.property(icon, "_NET_WM_NAME"), "VondelCorvantix");

    const std::string caption(kCaption);
    screen.click(icon, 12, 12);
    screen.click(icon, 12, 12);
    EXPECT_TRUE(waitFor([&] { return shownTitled(caption) != 0; }, 10s)) << "no About box";
    ASSERT_TRUE(MonitorRig::closeAbout());
    EXPECT_TRUE(waitFor([&] { return shownTitled(caption) == 0; }, 5s));

    screen.click(icon, 12, 12, 3);
    ASSERT_NE(x11_test::waitShownOfType(screen.get(), "_NET_WM_WINDOW_TYPE_POPUP_MENU", 10s), 0u);
    const auto menu = platform::shell::openMenu();
    ASSERT_TRUE(menu.has_value());
    EXPECT_EQ(MonitorRig::text(*menu, "owner"), kClass);
    const std::string layout = MonitorRig::layout(*menu->find("items"));
    ASSERT_EQ(layout.substr(layout.rfind(' ') + 1), std::to_string(Command_Quit)) << layout;
    std::this_thread::sleep_for(50ms);      // the grab is in place
    x11_test::typeKey(screen.get(), XK_Up); // the last item
    x11_test::typeKey(screen.get(), XK_Return);

    EXPECT_TRUE(waitFor(
        [&] {
            const auto all = MonitorRig::processesNamed("VondelCorvantixMonitor");
            return std::find(all.begin(), all.end(), monitor) == all.end();
        },
        10s))
        << "the monitor did not end";
    EXPECT_TRUE(waitFor(
        [&] {
            const auto docked = x11_test::childrenOf(screen.get(), host.window());
            return std::find(docked.begin(), docked.end(), icon) == docked.end();
        },
        5s));
    EXPECT_FALSE(MonitorRig::icon());
}

} // namespace
