#include "platform/windowlist/WindowList.h"
#include "tests/ui/UiFixture.h"

#include <csignal>
#include <sys/wait.h>

namespace ui_test {
namespace {

// A browser-like window of another process, held open by the desktop-session
// tool until the test ends.
class ForeignWindow {
public:
    ForeignWindow(const std::string& className, const std::string& title)
        : pid_(testing_support::startProgram({CORVANTIX_SESSION_TOOL, "window", className, title},
                                             true)) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (handle_ == 0 && std::chrono::steady_clock::now() < until) {
            handle_ = platform::findWindowByClass(className, title);
            std::this_thread::sleep_for(10ms);
        }
    }
    ~ForeignWindow() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Window handle() const { return handle_; }

private:
    pid_t pid_;
    Window handle_ = 0;
};

bool listedEnabled(Window window) {
    const auto listed = platform::findTopLevelWindow(window);
    return listed && listed->enabled;
}

TEST_F(UiTest, TwoThreadsRunModalLoopsEachEndedByItsOwnAction) {
    Seen first;
    Seen second;
    const auto proc = [](Seen& seen) {
        return [&seen](Window d, std::uint32_t m, WParam w, LParam l) {
            seen.add(m, w);
            return endOnButtons(d, m, w, l);
        };
    };
    ModalThread a(kPlainDialog, proc(first));
    const auto one = waitForOpen(1);
    ASSERT_EQ(one.size(), 1u);
    ModalThread b(kPlainDialog, proc(second));
    const auto both = waitForOpen(2);
    ASSERT_EQ(both.size(), 2u);
    const Window dialogA = both[0];
    const Window dialogB = both[1];

    ASSERT_TRUE(user_.click(dialogB, kIdOk));
    EXPECT_EQ(b.result(), kIdOk);
    EXPECT_FALSE(a.result(0ms).has_value());
    EXPECT_TRUE(isWindow(dialogA));
    EXPECT_FALSE(isWindow(dialogB));

    ASSERT_TRUE(user_.click(dialogA, kIdCancel));
    EXPECT_EQ(a.result(), kIdCancel);
    EXPECT_EQ(first.commands(), std::vector<int>{kIdCancel});
    EXPECT_EQ(second.commands(), std::vector<int>{kIdOk});
    // Every message of a dialog reached it on the thread that runs it.
    for (Seen* seen : {&first, &second}) {
        const auto all = seen->all();
        ASSERT_FALSE(all.empty());
        for (const auto& entry : all) {
            EXPECT_EQ(entry.thread, all.front().thread);
        }
    }
    EXPECT_NE(first.all().front().thread, second.all().front().thread);
}

TEST_F(UiTest, OwnerIsDisabledWhileTheModalDialogRunsAndEnabledAfter) {
    std::promise<Window> ownerMade;
    ModalThread modal([&] {
        const Window owner = createDialog(kPlainDialog, 0, endOnButtons);
        ownerMade.set_value(owner);
        const LResult result = dialogBox(kEntryDialog, owner, endOnButtons);
        // The owner lives on until the user ends it too.
        Message message;
        while (isWindowVisible(owner) && getMessage(message) > 0) {
            if (!isDialogMessage(owner, message)) {
                dispatchMessage(message);
            }
        }
        destroyWindow(owner);
        return result;
    });
    const Window owner = ownerMade.get_future().get();
    ASSERT_NE(owner, 0u);
    const auto open = waitForOpen(2);
    ASSERT_EQ(open.size(), 2u);
    const Window dialog = open[1];
    EXPECT_EQ(getOwner(dialog), owner);
    EXPECT_FALSE(isWindowEnabled(owner));
    EXPECT_FALSE(listedEnabled(owner));
    // The user cannot act on the disabled owner.
    const auto refused = user_.click(owner, kIdOk);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, "the dialog is disabled");

    ASSERT_TRUE(user_.click(dialog, kIdOk));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (isWindow(dialog) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(isWindowEnabled(owner));
    EXPECT_TRUE(listedEnabled(owner));
    ASSERT_TRUE(user_.click(owner, kIdOk));
    EXPECT_EQ(modal.result(), kIdOk);
}

// The confirmation dialogs find the browser's window by its class and are
// owned by it; the browser's window is disabled meanwhile, as any owner.
TEST_F(UiTest, AWindowOfAnotherProcessOwnsADialog) {
    ForeignWindow browser("Chrome_WidgetWin_1", "Bank - Chromium");
    ASSERT_NE(browser.handle(), 0u);
    EXPECT_EQ(platform::findWindowByClass("chrome_widgetwin_1"), browser.handle());
    ModalThread modal(kPlainDialog, endOnButtons, browser.handle());
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_FALSE(listedEnabled(browser.handle()));
    const auto dump = user_.dump(open.front());
    ASSERT_TRUE(dump) << dump.error;
    const JsonValue& dialog = *dump.body.find("dialog");
    EXPECT_EQ(dialog.find("owner")->asNumber(), static_cast<std::int64_t>(browser.handle()));
    EXPECT_EQ(*dialog.find("owner_class")->asString(), "Chrome_WidgetWin_1");
    ASSERT_TRUE(user_.click(open.front(), kIdCancel));
    EXPECT_EQ(modal.result(), kIdCancel);
    EXPECT_TRUE(listedEnabled(browser.handle()));
}

TEST_F(UiTest, TopMostThroughTheSharedWindowList) {
    ModalThread top(kPlainDialog, [](Window d, std::uint32_t m, WParam w, LParam l) -> LResult {
        if (m == kWmInitDialog) {
            setWindowText(d, u"Raised");
            setTopMost(d, true);
        }
        return endOnButtons(d, m, w, l);
    });
    ModalThread plain(kPlainDialog, endOnButtons);
    const auto open = waitForOpen(2);
    ASSERT_EQ(open.size(), 2u);
    int raised = 0;
    for (const Window window : open) {
        const auto listed = platform::findTopLevelWindow(window);
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->className, platform::kDialogWindowClass);
        EXPECT_EQ(listed->owner, getpid());
        const bool isRaised = listed->title == "Raised";
        raised += isRaised ? 1 : 0;
        EXPECT_EQ(listed->topMost, isRaised);
        EXPECT_EQ(isTopMost(window), isRaised);
        const auto dump = user_.dump(window);
        ASSERT_TRUE(dump);
        EXPECT_EQ(dump.body.find("dialog")->find("topmost")->asBool(), isRaised);
        ASSERT_TRUE(user_.click(window, kIdOk));
    }
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(top.result(), kIdOk);
    EXPECT_EQ(plain.result(), kIdOk);
    // Closed dialogs leave the list.
    for (const Window window : open) {
        EXPECT_FALSE(platform::findTopLevelWindow(window));
    }
}

TEST_F(UiTest, AMissingTemplateFailsWithTheLastErrorSet) {
    setLastError(0);
    EXPECT_EQ(dialogBox(9999, 0, endOnButtons), -1);
    EXPECT_EQ(lastError(), kErrorResourceNameNotFound);
    setLastError(0);
    EXPECT_EQ(createDialog(9999, 0, endOnButtons), 0u);
    EXPECT_EQ(lastError(), kErrorResourceNameNotFound);
    // An owner that is no window fails too.
    setLastError(0);
    EXPECT_EQ(dialogBox(kPlainDialog, 0x123456789ull, endOnButtons), -1);
    EXPECT_EQ(lastError(), kErrorInvalidWindowHandle);
    const auto events = user_.events(getpid());
    ASSERT_TRUE(events);
    EXPECT_TRUE(events.body.find("events")->asArray()->empty());
}

// Sent from another thread, a message is handled on the window's own thread
// and its answer comes back; posted, it is handled there too.
TEST_F(UiTest, SendingFromAnotherThreadIsHandledOnTheWindowsThread) {
    Seen seen;
    ModalThread modal(kPlainDialog, [&](Window d, std::uint32_t m, WParam w, LParam l) -> LResult {
        seen.add(m, w);
        if (m == kWmUser + 1) {
            return static_cast<LResult>(w * 2);
        }
        return endOnButtons(d, m, w, l);
    });
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(sendMessage(open.front(), kWmUser + 1, 21, 0), 42);
    ASSERT_TRUE(postMessage(open.front(), kWmUser + 2, 7, 0));
    ASSERT_TRUE(user_.click(open.front(), kIdOk));
    EXPECT_EQ(modal.result(), kIdOk);
    const auto all = seen.all();
    const auto dialogThread = all.front().thread;
    bool sent = false;
    bool posted = false;
    for (const auto& entry : all) {
        EXPECT_EQ(entry.thread, dialogThread);
        sent = sent || (entry.message == kWmUser + 1 && entry.wParam == 21);
        posted = posted || (entry.message == kWmUser + 2 && entry.wParam == 7);
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(posted);
    EXPECT_NE(dialogThread, std::this_thread::get_id());
}

// A modeless dialog with its own pump, as the default change-PIN dialog
// runs: key input passes through the pump (Caps Lock among it), and the pump
// ends on the quit its procedure posts.
TEST_F(UiTest, AModelessDialogRunsWithItsOwnPump) {
    Seen pumped;
    std::promise<Window> made;
    ModalThread pump([&]() -> LResult {
        const Window dialog =
            createDialog(kPlainDialog, 0, [](Window, std::uint32_t m, WParam w, LParam) -> LResult {
                if (m == kWmCommand && lowWord(w) == kIdOk) {
                    postQuitMessage(5);
                    return 1;
                }
                return m == kWmInitDialog ? 1 : 0;
            });
        made.set_value(dialog);
        Message message;
        int got = 0;
        while ((got = getMessage(message)) > 0) {
            pumped.add(message.message, message.wParam);
            if (!isDialogMessage(dialog, message)) {
                dispatchMessage(message);
            }
        }
        destroyWindow(dialog);
        return got == 0 ? static_cast<LResult>(message.wParam) : -1;
    });
    const Window dialog = made.get_future().get();
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(waitForOpen(1).size(), 1u);
    ASSERT_TRUE(user_.key(dialog, "capslock"));
    EXPECT_TRUE(capsLockOn());
    EXPECT_EQ(getKeyState(kVkCapital) & 1, 1);
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(pump.result(), 5);
    bool capsSeen = false;
    for (const auto& entry : pumped.all()) {
        capsSeen = capsSeen || (entry.message == kWmKeyDown && entry.wParam == kVkCapital);
    }
    EXPECT_TRUE(capsSeen);
    EXPECT_FALSE(isWindow(dialog));
}

} // namespace
} // namespace ui_test
