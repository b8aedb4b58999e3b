// The change-PIN dialog: the checks that decide its outcome, the keypad
// typing into the field that last had the focus, its countdown as the card
// methods run it, the default dialog with its own pump, and the procedure
// override that stays set.

#include "tests/control/ui/PinUiFixture.h"

#include <ostream>

namespace pin_ui_test {
namespace {

constexpr int kEdits[] = {kUiOldPinEdit, kUiNewPinEdit, kUiConfirmEdit};

class ChangePin : public PinUi {
protected:
    // The three fields typed on the keyboard, each after focusing it.
    void fill(Window dialog, const std::string (&texts)[3]) {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(user_.focus(dialog, kEdits[i]));
            if (!texts[i].empty()) {
                ASSERT_TRUE(user_.type(dialog, texts[i]));
            }
        }
    }
};

struct FinalCase {
    const char* name;
    int flags;
    std::string typed[3]; // old, new, confirmation
    ControlErrorCode expect;
};

void PrintTo(const FinalCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string k21(21, '7');

const FinalCase kFinals[] = {
    {"Accepted", 0, {"135792", "864213", "864213"}, kCtlOk},
    {"OldEmpty", 0, {"", "864213", "864213"}, kCtlPinLength},
    {"NewEmpty", 0, {"135792", "", ""}, kCtlPinRejected},
    {"ConfirmationEmpty", 0, {"135792", "864213", ""}, kCtlPinRejected},
    {"OldFiveDigits", 0, {"13579", "864213", "864213"}, kCtlPinLength},
    {"OldThirteenDigits", 0, {"1357913579135", "864213", "864213"}, kCtlPinLength},
    {"OldTwelveDigits", 0, {"135791357913", "864213", "864213"}, kCtlOk},
    // The first failing check decides.
    {"AllEmptyIsTheOldPins", 0, {"", "", ""}, kCtlPinLength},
    {"EmptyNewBeforeAShortOld", 0, {"13579", "", "x"}, kCtlPinRejected},
    {"ShortOldBeforeADifferentConfirmation", 0, {"13579", "864213", "864210"}, kCtlPinLength},
    {"ConfirmationDiffers", 0, {"135792", "864213", "864210"}, kCtlPinRejected},
    {"ConfirmationDiffersInCase", 0, {"135792", "a64213", "A64213"}, kCtlPinRejected},
    // The strength rule with 0x40 only, on all three.
    {"AscendingOldWithout0x40", 0, {"123456", "864213", "864213"}, kCtlOk},
    {"AscendingOldWith0x40", 0x40, {"123456", "864213", "864213"}, kCtlPinRejected},
    {"SixAscendingLetters", 0x40, {"135792", "xabcdef", "xabcdef"}, kCtlPinRejected},
    {"SixEqual", 0x40, {"135792", "2777777", "2777777"}, kCtlPinRejected},
    {"567890BehindADigit", 0x40, {"135792", "1567890", "1567890"}, kCtlPinRejected},
    {"TwentyOneCharacters", 0x40, {"135792", k21, k21}, kCtlPinRejected},
    {"SixDescending", 0x40, {"135792", "654321", "654321"}, kCtlOk},
    // Letters pass here; the card method refuses them later.
    {"LettersInTheNewPin", 0, {"135792", "a1b2c3", "a1b2c3"}, kCtlOk},
};

class Finals : public ChangePin, public ::testing::WithParamInterface<FinalCase> {};

TEST_P(Finals, TheFirstFailingCheckDecides) {
    const FinalCase& c = GetParam();
    ASSERT_EQ(UI_SetCHPasswdDlgProc(changePinWithCountdown), kCtlOk);
    ChangePinRequest request([&c](SecretString& oldPin, SecretString& newPin) {
        return UI_CHPasswdDlg(c.flags, oldPin, newPin);
    });
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    fill(dialog, c.typed);
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), c.expect);
    EXPECT_EQ(UI_GetError(), c.expect);
    EXPECT_EQ(request.oldPin(), c.expect == kCtlOk ? c.typed[0] : "");
    EXPECT_EQ(request.newPin(), c.expect == kCtlOk ? c.typed[1] : "");
}

INSTANTIATE_TEST_SUITE_P(ChangePin, Finals, ::testing::ValuesIn(kFinals),
                         [](const auto& info) { return std::string(info.param.name); });

// Keypad clicks type into the field that last had the focus.
TEST_F(ChangePin, TheKeypadTypesIntoTheFieldThatLastHadTheFocus) {
    UI_SetPasswdMaxLen(12);
    ChangePinRequest request(cardChangePin);
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(d.find("focus")->asNumber(), kUiOldPinEdit);
    for (const int id : kEdits) {
        EXPECT_EQ(controlOf(d, id)->find("limit")->asNumber(), 12);
        EXPECT_EQ(*controlOf(d, id)->find("password_char")->asString(), "*");
    }
    pressDigits(dialog, "135792");
    ASSERT_TRUE(user_.focus(dialog, kUiConfirmEdit));
    pressDigits(dialog, "8642");
    ASSERT_TRUE(user_.focus(dialog, kUiNewPinEdit));
    pressDigits(dialog, "864213");
    ASSERT_TRUE(user_.focus(dialog, kUiConfirmEdit));
    pressDigits(dialog, "13");
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.oldPin(), "135792");
    EXPECT_EQ(request.newPin(), "864213");
}

// The card methods' countdown: 5073 whatever was typed.
TEST_F(ChangePin, TheCountdownRunsOutWithWhateverWasTyped) {
    ChangePinRequest request(cardChangePin);
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    fill(dialog, {"135792", "864213", "864213"});
    ASSERT_EQ(advanceClock(59s), AdvanceResult::Done);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*controlOf(d, kUiCountdownNumber)->find("text")->asString(), " 1");
    EXPECT_EQ(controlOf(d, kUiCountdownText)->find("visible")->asBool(), true);
    EXPECT_FALSE(request.result(0ms).has_value());
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    EXPECT_EQ(request.result(), kCtlTimedOut);
    EXPECT_EQ(request.oldPin(), "");
    EXPECT_EQ(request.newPin(), "");
}

// Closing the modal dialog ends it as Cancel does.
TEST_F(ChangePin, TheCloseBoxEndsTheModalDialogAsCancelled) {
    ChangePinRequest request(cardChangePin);
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    fill(dialog, {"135792", "864213", "864213"});
    ASSERT_TRUE(user_.close(dialog));
    EXPECT_EQ(request.result(), kCtlCancelled);
    const auto closed = user_.waitClose(dialog, 1s);
    ASSERT_TRUE(closed) << closed.error;
    EXPECT_EQ(closed.body.find("result")->asNumber(), kCtlCancelled);
    EXPECT_EQ(request.oldPin(), "");
}

TEST_F(ChangePin, TheDialogIsLaidOutAndColouredForItsTexts) {
    ASSERT_EQ(UI_SetLanguage("big5"), kCtlOk);
    ChangePinRequest request(cardChangePin);
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("caption")->asString(), "修改密碼");
    EXPECT_EQ(d.find("topmost")->asBool(), true);
    const struct {
        int id;
        const char* text;
    } labels[] = {
        {kUiOldPinLabel, "原密碼"}, {kUiNewPinLabel, "新密碼"}, {kUiConfirmLabel, "確認新密碼"}};
    for (const auto& label : labels) {
        const JsonValue* control = controlOf(d, label.id);
        EXPECT_EQ(*control->find("text")->asString(), label.text);
        EXPECT_EQ(*control->find("colour")->asString(), "#1e1e1e");
        EXPECT_TRUE(control->find("background")->isNull());
    }
    EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{"確定"});
    EXPECT_EQ(drawnTexts(*controlOf(d, kIdCancel)), std::vector<std::string>{"取消"});
    EXPECT_EQ(drawnBitmaps(d), std::vector<std::int64_t>{kUiBitmapChangePin});
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    // The texts the dialog set are logged, its mode too.
    const std::string log = logText();
    EXPECT_NE(log.find("### szPWDOK = 確定"), std::string::npos);
    EXPECT_NE(log.find("### szPWDCancel = 取消"), std::string::npos);
    EXPECT_NE(log.find("iPWDMode = 0"), std::string::npos);
}

struct ModeCase {
    const char* name;
    int flags;
    bool keysShown;
    int heightLoss;
    bool readOnly;
    std::uint32_t background;
    const char* logged; // the flag named in the log, if any
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

const ModeCase kModes[] = {
    {"None", 0, true, 0, false, kUiBitmapChangePin, nullptr},
    // Its background is not among the resources: nothing is painted.
    {"KeyboardOnly", QX_UI_FLAG_PASSWD_KEYBOARD, false, 110, false, 0,
     "QX_UI_FLAG_PASSWD_KEYBOARD"},
    {"KeypadOnly", QX_UI_FLAG_PASSWD_KEYPAD, true, 0, true, kUiBitmapChangePin,
     "QX_UI_FLAG_PASSWD_KEYPAD"},
};

class Modes : public ChangePin, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(Modes, ShapeTheDialog) {
    const ModeCase& c = GetParam();
    ChangePinRequest request([&c](SecretString& oldPin, SecretString& newPin) {
        return changePinWithCountdown(c.flags, oldPin, newPin);
    });
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
        EXPECT_EQ(controlOf(d, id)->find("visible")->asBool(), c.keysShown) << id;
    }
    const BaseUnits units = fontBaseUnits({std::u16string(kUiFontFace), 10});
    const int fullHeight =
        unitsToPixels({0, 0, 223, 241}, units).height() + 2 * kFrameBorder + kCaptionHeight;
    EXPECT_EQ(rectOf(*d.find("rect")).height(), fullHeight - c.heightLoss);
    for (const int id : kEdits) {
        EXPECT_EQ(controlOf(d, id)->find("readonly")->asBool(), c.readOnly) << id;
    }
    EXPECT_EQ(drawnBitmaps(d), c.background != 0 ? std::vector<std::int64_t>{c.background}
                                                 : std::vector<std::int64_t>{});
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    const std::string log = logText();
    EXPECT_NE(log.find("iPWDMode = " + std::to_string(c.flags == 0  ? 0
                                                      : c.keysShown ? 2
                                                                    : 1)),
              std::string::npos);
    if (c.logged != nullptr) {
        EXPECT_NE(log.find(c.logged), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(ChangePin, Modes, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });

// The procedure set stays for every later request.
int gChangeCalls = 0;
ControlErrorCode standIn(int, SecretString& oldPin, SecretString& newPin) {
    ++gChangeCalls;
    oldPin.assign("135792");
    newPin.assign("864213");
    return kCtlOk;
}

TEST_F(ChangePin, TheChangePinProcedureStaysSet) {
    gChangeCalls = 0;
    EXPECT_EQ(UI_SetCHPasswdDlgProc(nullptr), kCtlBadArgument);
    ASSERT_EQ(UI_SetCHPasswdDlgProc(standIn), kCtlOk);
    for (int i = 0; i < 2; ++i) {
        SecretString oldPin;
        SecretString newPin;
        EXPECT_EQ(UI_CHPasswdDlg(0, oldPin, newPin), kCtlOk);
        EXPECT_EQ(newPin.view(), "864213");
    }
    EXPECT_EQ(gChangeCalls, 2);
    // A PIN request in between leaves it set.
    UI_SetPasswdDlgProc([](int, SecretString& pin) {
        pin.assign("000000");
        return kCtlOk;
    });
    SecretString pin;
    EXPECT_EQ(UI_PasswdDlg(0, 0, pin), kCtlOk);
    SecretString oldPin;
    SecretString newPin;
    EXPECT_EQ(UI_CHPasswdDlg(0, oldPin, newPin), kCtlOk);
    EXPECT_EQ(gChangeCalls, 3);
}

// ---- The default dialog: modeless, with a pump of its own ---------------------

struct DefaultCase {
    const char* name;
    Ending ending;
    ControlErrorCode expect;
};

void PrintTo(const DefaultCase& c, std::ostream* os) {
    *os << c.name;
}

const DefaultCase kDefaults[] = {
    {"Ok", Ending::Ok, kCtlOk},
    {"Cancel", Ending::Cancel, kCtlCancelled},
    {"CloseBoxDestroysIt", Ending::Close, kCtlCancelled},
    {"Escape", Ending::Escape, kCtlCancelled},
    {"Forgotten", Ending::Forgotten, kCtlTimedOut},
};

class DefaultDialog : public ChangePin, public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(DefaultDialog, ItsPumpStopsWithTheDialog) {
    const DefaultCase& c = GetParam();
    ChangePinRequest request([](SecretString& oldPin, SecretString& newPin) {
        return UI_CHPasswdDlg(0, oldPin, newPin);
    });
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(dump(dialog).find("modal")->asBool(), false);
    fill(dialog, {"135792", "864213", "864213"});
    ASSERT_NO_FATAL_FAILURE(endAs(dialog, c.ending, request));
    EXPECT_EQ(request.result(), c.expect);
    EXPECT_FALSE(isWindow(dialog));
    EXPECT_EQ(request.oldPin(), c.expect == kCtlOk ? "135792" : "");
    EXPECT_EQ(request.newPin(), c.expect == kCtlOk ? "864213" : "");
    EXPECT_NE(logText().find("UI_CHPasswdDlgFinal iError = " + std::to_string(c.expect)),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ChangePin, DefaultDialog, ::testing::ValuesIn(kDefaults),
                         [](const auto& info) { return std::string(info.param.name); });

// Its pump redraws on a Caps Lock key-down, and the repaint follows Caps
// Lock (it has no follower of its own).
TEST_F(ChangePin, TheDefaultDialogRedrawsOnCapsLock) {
    ChangePinRequest request([](SecretString& oldPin, SecretString& newPin) {
        return UI_DefaultCHPasswdDlg(0, oldPin, newPin);
    });
    const Window dialog = waitFor(kUiChangePinDialog);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(sleepingThreads(), 0u);
    ASSERT_TRUE(user_.key(dialog, "capslock"));
    bool shown = false;
    const JsonValue d = dump(dialog);
    for (const auto& op : *d.find("drawn")->asArray()) {
        const JsonValue* text = op.find("text");
        shown = shown || (text != nullptr && *text->asString() == "Caps Lock is on" &&
                          *op.find("colour")->asString() == "#ff3030");
    }
    EXPECT_TRUE(shown);
    {
        std::lock_guard lock(uiState().layoutMutex);
        EXPECT_EQ(uiState().letterLayout.substr(0, 3), u"ABC");
    }
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

TEST_F(ChangePin, ADefaultDialogThatCannotBeMadeFails) {
    ASSERT_EQ(UI_CHPasswdDlgInit(0), kCtlOk);
    SecretString oldPin;
    SecretString newPin;
    UI_CHPasswdDlgFinal(0, oldPin, newPin);
    unregisterDialogTemplate(kUiChangePinDialog);
    EXPECT_EQ(UI_CHPasswdDlg(0, oldPin, newPin), kCtlFailed);
    EXPECT_EQ(changePinWithCountdown(0, oldPin, newPin), kCtlFailed);
    EXPECT_EQ(UI_GetError(), kCtlFailed);
}

} // namespace
} // namespace pin_ui_test
