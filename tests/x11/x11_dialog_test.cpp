// The visible backend on a private X server: the PIN dialog's keypad on the
// screen as the dialog drew it, its caption as the window's title, clicks
// and keys of the X server entering and ending it through the same paths
// the scripted user takes, a disabled button shown greyed and deaf to
// clicks, and the default backend's choice.

#include "control/ui/UIConfirm.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/X11Backend.h"
#include "tests/control/ui/PinUiFixture.h"
#include "tests/x11/XvfbServer.h"

#include <X11/keysym.h>

#include <map>
#include <set>
#include <sys/wait.h>

namespace x11_test {
namespace {

using namespace pin_ui_test;
using platform::utf16ToUtf8;

// The dialog's controls by id, as the model holds them now.
const ControlSnapshot* controlById(const DialogSnapshot& d, int id) {
    for (const auto& c : d.controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

std::u16string labelOf(const ControlSnapshot& c) {
    for (const auto& op : c.drawing) {
        if (const auto* text = std::get_if<DrawnText>(&op)) {
            return text->text;
        }
    }
    return {};
}

// The darkest channel value inside a rectangle of an image.
int darkest(const TestDisplay::Image& image, const Rect& r) {
    int low = 255;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            const auto p = image.at(x, y);
            low = std::min({low, int(redOf(p)), int(greenOf(p)), int(blueOf(p))});
        }
    }
    return low;
}

Rect inset(const Rect& r, int by) {
    return {r.left + by, r.top + by, r.right - by, r.bottom - by};
}

// The scripted backend of the PIN tests inside a visible one.
class VisiblePin : public PinUi {
protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb_.name().empty()) << "Xvfb did not start";
        PinUi::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        visible_ = X11Backend::start(backend_);
        ASSERT_TRUE(visible_);
        setBackend(visible_);
        screen_ = std::make_unique<TestDisplay>(xvfb_.name());
        ASSERT_NE(screen_->get(), nullptr);
    }
    void TearDown() override {
        PinUi::TearDown();
        visible_.reset();
        screen_.reset();
    }

    // The X window of a dialog once all it drew so far is on the screen.
    unsigned long shown(Window dialog) {
        EXPECT_TRUE(visible_->waitShown(dialog, 5s));
        return visible_->xWindowOf(dialog);
    }

    // The entry field's length as the scripted user reads it, once it is n.
    bool pinLengthBecomes(Window dialog, int n) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < until) {
            const JsonValue d = dump(dialog);
            const JsonValue* edit = controlOf(d, kUiPinEdit);
            if (edit != nullptr && edit->find("length")->asNumber() == n) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    XvfbServer xvfb_;
    std::shared_ptr<X11Backend> visible_;
    std::unique_ptr<TestDisplay> screen_;
};

TEST_F(VisiblePin, TheKeypadIsOnTheScreenAsTheDialogDrewIt) {
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const unsigned long window = shown(dialog);
    ASSERT_NE(window, 0u);
    const auto snapshot = snapshotDialog(dialog);
    ASSERT_TRUE(snapshot);

    ASSERT_FALSE(snapshot->caption.empty());
    EXPECT_EQ(screen_->property(window, "_NET_WM_NAME"), utf16ToUtf8(snapshot->caption));
    char* name = nullptr;
    ASSERT_NE(XFetchName(screen_->get(), window, &name), 0);
    EXPECT_EQ(std::string(name), utf16ToUtf8(snapshot->caption));
    XFree(name);

    const auto image = screen_->capture(window);
    ASSERT_EQ(image.width, snapshot->clientRect.width());
    ASSERT_EQ(image.height, snapshot->clientRect.height());
    // The dialog's background: the colour most pixels outside its controls have.
    std::map<std::uint32_t, int> counts;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const bool inControl = std::any_of(snapshot->controls.begin(), snapshot->controls.end(),
                                               [&](const auto& c) {
                                                   return c.visible && c.rect.contains({x, y});
                                               });
            if (!inControl) {
                ++counts[image.at(x, y)];
            }
        }
    }
    ASSERT_FALSE(counts.empty());
    const auto background =
        std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        })->first;

    std::set<std::u16string> labels;
    std::set<std::vector<std::uint32_t>> faces;
    for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
        const ControlSnapshot* key = controlById(*snapshot, id);
        ASSERT_NE(key, nullptr) << id;
        ASSERT_TRUE(key->visible) << id;
        labels.insert(labelOf(*key));
        std::vector<std::uint32_t> face;
        int plain = 0;
        for (int y = key->rect.top; y < key->rect.bottom; ++y) {
            for (int x = key->rect.left; x < key->rect.right; ++x) {
                face.push_back(image.at(x, y));
                plain += image.at(x, y) == background ? 1 : 0;
            }
        }
        EXPECT_LT(plain * 2, static_cast<int>(face.size())) << "key " << id << " is not drawn";
        faces.insert(std::move(face));
    }
    EXPECT_EQ(labels.size(), 10u);
    // Ten different labels make ten different pictures.
    EXPECT_EQ(faces.size(), 10u);
}

TEST_F(VisiblePin, ClicksOnTheKeysEnterThePinAndOkHandsItOut) {
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const unsigned long window = shown(dialog);
    ASSERT_NE(window, 0u);
    const std::string pin = "4829";
    for (std::size_t i = 0; i < pin.size(); ++i) {
        // The keys' places are read again for every digit: a keypad may
        // shuffle them.
        ASSERT_TRUE(visible_->waitShown(dialog, 5s));
        const auto snapshot = snapshotDialog(dialog);
        ASSERT_TRUE(snapshot);
        const ControlSnapshot* key = nullptr;
        for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
            const ControlSnapshot* c = controlById(*snapshot, id);
            if (c != nullptr && labelOf(*c) == std::u16string(1, char16_t(pin[i]))) {
                key = c;
            }
        }
        ASSERT_NE(key, nullptr) << pin[i];
        screen_->click(window, (key->rect.left + key->rect.right) / 2,
                       (key->rect.top + key->rect.bottom) / 2);
        ASSERT_TRUE(pinLengthBecomes(dialog, static_cast<int>(i + 1))) << pin[i];
    }
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*controlOf(d, kUiPinEdit)->find("masked")->asBool(), true);
    const auto snapshot = snapshotDialog(dialog);
    ASSERT_TRUE(snapshot);
    const ControlSnapshot* ok = controlById(*snapshot, kIdOk);
    ASSERT_NE(ok, nullptr);
    screen_->click(window, (ok->rect.left + ok->rect.right) / 2,
                   (ok->rect.top + ok->rect.bottom) / 2);
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), pin);
}

TEST_F(VisiblePin, EscapeOnTheKeyboardCancels) {
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const unsigned long window = shown(dialog);
    ASSERT_NE(window, 0u);
    Display* x = screen_->get();
    // Keys go where the pointer is when nobody manages the focus.
    screen_->click(window, 1, 1, 3);
    const KeyCode escape = XKeysymToKeycode(x, XK_Escape);
    XTestFakeKeyEvent(x, escape, True, CurrentTime);
    XTestFakeKeyEvent(x, escape, False, CurrentTime);
    XSync(x, False);
    EXPECT_EQ(request.result(), kCtlCancelled);
    EXPECT_EQ(request.pin(), "");
}

// The transfer confirmation with no card reader at all: OK stays disabled.
class VisibleConfirm : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(xvfb_.name().empty()) << "Xvfb did not start";
        useManualClock();
        scripted_ = ScriptedBackend::start();
        ASSERT_TRUE(scripted_);
        visible_ = X11Backend::start(scripted_);
        ASSERT_TRUE(visible_);
        setBackend(visible_);
        screen_ = std::make_unique<TestDisplay>(xvfb_.name());
        g_szReaderPrompt.set(u"轉帳確認");
        g_szOutAccount.set(u"0123-456-789");
        g_szInAccount.set(u"9876-543-210");
        g_szAmount.set(u"1,500");
    }
    void TearDown() override {
        setBackend(nullptr);
        visible_.reset();
        scripted_.reset();
        useRealClock();
    }

    testing_support::Sandbox box_;
    XvfbServer xvfb_;
    std::shared_ptr<ScriptedBackend> scripted_;
    std::shared_ptr<X11Backend> visible_;
    std::unique_ptr<TestDisplay> screen_;
    Client user_{getpid()};
};

TEST_F(VisibleConfirm, ADisabledOkIsDrawnGreyAndIgnoresClicks) {
    ModalThread request([] { return static_cast<LResult>(UI_TransferConfirmDlg("")); });
    const auto dialog = user_.waitForDialog(kUiTransferConfirmDialog, 5s);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(visible_->waitShown(*dialog, 5s));
    const unsigned long window = visible_->xWindowOf(*dialog);
    const auto snapshot = snapshotDialog(*dialog);
    ASSERT_TRUE(snapshot);
    const ControlSnapshot* ok = controlById(*snapshot, kIdOk);
    const ControlSnapshot* cancel = controlById(*snapshot, kIdCancel);
    ASSERT_TRUE(ok != nullptr && cancel != nullptr);
    ASSERT_FALSE(ok->enabled);
    ASSERT_TRUE(cancel->enabled);

    // Inside the frames, the disabled label is grey and the enabled one dark.
    const auto image = screen_->capture(window);
    ASSERT_EQ(image.width, snapshot->clientRect.width());
    EXPECT_GT(darkest(image, inset(ok->rect, 5)), 90);
    EXPECT_LT(darkest(image, inset(cancel->rect, 5)), 60);

    screen_->click(window, (ok->rect.left + ok->rect.right) / 2,
                   (ok->rect.top + ok->rect.bottom) / 2);
    // Actions are handled in order: the Cancel after it ends the dialog, so
    // an OK taken would have ended it first with its own result.
    screen_->click(window, (cancel->rect.left + cancel->rect.right) / 2,
                   (cancel->rect.top + cancel->rect.bottom) / 2);
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// The backend a process makes for its first dialog: the choice is made
// once per process, so each case runs this program again, which then only
// opens a dialog and reports (0 visible, 1 scripted, 2 none, 3 something
// failed) before the tests would start.
constexpr const char* kReportVariable = "X11_TEST_BACKEND_REPORT";

int reportDefaultBackend() {
    registerTestTemplates();
    int code = 3;
    ModalThread dialog(kPlainDialog, endOnButtons);
    const auto open = waitForOpen(1);
    const auto backend = currentBackend();
    if (open.size() == 1) {
        code = std::dynamic_pointer_cast<X11Backend>(backend)        ? 0
               : std::dynamic_pointer_cast<ScriptedBackend>(backend) ? 1
               : backend == nullptr                                  ? 2
                                                                     : 3;
    }
    // Under the visible one the scripted user still drives it.
    if (code == 0 && !Client(getpid()).click(open.front(), kIdOk)) {
        code = 3;
    }
    return code;
}

[[maybe_unused]] const bool kReported = [] {
    const char* report = std::getenv(kReportVariable);
    if (report == nullptr) {
        return false;
    }
    const int code = reportDefaultBackend();
    if (FILE* out = std::fopen(report, "w")) {
        std::fprintf(out, "%d", code);
        std::fclose(out);
    }
    std::exit(0);
}();

int defaultBackendIn(const std::filesystem::path& report, const char* setting,
                     const char* display) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("CORVANTIX_UI_BACKEND=")) {
            env.emplace_back(entry);
        }
    }
    if (setting != nullptr) {
        env.push_back(std::string("CORVANTIX_UI_BACKEND=") + setting);
    }
    if (display != nullptr) {
        env.push_back(std::string("DISPLAY=") + display);
    }
    env.push_back(std::string(kReportVariable) + "=" + report.string());
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    char* argv[] = {self.data(), nullptr};
    std::filesystem::remove(report);
    pid_t child = 0;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
        return 3;
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::string code = testing_support::Sandbox::read(report);
    return WIFEXITED(status) && !code.empty() ? std::stoi(code) : 3;
}

TEST(DefaultBackend, IsTheVisibleOneWhereADisplayIsNamed) {
    testing_support::Sandbox box;
    XvfbServer xvfb;
    ASSERT_FALSE(xvfb.name().empty());
    const std::string name = xvfb.name();
    struct Case {
        const char* setting;
        const char* display;
        int backend;
    };
    const Case cases[] = {
        {nullptr, nullptr, 1},
        {nullptr, "", 1},
        {nullptr, name.c_str(), 0},
        {"scripted", name.c_str(), 1},
        {"none", name.c_str(), 2},
        {"x11", name.c_str(), 0},
        {"x11", nullptr, 1},
        {"anything", name.c_str(), 0},
        // A display named that does not answer leaves the scripted one.
        {nullptr, ":999", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(defaultBackendIn(box.root() / "report", c.setting, c.display), c.backend)
            << (c.setting ? c.setting : "(unset)") << " on " << (c.display ? c.display : "(unset)");
    }
}

} // namespace
} // namespace x11_test
