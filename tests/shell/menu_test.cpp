// Popup menus: the model a program shows is what the session tool reads, a
// choice is taken only from the open menu, and the command reaches the
// owner window once the menu has closed.

#include "platform/shell/Menu.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/ShellDriver.h"
#include "tests/shell/ShellFixture.h"

#include <future>

namespace {

using namespace shell_test;
using namespace platform::shell;
using platform::SendStatus;
using testing_support::Sandbox;

constexpr std::uint32_t kStart = 61002;
constexpr std::uint32_t kAbout = 61004;
constexpr std::uint32_t kScreenshots = 61012;
constexpr std::uint32_t kQuit = 40003;

Menu trayMenu() {
    Menu language;
    language.append(kMfString, 61007, u"TradChinese");
    language.append(kMfString | kMfChecked, 61008, u"English");
    language.append(kMfString, 61013, u"Japanese");
    language.append(kMfString, 61010, u"SimpChinese");
    Menu menu;
    menu.append(kMfString, kStart, u"Start");
    menu.appendPopup(kMfString, std::move(language), u"Language");
    menu.append(kMfString | kMfChecked, 61011, u"System hint");
    menu.append(kMfString, kAbout, u"About");
    menu.append(kMfSeparator, 0);
    menu.append(kMfString | kMfGrayed, kScreenshots, u"Screenshots");
    menu.append(kMfSeparator, 0);
    menu.append(kMfString, kQuit, u"Quit");
    return menu;
}

constexpr const char* kTrayMenuItems =
    R"([{"id":61002,"text":"Start","checked":false,"enabled":true},)"
    R"({"text":"Language","checked":false,"enabled":true,"items":[)"
    R"({"id":61007,"text":"TradChinese","checked":false,"enabled":true},)"
    R"({"id":61008,"text":"English","checked":true,"enabled":true},)"
    R"({"id":61013,"text":"Japanese","checked":false,"enabled":true},)"
    R"({"id":61010,"text":"SimpChinese","checked":false,"enabled":true}]},)"
    R"({"id":61011,"text":"System hint","checked":true,"enabled":true},)"
    R"({"id":61004,"text":"About","checked":false,"enabled":true},)"
    R"({"separator":true},)"
    R"({"id":61012,"text":"Screenshots","checked":false,"enabled":false},)"
    R"({"separator":true},)"
    R"({"id":40003,"text":"Quit","checked":false,"enabled":true}])";

// A tray that shows its menu on a right click, as the monitor's does, and
// notes when tracking returned and which commands came.
class MenuTray {
public:
    MenuTray()
        : tray_([this](const platform::WindowMessage& m) {
              if (m.message == kTrayMessage && m.lParam == platform::ui::kWmRButtonDown) {
                  const auto tracked =
                      trackPopupMenu(trayMenu(), kTpmRightAlign, cursorPos(), kTrayClass);
                  note("tracked " + std::to_string(tracked));
              } else if (m.message == platform::ui::kWmCommand) {
                  note("command " + std::to_string(platform::ui::lowWord(m.wParam)));
              }
              return 0u;
          }) {}

    bool start() {
        NotifyIconData icon;
        icon.window = kTrayClass;
        icon.flags = kNifMessage | kNifIcon;
        icon.callbackMessage = kTrayMessage;
        return tray_.start() && notifyIcon(kNimAdd, icon);
    }
    TrayWindow& tray() { return tray_; }

    std::vector<std::string> notes() {
        std::lock_guard lock(mutex_);
        return notes_;
    }
    bool waitNotes(std::size_t count) {
        return eventually([&] { return notes().size() >= count; });
    }

private:
    void note(std::string text) {
        std::lock_guard lock(mutex_);
        notes_.push_back(std::move(text));
    }

    std::mutex mutex_;
    std::vector<std::string> notes_;
    TrayWindow tray_;
};

// Right-clicks the tray's icon and waits until its menu is open; the model.
std::optional<JsonValue> openTrayMenu() {
    EXPECT_EQ(runTool({"icon", "right-click", kTrayClass}).exitCode, 0);
    const auto shown = runTool({"menu", "show", "--wait", "5000"});
    EXPECT_EQ(shown.exitCode, 0);
    auto parsed = platform::ui::parseJson(shown.out);
    return std::move(parsed.value);
}

TEST(PopupMenus, TheOpenMenuIsReadableAndTheChosenCommandReachesItsOwner) {
    Sandbox box;
    MenuTray tray;
    ASSERT_TRUE(tray.start());
    const auto model = openTrayMenu();
    ASSERT_TRUE(model);
    EXPECT_EQ(text(*model, "owner"), kTrayClass);
    EXPECT_EQ(number(*model, "pid"), getpid());
    ASSERT_NE(model->find("items"), nullptr);
    EXPECT_EQ(platform::ui::serializeJson(*model->find("items")), kTrayMenuItems);
    EXPECT_EQ(number(*model, "x"), cursorPos().x);

    // The menu waits inside the tray's loop, which goes on serving it.
    EXPECT_TRUE(platform::sendCopyData(kTrayClass, 0, "while the menu is open"));
    EXPECT_TRUE(tray.notes().empty());

    EXPECT_EQ(runTool({"menu", "choose", std::to_string(kAbout)}).exitCode, 0);
    ASSERT_TRUE(tray.waitNotes(2));
    // The command comes once tracking has returned, as a posted message.
    EXPECT_EQ(tray.notes(), (std::vector<std::string>{"tracked 1", "command 61004"}));
    const auto commands = tray.tray().seenOf(platform::ui::kWmCommand);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wParam, kAbout);
    EXPECT_EQ(commands[0].lParam, 0);
    EXPECT_EQ(runTool({"menu", "show"}).exitCode, 2);

    const auto entries = journalOf("menu.");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(text(entries[0], "op"), "menu.open");
    EXPECT_EQ(platform::ui::serializeJson(*entries[0].find("items")), kTrayMenuItems);
    EXPECT_EQ(text(entries[1], "op"), "menu.choose");
    EXPECT_EQ(number(entries[1], "id"), kAbout);
    EXPECT_TRUE(flag(entries[1], "ok"));
    EXPECT_EQ(text(entries[2], "op"), "menu.close");
    EXPECT_EQ(number(entries[2], "id"), kAbout);
}

TEST(PopupMenus, ChoicesOutsideTheOpenMenuAreRefused) {
    Sandbox box;
    MenuTray tray;
    ASSERT_TRUE(tray.start());
    EXPECT_EQ(runTool({"menu", "choose", std::to_string(kAbout)}).exitCode, 2); // none open
    ASSERT_TRUE(openTrayMenu());

    struct Case {
        std::string id;
        int exitCode;
        const char* why; // in the journal
    };
    const Case cases[] = {
        {"99999", 3, "not a command of the open menu"},
        {"0", 3, "not a command of the open menu"}, // separators and sub-menus
        {"61009", 3, "not a command of the open menu"},
        {std::to_string(kScreenshots), 3, "the command is disabled"},
        {"About", 1, nullptr},
        {"-1", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(runTool({"menu", "choose", c.id}).exitCode, c.exitCode);
    }
    // Still open, and nothing reached the owner.
    EXPECT_EQ(runTool({"menu", "show"}).exitCode, 0);
    EXPECT_TRUE(tray.notes().empty());
    auto choices = journalOf("menu.choose");
    ASSERT_EQ(choices.size(), 5u); // the one with no menu open, then the four refused
    EXPECT_EQ(text(choices[0], "why"), "no open menu");
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(flag(choices[i + 1], "ok"));
        EXPECT_EQ(text(choices[i + 1], "why"), cases[i].why);
    }

    // Closed without a choice: tracking returns, no command comes.
    EXPECT_EQ(runTool({"menu", "dismiss"}).exitCode, 0);
    ASSERT_TRUE(tray.waitNotes(1));
    EXPECT_EQ(runTool({"menu", "choose", std::to_string(kStart)}).exitCode, 2);
    EXPECT_EQ(runTool({"menu", "dismiss"}).exitCode, 2);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(tray.notes(), (std::vector<std::string>{"tracked 1"}));
    EXPECT_TRUE(tray.tray().seenOf(platform::ui::kWmCommand).empty());
}

TEST(PopupMenus, ANewMenuClosesTheOneBeforeAndAReturnedCommandIsNotPosted) {
    Sandbox box;
    TrayWindow tray;
    ASSERT_TRUE(tray.start());
    Menu small;
    small.append(kMfString, kAbout, u"About");
    small.append(kMfString, kQuit, u"Quit");
    // Refused outright: nothing to show, or no owner.
    EXPECT_EQ(trackPopupMenu(Menu(), kTpmReturnCmd, {0, 0}, kTrayClass), 0u);
    EXPECT_EQ(trackPopupMenu(small, 0, {0, 0}, "NoSuchWindow"), 0u);

    // Threads without a loop of the owner wait for their menus by polling.
    auto first = std::async(std::launch::async, [&small] {
        return trackPopupMenu(small, kTpmReturnCmd, {5, 5}, kTrayClass);
    });
    ASSERT_TRUE(eventually([] { return openMenu().has_value(); }));
    auto second = std::async(std::launch::async, [&small] {
        return trackPopupMenu(small, kTpmReturnCmd, {9, 9}, kTrayClass);
    });
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), 0u);
    ASSERT_TRUE(eventually([] { return openMenu() && number(*openMenu(), "x") == 9; }));
    EXPECT_TRUE(chooseMenuItem(kQuit));
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(second.get(), kQuit);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(tray.seenOf(platform::ui::kWmCommand).empty());

    markShellDown();
    EXPECT_EQ(trackPopupMenu(small, kTpmReturnCmd, {0, 0}, kTrayClass), 0u);
    const auto opened = journalOf("menu.open");
    ASSERT_EQ(opened.size(), 5u);
    EXPECT_EQ(text(opened[0], "why"), "empty menu");
    EXPECT_EQ(text(opened[1], "why"), "no window");
    EXPECT_TRUE(flag(opened[2], "ok"));
    EXPECT_TRUE(flag(opened[3], "ok"));
    EXPECT_EQ(text(opened[4], "why"), "shell down");
}

TEST(PopupMenus, AQuitWhileTheMenuIsOpenClosesItAndEndsTheLoopAroundIt) {
    Sandbox box;
    MenuTray tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(openTrayMenu());
    tray.tray().window().quit();
    ASSERT_TRUE(tray.waitNotes(1));
    EXPECT_EQ(tray.notes(), (std::vector<std::string>{"tracked 1"}));
    EXPECT_FALSE(openMenu().has_value());
    // The tray's own loop ended too: nothing answers it now.
    EXPECT_EQ(platform::sendCopyData(kTrayClass, 0, "x", 200).status, SendStatus::TimedOut);
    const auto closed = journalOf("menu.close");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(number(closed[0], "id"), 0);
}

} // namespace
