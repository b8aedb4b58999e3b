// The notification area: icon calls and their journal, the shell going down
// and coming back, clicks through the session tool, and icons left behind by
// ended processes.

#include "platform/shell/Menu.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/Screen.h"
#include "platform/shell/ShellDriver.h"
#include "platform/ui/Messages.h"
#include "tests/shell/ShellFixture.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace shell_test;
using namespace platform::shell;
using testing_support::Sandbox;

NotifyIconData trayIcon(std::uint32_t flags) {
    NotifyIconData data;
    data.window = kTrayClass;
    data.id = 0;
    data.flags = flags;
    data.callbackMessage = kTrayMessage;
    data.icon = 101;
    data.tip = u"VondelCorvantix";
    return data;
}

TEST(NotifyIcons, EveryCallIsJournaledWithItsOutcome) {
    Sandbox box;
    TrayWindow tray;
    ASSERT_TRUE(tray.start());

    struct Step {
        const char* what;
        std::uint32_t action;
        NotifyIconData data;
        bool ok;
        const char* op;
        const char* why; // for a refusal
    };
    NotifyIconData running = trayIcon(kNifIcon);
    running.icon = 104;
    NotifyIconData balloon = trayIcon(kNifIcon | kNifTip | kNifInfo);
    balloon.info = u"VondelCorvantix turned on";
    NotifyIconData longTip = trayIcon(kNifTip);
    longTip.tip = std::u16string(200, u'x');
    NotifyIconData otherId = trayIcon(kNifIcon);
    otherId.id = 7;
    NotifyIconData noWindow = trayIcon(kNifMessage);
    noWindow.window = "NoSuchWindow";
    NotifyIconData caseOfClass = trayIcon(kNifIcon);
    caseOfClass.window = "vondelcorvantixmonitor.EXE";
    const std::vector<Step> steps = {
        {"add", kNimAdd, trayIcon(kNifMessage | kNifIcon | kNifTip | kNifState), true, "icon.add",
         ""},
        {"add twice", kNimAdd, trayIcon(kNifMessage), false, "icon.add", "exists"},
        {"another id", kNimAdd, otherId, true, "icon.add", ""},
        {"window of no process", kNimAdd, noWindow, false, "icon.add", "no window"},
        {"new image", kNimModify, running, true, "icon.modify", ""},
        {"balloon", kNimModify, balloon, true, "icon.modify", ""},
        {"tip cut short", kNimModify, longTip, true, "icon.modify", ""},
        {"class in other case", kNimModify, caseOfClass, true, "icon.modify", ""},
        {"delete", kNimDelete, trayIcon(0), true, "icon.delete", ""},
        {"delete twice", kNimDelete, trayIcon(0), false, "icon.delete", "no icon"},
        {"modify deleted", kNimModify, running, false, "icon.modify", "no icon"},
        {"unknown action", 9, trayIcon(0), false, "icon.unknown", "unknown action"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(notifyIcon(step.action, step.data), step.ok);
    }

    // The balloon has a line of its own, right after the modify that showed it.
    auto entries = journalOf("icon.");
    ASSERT_EQ(entries.size(), steps.size() + 1);
    const auto& shown = entries[6];
    EXPECT_EQ(text(shown, "op"), "icon.balloon");
    EXPECT_EQ(text(shown, "text"), "VondelCorvantix turned on");
    entries.erase(entries.begin() + 6);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i].what);
        EXPECT_EQ(text(entries[i], "op"), steps[i].op);
        EXPECT_EQ(flag(entries[i], "ok"), steps[i].ok);
        EXPECT_EQ(text(entries[i], "why"), steps[i].why);
        EXPECT_EQ(number(entries[i], "pid"), getpid());
        EXPECT_EQ(number(entries[i], "id"), steps[i].data.id);
    }
    EXPECT_EQ(number(entries[0], "callback"), kTrayMessage);
    EXPECT_EQ(number(entries[4], "icon"), 104);
    EXPECT_EQ(text(entries[6], "tip"), std::string(kTipMax, 'x'));

    // What is left: the icon of id 7, as the session tool lists it.
    const auto icons = notifyIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].id, 7u);
    EXPECT_EQ(icons[0].owner, getpid());
    const auto listed = runTool({"icons"});
    EXPECT_EQ(listed.exitCode, 0);
    auto line = platform::ui::parseJson(listed.out.substr(0, listed.out.find('\n')));
    ASSERT_TRUE(line.value);
    EXPECT_EQ(text(*line.value, "window"), kTrayClass);
    EXPECT_EQ(number(*line.value, "id"), 7);
    EXPECT_EQ(number(*line.value, "icon"), 101);
}

TEST(NotifyIcons, AShellMarkedDownRefusesIconsUntilItsRestartAsksForThemAgain) {
    Sandbox box;
    const std::uint32_t taskbarCreated = taskbarCreatedMessage();
    ASSERT_GE(taskbarCreated, platform::kFirstRegisteredMessage);
    // The tray adds its icon again whenever the taskbar is created.
    TrayWindow tray([taskbarCreated](const platform::WindowMessage& m) {
        if (m.message == taskbarCreated) {
            notifyIcon(kNimAdd, trayIcon(kNifMessage | kNifIcon | kNifTip));
        }
        return 0u;
    });
    TrayWindow unregistered({}, "VondelMonitor");
    ASSERT_TRUE(tray.window().registerBroadcast(taskbarCreated));
    ASSERT_TRUE(tray.start() && unregistered.start());
    ASSERT_TRUE(notifyIcon(kNimAdd, trayIcon(kNifMessage | kNifIcon)));
    EXPECT_TRUE(shellRunning());

    EXPECT_EQ(runTool({"shell", "down"}).exitCode, 0);
    EXPECT_FALSE(shellRunning());
    EXPECT_TRUE(notifyIcons().empty()); // the icons went with the shell
    EXPECT_FALSE(notifyIcon(kNimAdd, trayIcon(kNifMessage | kNifIcon)));
    EXPECT_FALSE(notifyIcon(kNimModify, trayIcon(kNifIcon)));
    EXPECT_FALSE(notifyIcon(kNimDelete, trayIcon(0)));
    const auto refusals = journalOf("icon.");
    ASSERT_EQ(refusals.size(), 4u);
    for (std::size_t i = 1; i < refusals.size(); ++i) {
        EXPECT_EQ(text(refusals[i], "why"), "shell down") << i;
    }

    const auto restart = runTool({"shell", "restart"});
    EXPECT_EQ(restart.exitCode, 0);
    EXPECT_EQ(restart.out, "1\n"); // the registered window only
    tray.waitFor(taskbarCreated);
    ASSERT_EQ(tray.seenOf(taskbarCreated).size(), 1u);
    EXPECT_TRUE(shellRunning());
    ASSERT_TRUE(eventually([] { return notifyIcons().size() == 1; }));
    EXPECT_EQ(notifyIcons()[0].window, kTrayClass);
    EXPECT_TRUE(unregistered.seen().empty());
    const auto restarts = journalOf("shell.");
    ASSERT_EQ(restarts.size(), 2u);
    EXPECT_EQ(text(restarts[0], "op"), "shell.down");
    EXPECT_EQ(text(restarts[1], "op"), "shell.restart");
    EXPECT_EQ(number(restarts[1], "windows"), 1);
    // A restart of a running shell empties the area as well.
    EXPECT_EQ(runTool({"shell", "restart"}).exitCode, 0);
    tray.waitFor(taskbarCreated, 2);
    EXPECT_EQ(tray.seenOf(taskbarCreated).size(), 2u);
    EXPECT_EQ(runTool({"shell", "up"}).exitCode, 1);
}

TEST(NotifyIcons, ClicksReachTheIconsWindowThroughItsCallbackMessage) {
    Sandbox box;
    TrayWindow tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(notifyIcon(kNimAdd, trayIcon(kNifMessage | kNifIcon | kNifTip)));
    NotifyIconData silent = trayIcon(kNifIcon);
    silent.id = 3;
    ASSERT_TRUE(notifyIcon(kNimAdd, silent));

    using namespace platform::ui;
    struct Case {
        const char* click;
        std::vector<std::int64_t> mice;
    };
    const Case cases[] = {
        {"right-click", {kWmRButtonDown, kWmRButtonUp}},
        {"double-click", {kWmLButtonDown, kWmLButtonUp, kWmLButtonDblClk, kWmLButtonUp}},
    };
    std::size_t total = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.click);
        EXPECT_EQ(runTool({"icon", c.click, kTrayClass}).exitCode, 0);
        total += c.mice.size();
        const auto seen = tray.waitFor(kTrayMessage, total);
        ASSERT_EQ(seen.size(), total);
        for (std::size_t i = 0; i < c.mice.size(); ++i) {
            const auto& s = seen[total - c.mice.size() + i];
            EXPECT_EQ(s.message, kTrayMessage);
            EXPECT_EQ(s.wParam, 0u); // the icon id
            EXPECT_EQ(s.lParam, c.mice[i]);
        }
    }
    // The cursor sits on the icon the click went to.
    const auto cursor = cursorPos();
    const auto screen = screenSize();
    EXPECT_GT(cursor.x, screen.width / 2);
    EXPECT_GT(cursor.y, screen.height / 2);

    struct Refusal {
        std::vector<std::string> args;
        int exitCode;
    };
    const Refusal refusals[] = {
        {{"icon", "right-click", kTrayClass, "9"}, 2},  // no such icon
        {{"icon", "right-click", "NoSuchWindow"}, 2},   // no such icon
        {{"icon", "double-click", kTrayClass, "3"}, 3}, // no callback message
        {{"icon", "middle-click", kTrayClass}, 1},      // no such click
        {{"icon", "right-click", kTrayClass, "x"}, 1},  // no id
        {{"icon", "right-click"}, 1},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.args[1] + " " + r.args.back());
        EXPECT_EQ(runTool(r.args).exitCode, r.exitCode);
    }
    EXPECT_EQ(tray.seen().size(), total);
    const auto clicks = journalOf("icon.click");
    ASSERT_EQ(clicks.size(), 5u);
    EXPECT_EQ(text(clicks[0], "click"), "right");
    EXPECT_EQ(text(clicks[1], "click"), "double");
    EXPECT_FALSE(flag(clicks[4], "ok"));
}

// Adds an icon of its own window in a child process that then ends.
void addIconAndEnd(const char* className) {
    const pid_t pid = fork();
    if (pid == 0) {
        auto window = platform::MessageWindow::create(className, {});
        NotifyIconData data = trayIcon(kNifMessage | kNifIcon);
        data.window = className;
        _exit(window && notifyIcon(kNimAdd, data) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(NotifyIcons, IconsOfEndedProcessesAreSwept) {
    Sandbox box;
    TrayWindow tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(notifyIcon(kNimAdd, trayIcon(kNifMessage | kNifIcon)));
    addIconAndEnd("GoneA");
    addIconAndEnd("GoneB");
    ASSERT_EQ(notifyIcons().size(), 3u);

    // A click on one finds its process gone and drops it.
    EXPECT_EQ(runTool({"icon", "right-click", "GoneA"}).exitCode, 3);
    EXPECT_EQ(notifyIcons().size(), 2u);
    // The sweep drops the rest of the dead and keeps the living.
    EXPECT_EQ(sweepNotifyIcons(), 1);
    EXPECT_EQ(sweepNotifyIcons(), 0);
    const auto left = notifyIcons();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].window, kTrayClass);
    const auto swept = journalOf("icon.sweep");
    ASSERT_EQ(swept.size(), 2u);
    EXPECT_EQ(text(swept[0], "window"), "GoneA");
    EXPECT_EQ(text(swept[1], "window"), "GoneB");
    EXPECT_NE(number(swept[0], "owner"), getpid());

    // The session tool lists only the living, and the dead one is gone for
    // good: nothing stale stays in the run folder.
    addIconAndEnd("GoneC");
    ASSERT_EQ(notifyIcons().size(), 2u);
    const auto listed = runTool({"icons"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out.find("GoneC"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(kTrayClass), std::string::npos) << listed.out;
    EXPECT_EQ(notifyIcons().size(), 1u);

    // An icon left by an ended process gives way to a new one of its key.
    addIconAndEnd("Heir");
    TrayWindow heir({}, "Heir");
    ASSERT_TRUE(heir.start());
    NotifyIconData data = trayIcon(kNifIcon);
    data.window = "Heir";
    EXPECT_TRUE(notifyIcon(kNimAdd, data));
    EXPECT_FALSE(notifyIcon(kNimAdd, data)); // now a live one holds it
    EXPECT_EQ(journalOf("icon.sweep").size(), 4u);
}

// A process killed while its parent has not yet waited for it (a zombie)
// still answers kill(0), but its window is gone: its icon gives way to the
// next process's, as a killed monitor's does to the one started after it.
TEST(NotifyIcons, AKilledProcessNotYetReapedHoldsNoIcon) {
    Sandbox box;
    TrayWindow tray;
    ASSERT_TRUE(tray.start());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        auto window = platform::MessageWindow::create("Killed", {});
        NotifyIconData data = trayIcon(kNifMessage | kNifIcon);
        data.window = "Killed";
        const char added = window && notifyIcon(kNimAdd, data) ? 1 : 0;
        (void)!write(ready[1], &added, 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char added = 0;
    ASSERT_EQ(read(ready[0], &added, 1), 1);
    close(ready[0]);
    ASSERT_EQ(added, 1);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(notifyIcons().size(), 1u);

    TrayWindow next({}, "Killed");
    ASSERT_TRUE(next.start());
    NotifyIconData data = trayIcon(kNifIcon);
    data.window = "Killed";
    EXPECT_TRUE(notifyIcon(kNimAdd, data));
    const auto icons = notifyIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].owner, getpid());
    EXPECT_EQ(journalOf("icon.sweep").size(), 1u);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
}

} // namespace
