// The notification area on a private X server with a tray host of the
// test's own: each icon docks as a small window (also when the host comes
// after it), shows its image and tip (as its name and, while the mouse
// rests on it, as a tip window), posts the icon's callback message on
// a click as the session tool's click does, opens a tracked menu as a
// window at the mouse that takes clicks and keys, shows balloons near
// itself, and goes when deleted. Without a host the icon lives in the
// shell's state only, and docks again in the next host when one ends.

#include "platform/shell/Menu.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/ShellDriver.h"
#include "platform/shell/X11Tray.h"
#include "platform/ui/Messages.h"
#include "platform/window/MessageWindow.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

// After the test framework: Xlib's macros clash with names there.
#include "tests/x11/TrayHost.h"

#include <X11/keysym.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace x11_test {
namespace {

using namespace std::chrono_literals;
using namespace platform::shell;

constexpr std::string_view kOwner = "TrayTestOwner";
constexpr std::uint32_t kCallback = 0x0401;
constexpr std::uint32_t kIconId = 7;

// The icon's message window: records the callback messages, and on a right
// button's press tracks a menu as the monitor does.
class Owner {
public:
    Owner() {
        window_ = platform::MessageWindow::create(
            kOwner, [this](const platform::WindowMessage& m) { return handle(m); });
        if (window_) {
            window_->start();
        }
    }
    ~Owner() {
        if (window_) {
            window_->stop();
        }
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    bool made() const { return window_ != nullptr; }

    void setMenu(Menu menu) {
        std::lock_guard lock(mutex_);
        menu_ = std::move(menu);
    }

    std::vector<std::pair<std::uint64_t, std::int64_t>> takeClicks() {
        std::lock_guard lock(mutex_);
        return std::exchange(clicks_, {});
    }
    std::vector<std::uint32_t> chosen() const {
        std::lock_guard lock(mutex_);
        return chosen_;
    }

private:
    std::uint32_t handle(const platform::WindowMessage& m) {
        if (m.message != kCallback) {
            return 0;
        }
        std::optional<Menu> menu;
        {
            std::lock_guard lock(mutex_);
            clicks_.emplace_back(m.wParam, m.lParam);
            menu = menu_;
        }
        if (m.lParam == platform::ui::kWmRButtonDown && menu) {
            const auto id =
                trackPopupMenu(*menu, kTpmRightAlign | kTpmReturnCmd, cursorPos(), kOwner);
            std::lock_guard lock(mutex_);
            chosen_.push_back(id);
        }
        return 0;
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, std::int64_t>> clicks_;
    std::optional<Menu> menu_;
    std::vector<std::uint32_t> chosen_;
    std::unique_ptr<platform::MessageWindow> window_;
};

class X11Tray : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb_.name().empty()) << "Xvfb did not start";
        ASSERT_NE(screen_.get(), nullptr);
        XSetErrorHandler(ignoreXError);
        ASSERT_TRUE(owner_.made());
    }

    void TearDown() override {
        dismissMenu(); // a test that failed may leave one open
        for (const auto& icon : notifyIcons()) {
            NotifyIconData data;
            data.window = icon.window;
            data.id = icon.id;
            notifyIcon(kNimDelete, data);
        }
        // The shell's connection must close before its server ends.
        EXPECT_TRUE(waitUntil([] { return !detail::x11ShellBusy(); }));
    }

    static NotifyIconData iconData(std::uint32_t image, std::u16string tip) {
        NotifyIconData data;
        data.window = std::string(kOwner);
        data.id = kIconId;
        data.flags = kNifMessage | kNifIcon | kNifTip;
        data.callbackMessage = kCallback;
        data.icon = image;
        data.tip = std::move(tip);
        return data;
    }

    ::Window dockedIcon(const TrayHost& host, std::size_t index = 0) const {
        return waitDocked(screen_.get(), host, index);
    }
    std::vector<::Window> children(::Window parent) const {
        return childrenOf(screen_.get(), parent);
    }
    std::vector<::Window> shownOfType(const char* type) const {
        return shownWindowsOfType(screen_.get(), type);
    }
    ::Window waitShown(const char* type) const { return waitShownOfType(screen_.get(), type); }
    void key(KeySym sym) const { typeKey(screen_.get(), sym); }

    testing_support::Sandbox box_;
    XvfbServer xvfb_;
    TestDisplay screen_{xvfb_.name()};
    Owner owner_;
};

struct ClickCase {
    IconClick click;
    unsigned button;
    int times;
};

TEST_F(X11Tray, IconDocksAndItsClicksReachTheOwnerAsTheSessionToolsDo) {
    TrayHost host(xvfb_.name());
    ASSERT_TRUE(notifyIcon(kNimAdd, iconData(101, u"Tray test")));
    const ::Window icon = dockedIcon(host);
    ASSERT_NE(icon, 0u);
    const auto docked = host.docked();
    ASSERT_EQ(docked.size(), 1u);
    EXPECT_TRUE(docked[0].hadInfo);
    EXPECT_EQ(docked[0].flags & 1, 1) << "XEMBED_MAPPED";
    EXPECT_EQ(screen_.property(icon, "_NET_WM_NAME"), "Tray test");

    const ClickCase cases[] = {{IconClick::Right, 3, 1}, {IconClick::Double, 1, 2}};
    for (const auto& c : cases) {
        ASSERT_TRUE(clickNotifyIcon(kOwner, kIconId, c.click).ok);
        std::vector<std::pair<std::uint64_t, std::int64_t>> byTool;
        ASSERT_TRUE(waitUntil([&] {
            auto more = owner_.takeClicks();
            byTool.insert(byTool.end(), more.begin(), more.end());
            return byTool.size() >= (c.times == 1 ? 2u : 4u);
        }));
        for (int i = 0; i < c.times; ++i) {
            screen_.click(icon, 12, 12, c.button);
        }
        std::vector<std::pair<std::uint64_t, std::int64_t>> onScreen;
        waitUntil([&] {
            auto more = owner_.takeClicks();
            onScreen.insert(onScreen.end(), more.begin(), more.end());
            return onScreen.size() >= byTool.size();
        });
        std::this_thread::sleep_for(100ms); // nothing more comes
        auto late = owner_.takeClicks();
        onScreen.insert(onScreen.end(), late.begin(), late.end());
        EXPECT_EQ(onScreen, byTool) << "button " << c.button;
        // Far enough apart that the next case's first press is a press.
        std::this_thread::sleep_for(600ms);
    }
}

TEST_F(X11Tray, IconWithoutAHostLivesInTheStateAndDocksWhenOneAppears) {
    ASSERT_TRUE(notifyIcon(kNimAdd, iconData(101, u"Early")));
    ASSERT_EQ(notifyIcons().size(), 1u);
    // No window of the icon shows anywhere meanwhile.
    std::this_thread::sleep_for(200ms);
    for (const ::Window w : children(DefaultRootWindow(screen_.get()))) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(screen_.get(), w, &a) != 0 && a.map_state == IsViewable) {
            EXPECT_TRUE(screen_.property(w, "_XEMBED_INFO").empty()) << w;
        }
    }

    auto host = std::make_unique<TrayHost>(xvfb_.name());
    const ::Window icon = dockedIcon(*host);
    ASSERT_NE(icon, 0u);
    EXPECT_TRUE(host->docked()[0].hadInfo);
    EXPECT_EQ(screen_.property(icon, "_NET_WM_NAME"), "Early");
    screen_.click(icon, 12, 12, 3);
    EXPECT_TRUE(waitUntil([&] { return !owner_.takeClicks().empty(); }));

    // A host that ends hands the icon back; it hides until the next host
    // docks it.
    host.reset();
    EXPECT_TRUE(waitUntil([&] { return !viewable(screen_.get(), icon); }));
    TrayHost next(xvfb_.name());
    EXPECT_EQ(dockedIcon(next), icon);
    ASSERT_EQ(next.docked().size(), 1u);
}

TEST_F(X11Tray, ModifyRedrawsAndRetipsAndDeleteTakesTheWindowAway) {
    TrayHost host(xvfb_.name());
    ASSERT_TRUE(notifyIcon(kNimAdd, iconData(101, u"First")));
    const ::Window icon = dockedIcon(host);
    ASSERT_NE(icon, 0u);
    std::uint32_t before = 0;
    ASSERT_TRUE(waitUntil([&] {
        const auto image = screen_.capture(icon);
        before = image.pixels.empty() ? 0 : image.at(image.width / 2, image.height / 2);
        return before != 0 && before != 0xE8E8E8;
    })) << "the image was not drawn";

    NotifyIconData change = iconData(104, u"Second");
    ASSERT_TRUE(notifyIcon(kNimModify, change));
    EXPECT_TRUE(waitUntil([&] { return screen_.property(icon, "_NET_WM_NAME") == "Second"; }));
    EXPECT_TRUE(waitUntil([&] {
        const auto image = screen_.capture(icon);
        const auto now = image.pixels.empty() ? 0 : image.at(image.width / 2, image.height / 2);
        return now != before && now != 0xE8E8E8;
    })) << "the image did not change";

    // The tip shows while the mouse rests on the icon.
    Display* x = screen_.get();
    XWarpPointer(x, 0, icon, 0, 0, 0, 0, 12, 12);
    XSync(x, False);
    ::Window tip = waitShown("_NET_WM_WINDOW_TYPE_TOOLTIP");
    ASSERT_NE(tip, 0u);
    EXPECT_EQ(screen_.property(tip, "_NET_WM_NAME"), "Second");
    XWarpPointer(x, 0, DefaultRootWindow(x), 0, 0, 0, 0, 10, 10);
    XSync(x, False);
    EXPECT_TRUE(waitUntil([&] { return shownOfType("_NET_WM_WINDOW_TYPE_TOOLTIP").empty(); }));

    NotifyIconData gone;
    gone.window = std::string(kOwner);
    gone.id = kIconId;
    ASSERT_TRUE(notifyIcon(kNimDelete, gone));
    EXPECT_TRUE(waitUntil([&] {
        const auto inHost = children(host.window());
        return std::find(inHost.begin(), inHost.end(), icon) == inHost.end();
    }));
    EXPECT_TRUE(notifyIcons().empty());
}

TEST_F(X11Tray, RightClickOpensTheMenuAtTheMouseAndItTakesClicksAndKeys) {
    Menu sub;
    sub.append(kMfString, 11, u"Alpha");
    sub.append(kMfString, 12, u"Beta");
    Menu menu;
    menu.append(kMfString, 1, u"&Open");
    menu.append(kMfGrayed, 2, u"Greyed");
    menu.append(kMfSeparator, 0);
    menu.appendPopup(kMfPopup, std::move(sub), u"More");
    menu.append(kMfString, 3, u"Quit");
    owner_.setMenu(menu);

    TrayHost host(xvfb_.name());
    ASSERT_TRUE(notifyIcon(kNimAdd, iconData(101, u"Menu")));
    const ::Window icon = dockedIcon(host);
    ASSERT_NE(icon, 0u);
    const RootPoint mouse = onRoot(screen_.get(), icon, 12, 12);

    struct MenuCase {
        const char* what;
        std::function<void(::Window)> act;
        std::uint32_t chosen;
    };
    const MenuCase cases[] = {
        {"click on the first item", [&](::Window m) { screen_.click(m, 30, 12); }, 1},
        {"keys into the sub-menu",
         [&](::Window) {
             for (const KeySym k : {XK_Down, XK_Down, XK_Down, XK_Right, XK_Down, XK_Return}) {
                 key(k);
             }
         },
         12},
        {"escape", [&](::Window) { key(XK_Escape); }, 0},
        {"click elsewhere",
         [&](::Window) { screen_.click(DefaultRootWindow(screen_.get()), 50, 50); }, 0},
    };
    std::size_t done = 0;
    for (const auto& c : cases) {
        screen_.click(icon, 12, 12, 3);
        const ::Window shown = waitShown("_NET_WM_WINDOW_TYPE_POPUP_MENU");
        ASSERT_NE(shown, 0u) << c.what;
        // The session tool sees the same menu.
        ASSERT_TRUE(openMenu().has_value()) << c.what;
        XWindowAttributes a{};
        ASSERT_NE(XGetWindowAttributes(screen_.get(), shown, &a), 0);
        EXPECT_EQ(a.x + a.width, mouse.x) << "right-aligned at the mouse: " << c.what;
        EXPECT_LE(a.y + a.height, DisplayHeight(screen_.get(), 0));
        std::this_thread::sleep_for(50ms); // the grab is in place
        c.act(shown);
        ASSERT_TRUE(waitUntil([&] { return owner_.chosen().size() > done; })) << c.what;
        EXPECT_EQ(owner_.chosen().back(), c.chosen) << c.what;
        ++done;
        EXPECT_TRUE(waitUntil([&] {
            return shownOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU").empty();
        })) << c.what;
        EXPECT_FALSE(openMenu().has_value());
    }

    // The session tool's choice closes the window too.
    screen_.click(icon, 12, 12, 3);
    ASSERT_NE(waitShown("_NET_WM_WINDOW_TYPE_POPUP_MENU"), 0u);
    ASSERT_TRUE(waitUntil([] { return openMenu().has_value(); }));
    ASSERT_TRUE(chooseMenuItem(3).ok);
    ASSERT_TRUE(waitUntil([&] { return owner_.chosen().size() > done; }));
    EXPECT_EQ(owner_.chosen().back(), 3u);
    EXPECT_TRUE(waitUntil([&] { return shownOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU").empty(); }));
}

TEST_F(X11Tray, BalloonsShowNearTheIconAndGoOnAClickOrAfterAWhile) {
    TrayHost host(xvfb_.name());
    ASSERT_TRUE(notifyIcon(kNimAdd, iconData(101, u"Balloons")));
    const ::Window icon = dockedIcon(host);
    ASSERT_NE(icon, 0u);
    const RootPoint corner = onRoot(screen_.get(), icon, 0, 0);

    NotifyIconData info;
    info.window = std::string(kOwner);
    info.id = kIconId;
    info.flags = kNifInfo;
    info.info = u"Card inserted";
    info.infoTitle = u"Reader";
    ASSERT_TRUE(notifyIcon(kNimModify, info));
    const ::Window balloon = waitShown("_NET_WM_WINDOW_TYPE_NOTIFICATION");
    ASSERT_NE(balloon, 0u);
    EXPECT_EQ(screen_.property(balloon, "_NET_WM_NAME"), "Card inserted");
    XWindowAttributes a{};
    ASSERT_NE(XGetWindowAttributes(screen_.get(), balloon, &a), 0);
    EXPECT_TRUE(a.override_redirect);
    EXPECT_LE(a.y + a.height, corner.y) << "above the icon";
    EXPECT_LT(std::abs(a.x + a.width - (corner.x + 24)), 40) << "by the icon";
    screen_.click(balloon, 10, 10);
    EXPECT_TRUE(waitUntil([&] { return shownOfType("_NET_WM_WINDOW_TYPE_NOTIFICATION").empty(); }));

    // A new one replaces the one before, and goes by itself.
    info.info = u"First";
    ASSERT_TRUE(notifyIcon(kNimModify, info));
    ASSERT_NE(waitShown("_NET_WM_WINDOW_TYPE_NOTIFICATION"), 0u);
    info.info = u"Second";
    ASSERT_TRUE(notifyIcon(kNimModify, info));
    ASSERT_TRUE(waitUntil([&] {
        const auto all = shownOfType("_NET_WM_WINDOW_TYPE_NOTIFICATION");
        return all.size() == 1 && screen_.property(all[0], "_NET_WM_NAME") == "Second";
    }));
    EXPECT_TRUE(
        waitUntil([&] { return shownOfType("_NET_WM_WINDOW_TYPE_NOTIFICATION").empty(); }, 8s));
}

} // namespace
} // namespace x11_test
