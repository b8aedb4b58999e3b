#include "platform/ui/MessageBox.h"
#include "platform/ui/Resources.h"
#include "tests/ui/UiFixture.h"

#include <map>
#include <ostream>
#include <sys/stat.h>

namespace ui_test {
namespace {

constexpr std::uint32_t kKeyFace = 27006;
constexpr std::uint32_t kBackground = 27008;
constexpr std::uint32_t kAbsentBitmap = 27009;
constexpr Colour kWhite = rgb(255, 255, 255);
constexpr Colour kHoverRed = rgb(250, 0, 0);

// A keypad dialog on the entry template, written as the product's dialogs
// are: owner-drawn keys with shuffled labels, subclassed key procedures for
// the hover, the entry field as the target of the keys.
class Keypad {
public:
    explicit Keypad(std::u16string labels = u"739") : labels_(std::move(labels)) {}

    DialogProc proc() {
        return [this](Window d, std::uint32_t m, WParam w, LParam l) { return handle(d, m, w, l); };
    }
    Seen seen;
    Seen keySeen;
    std::u16string entered;

private:
    LResult keyProc(Window key, std::uint32_t message, WParam wParam, LParam lParam) {
        keySeen.add(message, static_cast<WParam>(getDlgCtrlId(key)));
        if (message == kWmMouseMove) {
            hovered_ = getDlgCtrlId(key);
            trackMouseLeave(key);
            invalidateRect(key, false);
        } else if (message == kWmMouseLeave) {
            hovered_ = -1;
            invalidateRect(key, false);
        }
        return callWindowProc(old_[key], key, message, wParam, lParam);
    }

    LResult handle(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
        seen.add(message, wParam);
        switch (message) {
        case kWmInitDialog:
            for (int id = kKeyFirst; id < kKeyFirst + 3; ++id) {
                const Window key = getDlgItem(dialog, id);
                old_[key] = setWindowProc(key, [this](Window k, std::uint32_t m, WParam w,
                                                      LParam l) { return keyProc(k, m, w, l); });
            }
            editLimitText(getDlgItem(dialog, kPinEdit), 12);
            setFocus(getDlgItem(dialog, kPinEdit));
            return 0;
        case kWmDrawItem: {
            auto* item = reinterpret_cast<DrawItem*>(lParam);
            item->dc->drawBitmap(kKeyFace, item->rect);
            item->dc->setFont({u"PMingLiU", 18, kFontWeightNormal, 0, kChineseBig5Charset});
            item->dc->setBackgroundMode(BackgroundMode::Transparent);
            item->dc->setTextColour(item->controlId == hovered_ ? kHoverRed : kWhite);
            const char16_t label = labels_[static_cast<std::size_t>(item->controlId - kKeyFirst)];
            item->dc->drawText(std::u16string_view(&label, 1), item->rect,
                               kDtCenter | kDtVCenter | kDtSingleLine);
            return 1;
        }
        case kWmPaint: {
            auto paint = beginPaint(dialog);
            const auto client = getClientRect(dialog);
            paint.dc().drawBitmap(kBackground, *client);
            paint.dc().drawBitmap(kAbsentBitmap, *client);
            return 1;
        }
        case kWmCtlColorStatic:
            if (static_cast<Window>(lParam) == getDlgItem(dialog, kLabel)) {
                drawContextOf(wParam)->setTextColour(rgb(255, 0, 0));
                drawContextOf(wParam)->setBackgroundMode(BackgroundMode::Transparent);
                return hollowBrush();
            }
            return 0;
        case kWmCommand: {
            const int id = lowWord(wParam);
            if (id >= kKeyFirst && id < kKeyFirst + 3) {
                const Window edit = getDlgItem(dialog, kPinEdit);
                const char16_t label = labels_[static_cast<std::size_t>(id - kKeyFirst)];
                editReplaceSel(edit, std::u16string_view(&label, 1));
                setFocus(edit);
                return 1;
            }
            if (id == kIdOk) {
                entered = getDlgItemText(dialog, kPinEdit);
                endDialog(dialog, 0);
                return 1;
            }
            if (id == kIdCancel) {
                endDialog(dialog, 5070);
                return 1;
            }
            return 0;
        }
        case kWmDestroy:
            for (auto& [key, proc] : old_) {
                setWindowProc(key, proc);
            }
            return 1;
        default:
            return 0;
        }
    }

    std::u16string labels_;
    int hovered_ = -1;
    std::map<Window, WindowProc> old_;
};

class ScriptedUser : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        registerBitmap(kKeyFace, {60, 60});
        registerBitmap(kBackground, {460, 292});
        unregisterBitmap(kAbsentBitmap);
    }

    // A keypad dialog open on its own thread.
    Window openKeypad(Keypad& keypad, std::unique_ptr<ModalThread>& modal) {
        modal = std::make_unique<ModalThread>(kEntryDialog, keypad.proc());
        const auto open = waitForOpen(1);
        return open.size() == 1 ? open.front() : 0;
    }
};

const JsonValue* controlOf(const JsonValue& dialog, int id) {
    for (const auto& control : *dialog.find("controls")->asArray()) {
        if (control.find("id")->asNumber() == id) {
            return &control;
        }
    }
    return nullptr;
}

std::string drawnColour(const JsonValue& control) {
    const auto* drawn = control.find("drawn")->asArray();
    for (const auto& op : *drawn) {
        if (op.find("text") != nullptr) {
            return *op.find("colour")->asString();
        }
    }
    return "";
}

TEST_F(ScriptedUser, ADumpShowsThePasswordMaskedAndNeverItsText) {
    Keypad keypad;
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.type(dialog, "246813"));

    const auto reply = user_.dump(dialog);
    ASSERT_TRUE(reply) << reply.error;
    const std::string whole = platform::ui::serializeJson(reply.body);
    EXPECT_EQ(whole.find("246813"), std::string::npos);
    EXPECT_EQ(whole.find("2468"), std::string::npos);
    const JsonValue& d = *reply.body.find("dialog");
    EXPECT_EQ(*d.find("caption")->asString(), "Enter PIN");
    EXPECT_EQ(d.find("template")->asNumber(), kEntryDialog);
    EXPECT_EQ(d.find("focus")->asNumber(), kPinEdit);

    const JsonValue* pin = controlOf(d, kPinEdit);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(*pin->find("text")->asString(), "******");
    EXPECT_EQ(pin->find("masked")->asBool(), true);
    EXPECT_EQ(pin->find("length")->asNumber(), 6);
    EXPECT_EQ(pin->find("selection")->asArray()->at(0).asNumber(), 6);

    const JsonValue* amount = controlOf(d, kAmountEdit);
    ASSERT_NE(amount, nullptr);
    EXPECT_EQ(*amount->find("text")->asString(), "1,500");
    EXPECT_EQ(amount->find("readonly")->asBool(), true);
    EXPECT_EQ(amount->find("masked")->asBool(), false);

    // The background was drawn from the present bitmap only.
    const auto& drawn = *d.find("drawn")->asArray();
    std::vector<std::int64_t> bitmaps;
    for (const auto& op : drawn) {
        if (const JsonValue* id = op.find("bitmap")) {
            bitmaps.push_back(*id->asNumber());
        }
    }
    EXPECT_EQ(bitmaps, std::vector<std::int64_t>{kBackground});

    // Each key's face and label, in its font and colour.
    const JsonValue* key = controlOf(d, kKeyFirst + 1);
    ASSERT_NE(key, nullptr);
    const auto& keyOps = *key->find("drawn")->asArray();
    ASSERT_EQ(keyOps.size(), 2u);
    EXPECT_EQ(keyOps[0].find("bitmap")->asNumber(), kKeyFace);
    EXPECT_EQ(*keyOps[1].find("text")->asString(), "3");
    EXPECT_EQ(*keyOps[1].find("font")->find("face")->asString(), "PMingLiU");
    EXPECT_EQ(keyOps[1].find("font")->find("height")->asNumber(), 18);
    EXPECT_EQ(keyOps[1].find("font")->find("weight")->asNumber(), 400);
    EXPECT_EQ(*keyOps[1].find("colour")->asString(), "#ffffff");
    EXPECT_EQ(keyOps[1].find("transparent")->asBool(), true);

    // The label's colours as the dialog chose them.
    const JsonValue* label = controlOf(d, kLabel);
    EXPECT_EQ(*label->find("colour")->asString(), "#ff0000");
    EXPECT_TRUE(label->find("background")->isNull());

    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(modal->result(), 0);
    EXPECT_EQ(keypad.entered, u"246813");
}

TEST_F(ScriptedUser, KeysArePressedByTheLabelDrawnOnThem) {
    Keypad keypad(u"739");
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    for (const char* label : {"3", "9", "7", "3"}) {
        ASSERT_TRUE(user_.press(dialog, label)) << label;
    }
    const auto missing = user_.press(dialog, "5");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, "no key with that label");
    EXPECT_EQ(keypad.seen.commands(),
              (std::vector<int>{kKeyFirst + 1, kKeyFirst + 2, kKeyFirst, kKeyFirst + 1}));
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(modal->result(), 0);
    EXPECT_EQ(keypad.entered, u"3973");
}

TEST_F(ScriptedUser, HoverReachesTheSubclassedKeyAndLeavingIsNoticed) {
    Keypad keypad;
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    const auto colours = [&] {
        const auto reply = user_.dump(dialog);
        std::vector<std::string> out;
        for (int id = kKeyFirst; id < kKeyFirst + 3; ++id) {
            out.push_back(drawnColour(*controlOf(*reply.body.find("dialog"), id)));
        }
        return out;
    };
    EXPECT_EQ(colours(), (std::vector<std::string>{"#ffffff", "#ffffff", "#ffffff"}));
    ASSERT_TRUE(user_.hover(dialog, kKeyFirst + 1));
    EXPECT_EQ(colours(), (std::vector<std::string>{"#ffffff", "#fa0000", "#ffffff"}));
    ASSERT_TRUE(user_.hover(dialog, kKeyFirst + 2));
    EXPECT_EQ(colours(), (std::vector<std::string>{"#ffffff", "#ffffff", "#fa0000"}));
    ASSERT_TRUE(user_.hoverOff());
    EXPECT_EQ(colours(), (std::vector<std::string>{"#ffffff", "#ffffff", "#ffffff"}));
    std::vector<std::pair<std::uint32_t, int>> mouse;
    for (const auto& e : keypad.keySeen.all()) {
        if (e.message == kWmMouseMove || e.message == kWmMouseLeave) {
            mouse.emplace_back(e.message, static_cast<int>(e.wParam));
        }
    }
    EXPECT_EQ(mouse, (std::vector<std::pair<std::uint32_t, int>>{{kWmMouseMove, kKeyFirst + 1},
                                                                 {kWmMouseLeave, kKeyFirst + 1},
                                                                 {kWmMouseMove, kKeyFirst + 2},
                                                                 {kWmMouseLeave, kKeyFirst + 2}}));
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(modal->result(), 5070);
}

TEST_F(ScriptedUser, DisabledAndHiddenControlsCannotBeClicked) {
    Keypad keypad;
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    const auto disabled = user_.click(dialog, kDisabledButton);
    EXPECT_FALSE(disabled.ok);
    EXPECT_EQ(disabled.error, "the control is disabled");
    const auto hidden = user_.click(dialog, kHiddenButton);
    EXPECT_FALSE(hidden.ok);
    EXPECT_EQ(hidden.error, "the control is hidden");
    const auto unknown = user_.click(dialog, 999);
    EXPECT_FALSE(unknown.ok);
    EXPECT_TRUE(keypad.seen.commands().empty());

    enableWindow(getDlgItem(dialog, kDisabledButton), true);
    showWindow(getDlgItem(dialog, kHiddenButton), true);
    ASSERT_TRUE(user_.click(dialog, kDisabledButton));
    ASSERT_TRUE(user_.click(dialog, kHiddenButton));
    EXPECT_EQ(keypad.seen.commands(), (std::vector<int>{kDisabledButton, kHiddenButton}));
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(modal->result(), 5070);
}

TEST_F(ScriptedUser, FocusSelectionAndKeysGoThroughTheDialog) {
    Keypad keypad;
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.focus(dialog, kIdCancel));
    EXPECT_EQ(user_.dump(dialog).body.find("dialog")->find("focus")->asNumber(), kIdCancel);
    // Typing needs the entry field to have the focus; the Cancel button
    // takes no characters.
    ASSERT_TRUE(user_.type(dialog, "99"));
    ASSERT_TRUE(user_.focus(dialog, kPinEdit));
    ASSERT_TRUE(user_.type(dialog, "1234"));
    ASSERT_TRUE(user_.select(dialog, kPinEdit, 1, 3));
    const auto dump = user_.dump(dialog);
    const auto* selection = controlOf(*dump.body.find("dialog"), kPinEdit)->find("selection");
    EXPECT_EQ(selection->asArray()->at(0).asNumber(), 1);
    EXPECT_EQ(selection->asArray()->at(1).asNumber(), 3);
    ASSERT_TRUE(user_.type(dialog, "x"));
    ASSERT_TRUE(user_.key(dialog, "backspace"));
    ASSERT_TRUE(user_.type(dialog, "5"));
    ASSERT_TRUE(user_.key(dialog, "enter"));
    EXPECT_EQ(modal->result(), 0);
    EXPECT_EQ(keypad.entered, u"154");
}

struct CloseCase {
    const char* name;
    const char* key; // nullptr: the close box
    LResult result;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class Closing : public UiTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(Closing, EndsThroughTheDialogsOwnButtons) {
    ModalThread modal(kPlainDialog, endOnButtons);
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    const auto reply =
        GetParam().key ? user_.key(open.front(), GetParam().key) : user_.close(open.front());
    ASSERT_TRUE(reply) << reply.error;
    EXPECT_EQ(modal.result(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Ways, Closing,
                         ::testing::Values(CloseCase{"Enter", "enter", kIdOk},
                                           CloseCase{"EnterInCapitals", "ENTER", kIdOk},
                                           CloseCase{"Escape", "escape", kIdCancel},
                                           CloseCase{"CloseBox", nullptr, kIdCancel}),
                         [](const auto& info) { return std::string(info.param.name); });

struct MalformedCase {
    const char* name;
    std::string line; // "W" stands for the dialog's window
    const char* error;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
    *os << c.name;
}

const MalformedCase kMalformed[] = {
    {"Empty", "", "malformed request: value missing"},
    {"NotJson", "click 1", "malformed request: unexpected character"},
    {"Truncated", R"({"op":"click","window":W,)", "malformed request: expected a key"},
    {"NoObject", "[1,2]", "the request is no object"},
    {"NoOp", R"({"window":W})", "the request has no op"},
    {"OpNotText", R"({"op":1})", "wrong type of field op"},
    {"UnknownOp", R"({"op":"explode","window":W})", "unknown op"},
    {"MissingControl", R"({"op":"click","window":W})", "missing field control"},
    {"WindowAsText", R"({"op":"click","window":"W","control":1})", "wrong type of field window"},
    {"Fraction", R"({"op":"click","window":W,"control":1.5})",
     "malformed request: only whole numbers are allowed"},
    {"DuplicateKey", R"({"op":"click","op":"close","window":W,"control":1})",
     "malformed request: duplicate key"},
    {"TextNotText", R"({"op":"type","window":W,"text":123})", "wrong type of field text"},
    {"ControlOutOfRange", R"({"op":"click","window":W,"control":99999999})",
     "field control out of range"},
    {"NegativeTimeout", R"({"op":"click","window":W,"control":1,"timeout_ms":-1})",
     "field timeout_ms out of range"},
    {"BadUtf8", "{\"op\":\"type\",\"window\":W,\"text\":\"\xff\"}",
     "malformed request: text is not UTF-8"},
    {"UnknownKey", R"({"op":"key","window":W,"key":"hyperspace"})",
     "unknown key (enter, escape, tab, backspace, delete, left, right, home, end, space, "
     "capslock, a letter, a digit or a code 1-255)"},
    {"UnknownButton", R"({"op":"answer","window":W,"button":"maybe"})",
     "unknown button (ok, cancel, abort, retry, ignore, yes, no)"},
    {"NotAMessageBox", R"({"op":"answer","window":W,"button":"ok"})", "no such open message box"},
    {"TooLong", std::string(kScriptedMaxLine + 10, ' '), "the line is too long"},
};

class Malformed : public ScriptedUser, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(Malformed, RequestsGetAnErrorAndChangeNothing) {
    Keypad keypad;
    std::unique_ptr<ModalThread> modal;
    const Window dialog = openKeypad(keypad, modal);
    ASSERT_NE(dialog, 0u);
    const auto before = platform::ui::serializeJson(user_.dump(dialog).body);
    std::string line = GetParam().line;
    for (std::size_t at; (at = line.find('W')) != std::string::npos;) {
        line.replace(at, 1, std::to_string(dialog));
    }
    const auto answer = Client::askRaw({backend_->socketPath(), getpid()}, line);
    ASSERT_TRUE(answer);
    const auto parsed = platform::ui::parseJson(*answer);
    ASSERT_TRUE(parsed.value) << *answer;
    EXPECT_EQ(parsed.value->find("ok")->asBool(), false);
    EXPECT_EQ(*parsed.value->find("error")->asString(), GetParam().error);
    EXPECT_EQ(platform::ui::serializeJson(user_.dump(dialog).body), before);
    EXPECT_TRUE(keypad.seen.commands().empty());
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(modal->result(), 5070);
}

INSTANTIATE_TEST_SUITE_P(Lines, Malformed, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScriptedUser, RequestsForADialogThatIsGoneAreErrors) {
    ModalThread modal(kPlainDialog, endOnButtons);
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_TRUE(user_.click(open.front(), kIdOk));
    EXPECT_EQ(modal.result(), kIdOk);
    for (const auto& reply : {user_.click(open.front(), kIdOk), user_.dump(open.front()),
                              user_.type(open.front(), "1"), user_.close(open.front())}) {
        EXPECT_FALSE(reply.ok);
        EXPECT_TRUE(reply.error.starts_with("no such")) << reply.error;
    }
    // Its result stays known.
    const auto closed = user_.waitClose(open.front(), 1s);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed.body.find("result")->asNumber(), kIdOk);
    const auto never = user_.waitClose(open.front() + 1000, 100ms);
    EXPECT_FALSE(never.ok);
}

TEST_F(ScriptedUser, EventsTellWhetherADialogAppeared) {
    const auto start = user_.events(getpid());
    ASSERT_TRUE(start);
    const auto mark = static_cast<std::uint64_t>(*start.body.find("next")->asNumber());
    // A dialog that ends during its start is never shown.
    EXPECT_EQ(dialogBox(kPlainDialog, 0,
                        [](Window d, std::uint32_t m, WParam, LParam) -> LResult {
                            if (m == kWmInitDialog) {
                                endDialog(d, 9);
                            }
                            return 1;
                        }),
              9);
    const auto quiet = user_.events(getpid(), mark);
    ASSERT_TRUE(quiet);
    EXPECT_TRUE(quiet.body.find("events")->asArray()->empty());

    ModalThread modal(kPlainDialog, endOnButtons);
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    ASSERT_TRUE(user_.click(open.front(), kIdCancel));
    EXPECT_EQ(modal.result(), kIdCancel);
    const auto events = user_.events(getpid(), mark);
    ASSERT_TRUE(events);
    const auto& list = *events.body.find("events")->asArray();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(*list[0].find("type")->asString(), "opened");
    EXPECT_EQ(*list[1].find("type")->asString(), "closed");
    EXPECT_EQ(list[1].find("result")->asNumber(), kIdCancel);
    EXPECT_EQ(list[1].find("template")->asNumber(), kPlainDialog);
}

// The program the tests of the later dialogs drive, answering a message box
// of this process from its own.
TEST_F(ScriptedUser, AMessageBoxIsAnsweredFromAnotherProcess) {
    ModalThread box([] {
        return static_cast<LResult>(messageBox(0, u"Proceed with the transfer?", u"Question",
                                               kMbYesNo | kMbIconQuestion | kMbTopMost));
    });
    const auto opened =
        testing_support::runProgramCapture({CORVANTIX_USER_TOOL, "wait-messagebox"});
    ASSERT_EQ(opened.exitCode, 0);
    const std::string window = opened.out.substr(0, opened.out.find('\n'));
    const auto dump = testing_support::runProgramCapture({CORVANTIX_USER_TOOL, "dump", window});
    ASSERT_EQ(dump.exitCode, 0);
    EXPECT_NE(dump.out.find("Proceed with the transfer?"), std::string::npos);
    EXPECT_NE(dump.out.find("\"kind\":\"messagebox\""), std::string::npos);
    EXPECT_NE(dump.out.find("\"topmost\":true"), std::string::npos);
    // A button the box does not have is refused.
    EXPECT_EQ(testing_support::runProgram({CORVANTIX_USER_TOOL, "answer", window, "cancel"}), 2);
    // Button names are taken as a person types them.
    EXPECT_EQ(testing_support::runProgram({CORVANTIX_USER_TOOL, "answer", window, "No"}), 0);
    EXPECT_EQ(box.result(), kIdNo);
    const auto closed =
        testing_support::runProgramCapture({CORVANTIX_USER_TOOL, "wait-close", window});
    EXPECT_EQ(closed.exitCode, 0);
    EXPECT_EQ(closed.out, "7\n");
    EXPECT_EQ(testing_support::runProgram({CORVANTIX_USER_TOOL, "bogus"}), 1);
}

// The socket is the user's alone, and the client uses no socket that
// anybody else could have made or could reach.
TEST_F(ScriptedUser, OnlyTheUsersOwnPrivateSocketIsUsed) {
    struct stat socket {};
    ASSERT_EQ(::stat(backend_->socketPath().c_str(), &socket), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 0777, 0600u);
    EXPECT_EQ(socket.st_uid, geteuid());
    struct stat folder {};
    ASSERT_EQ(::stat(scriptedSocketFolder().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    JsonValue list;
    list.set("op", "list");
    const corvantix_user::Endpoint self{backend_->socketPath(), getpid()};
    EXPECT_TRUE(Client::ask(self, list));
    ASSERT_EQ(::chmod(backend_->socketPath().c_str(), 0666), 0);
    const auto refused = Client::ask(self, list);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.body.isNull());
    ASSERT_EQ(::chmod(backend_->socketPath().c_str(), 0600), 0);
    EXPECT_TRUE(Client::ask(self, list));
}

// Another account made the user's run folder first (as it can in /tmp):
// it is left alone, and the dialogs work in a private folder beside it,
// which the scripted user's own process finds too.
class SquattedRunFolder : public UiTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to play another account (setpriv)";
        }
        // The sandbox's root stands for /tmp.
        ASSERT_EQ(::chmod(box_.root().c_str(), 01777), 0);
        ASSERT_EQ(testing_support::runAsStranger("mkdir -m 0755 '" + run().string() + "'"), 0);
        UiTest::SetUp();
    }
    std::filesystem::path run() const { return box_.root() / "run"; }
};

TEST_F(SquattedRunFolder, DialogsWorkAndNothingIsPutInTheOthersFolder) {
    ModalThread box([] {
        return static_cast<LResult>(
            messageBox(0, u"Proceed with the transfer?", u"Question", kMbYesNo));
    });
    const auto opened =
        testing_support::runProgramCapture({CORVANTIX_USER_TOOL, "wait-messagebox"});
    ASSERT_EQ(opened.exitCode, 0);
    const std::string window = opened.out.substr(0, opened.out.find('\n'));
    EXPECT_EQ(testing_support::runProgram({CORVANTIX_USER_TOOL, "answer", window, "yes"}), 0);
    EXPECT_EQ(box.result(), kIdYes);

    EXPECT_TRUE(std::filesystem::is_empty(run()));
    struct stat st {};
    ASSERT_EQ(::lstat(run().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, testing_support::kStrangerUid);
    EXPECT_NE(backend_->socketPath().string().find(run().string() + "."), std::string::npos)
        << backend_->socketPath();
}

TEST_F(ScriptedUser, CapsLockIsSetPerProcess) {
    ASSERT_TRUE(user_.capsLock(true));
    EXPECT_TRUE(capsLockOn());
    EXPECT_EQ(getKeyState(kVkCapital) & 1, 1);
    ASSERT_TRUE(user_.capsLock(false));
    EXPECT_FALSE(capsLockOn());
    // A program injecting Caps Lock (the on-screen Caps Lock key) toggles it.
    injectKey(kVkCapital, false, true);
    injectKey(kVkCapital, true, true);
    EXPECT_TRUE(capsLockOn());
}

} // namespace
} // namespace ui_test
