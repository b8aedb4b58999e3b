// Message boxes shown from a window's thread: modal, found by their title
// from another process, the window's loop going on meanwhile, and a quit of
// that loop ending them.

#include "platform/shell/NotifyIcon.h"
#include "platform/shell/ShellMessageBox.h"
#include "platform/ui/Backend.h"
#include "platform/ui/ScriptedBackend.h"
#include "tests/shell/ShellFixture.h"

#include <atomic>
#include <future>

namespace {

using namespace shell_test;
using namespace platform::shell;
using namespace platform::ui;
using testing_support::Sandbox;

constexpr const char16_t* kAboutTitle = u"VondelCorvantix Monitor";
constexpr const char* kAboutTitleUtf8 = "VondelCorvantix Monitor";

class MessageBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        // A backend of the test's own, in the test's sandbox.
        backend_ = ScriptedBackend::start();
        ASSERT_TRUE(backend_);
        setBackend(backend_);
    }
    void TearDown() override {
        setBackend(nullptr);
        backend_.reset();
    }

    Sandbox box_;
    std::shared_ptr<ScriptedBackend> backend_;
};

// A tray that shows a box of the given style on a double click of its icon,
// as the monitor shows its About box, and keeps the answers.
class BoxTray {
public:
    explicit BoxTray(std::uint32_t style)
        : tray_([this, style](const platform::WindowMessage& m) {
              if (m.message == kTrayMessage && m.lParam == kWmLButtonDblClk) {
                  open_ = true;
                  const int answer = messageBox(u"Installed: none", kAboutTitle, style);
                  open_ = false;
                  std::lock_guard lock(mutex_);
                  answers_.push_back(answer);
              }
              return 0u;
          }) {}

    bool start() {
        NotifyIconData icon;
        icon.window = kTrayClass;
        icon.flags = kNifMessage;
        icon.callbackMessage = kTrayMessage;
        return tray_.start() && notifyIcon(kNimAdd, icon);
    }
    TrayWindow& tray() { return tray_; }
    bool open() const { return open_; }
    std::optional<int> waitAnswer(std::size_t count = 1) {
        if (!eventually([&] { return answers().size() >= count; })) {
            return std::nullopt;
        }
        return answers()[count - 1];
    }
    std::vector<int> answers() {
        std::lock_guard lock(mutex_);
        return answers_;
    }

private:
    std::atomic<bool> open_{false};
    std::mutex mutex_;
    std::vector<int> answers_;
    TrayWindow tray_;
};

TEST_F(MessageBoxes, AnAboutBoxIsClosedByItsTitleFromAnotherProcess) {
    BoxTray tray(kMbOk | kMbUserIcon | kMbSetForeground);
    ASSERT_TRUE(tray.start());
    EXPECT_EQ(runTool({"icon", "double-click", kTrayClass}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return tray.open(); }));
    // Modal on the tray's thread, yet the tray's loop goes on.
    EXPECT_TRUE(platform::sendCopyData(kTrayClass, 0, "while the box is open"));
    // The box is listed once its window exists, a moment after the tray
    // says it is opening it.
    EXPECT_TRUE(eventually([] {
        return platform::findWindowByClass(platform::kDialogWindowClass, kAboutTitleUtf8) != 0u;
    }));

    EXPECT_EQ(runTool({"msgbox", "close", kAboutTitleUtf8, "--wait", "5000"}).exitCode, 0);
    // A box with only OK answers OK when it is closed.
    EXPECT_EQ(tray.waitAnswer(), kIdOk);
    EXPECT_FALSE(tray.open());
    EXPECT_EQ(platform::findWindowByClass(platform::kDialogWindowClass, kAboutTitleUtf8), 0u);

    const auto entries = journalOf("msgbox.");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(text(entries[0], "op"), "msgbox.open");
    EXPECT_EQ(text(entries[0], "caption"), kAboutTitleUtf8);
    EXPECT_EQ(text(entries[0], "text"), "Installed: none");
    EXPECT_EQ(number(entries[0], "style"), kMbOk | kMbUserIcon | kMbSetForeground);
    EXPECT_EQ(text(entries[1], "op"), "msgbox.close");
    EXPECT_EQ(number(entries[1], "result"), kIdOk);

    // None open any more, and a title nothing has.
    EXPECT_EQ(runTool({"msgbox", "close", kAboutTitleUtf8}).exitCode, 2);
    EXPECT_EQ(runTool({"msgbox", "close", "Nothing"}).exitCode, 2);
}

TEST_F(MessageBoxes, ButtonsAnswerAndOnlyACancellableBoxCloses) {
    struct Case {
        const char* what;
        std::uint32_t style;
        std::vector<std::vector<std::string>> actions; // tool words after "msgbox"
        int answer;
    };
    const std::vector<Case> cases = {
        {"yes", kMbYesNo, {{"answer", kAboutTitleUtf8, "yes"}}, kIdYes},
        {"no", kMbYesNo, {{"answer", kAboutTitleUtf8, "no"}}, kIdNo},
        // Yes and No only: the close box does nothing, a button still ends it.
        {"close ignored",
         kMbYesNo,
         {{"close", kAboutTitleUtf8}, {"answer", kAboutTitleUtf8, "no"}},
         kIdNo},
        {"cancel by closing", kMbOkCancel, {{"close", kAboutTitleUtf8}}, kIdCancel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BoxTray tray(c.style);
        ASSERT_TRUE(tray.start());
        EXPECT_EQ(runTool({"icon", "double-click", kTrayClass}).exitCode, 0);
        for (const auto& action : c.actions) {
            std::vector<std::string> words = {"msgbox"};
            words.insert(words.end(), action.begin(), action.end());
            words.insert(words.end(), {"--wait", "5000"});
            EXPECT_EQ(runTool(words).exitCode, 0);
        }
        EXPECT_EQ(tray.waitAnswer(), c.answer);
        EXPECT_EQ(tray.answers().size(), 1u);
        NotifyIconData icon;
        icon.window = kTrayClass;
        EXPECT_TRUE(notifyIcon(kNimDelete, icon));
    }
    EXPECT_EQ(runTool({"msgbox", "answer", kAboutTitleUtf8, "maybe"}).exitCode, 2);
}

TEST_F(MessageBoxes, AnotherThreadOfTheProgramClosesTheBoxByItsTitle) {
    BoxTray tray(kMbOk);
    ASSERT_TRUE(tray.start());
    EXPECT_FALSE(postCloseByTitle(kAboutTitle)); // none yet
    EXPECT_EQ(runTool({"icon", "double-click", kTrayClass}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return tray.open(); }));
    ASSERT_TRUE(eventually(
        [] { return platform::findWindowByClass(platform::kDialogWindowClass, kAboutTitleUtf8); }));
    // As the key poll's thread does when debug mode is switched.
    auto closer = std::async(std::launch::async, [] { return postCloseByTitle(kAboutTitle); });
    EXPECT_TRUE(closer.get());
    EXPECT_EQ(tray.waitAnswer(), kIdOk);
    const auto closes = journalOf("window.close");
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_FALSE(flag(closes[0], "ok"));
    EXPECT_TRUE(flag(closes[1], "ok"));
    EXPECT_EQ(text(closes[1], "title"), kAboutTitleUtf8);
}

TEST_F(MessageBoxes, AQuitOfTheLoopEndsTheBoxAndTheLoopAroundIt) {
    BoxTray tray(kMbOk);
    ASSERT_TRUE(tray.start());
    EXPECT_EQ(runTool({"icon", "double-click", kTrayClass}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return tray.open(); }));
    tray.tray().window().quit();
    EXPECT_EQ(tray.waitAnswer(), 0);
    EXPECT_EQ(platform::findWindowByClass(platform::kDialogWindowClass, kAboutTitleUtf8), 0u);
    EXPECT_EQ(platform::sendCopyData(kTrayClass, 0, "x", 200).status,
              platform::SendStatus::TimedOut);
}

TEST_F(MessageBoxes, WithoutALoopTheBoxRunsOnTheCallingThread) {
    auto shown = std::async(std::launch::async,
                            [] { return messageBox(u"text", u"Plain box", kMbOkCancel); });
    EXPECT_EQ(runTool({"msgbox", "answer", "Plain box", "cancel", "--wait", "5000"}).exitCode, 0);
    ASSERT_EQ(shown.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(shown.get(), kIdCancel);
}

} // namespace
