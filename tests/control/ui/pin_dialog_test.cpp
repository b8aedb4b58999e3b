// The PIN dialogs as the card methods run them: what ends them and with
// which outcome, what they hand out, and the procedure override.

#include "tests/control/ui/PinUiFixture.h"

#include <ostream>

namespace pin_ui_test {
namespace {

// A PIN request as DoVerifyPIN makes it.
ControlErrorCode cardRequest(SecretString& pin) {
    UI_SetPasswdDlgProc(PasswdDlg_CountDown);
    UI_SetKeyFontSize(18);
    UI_SetPasswdMaxLen(12);
    return UI_PasswdDlg(0, 0, pin);
}

struct EndingCase {
    const char* name;
    bool countdown; // PasswdDlg_CountDown, else UI_ATMPasswdDlg
    const char* typed;
    Ending ending;
    LResult result;
    const char* handedOut;
};

void PrintTo(const EndingCase& c, std::ostream* os) {
    *os << c.name;
}

const EndingCase kEndings[] = {
    {"OkHandsOutThePin", true, "482913", Ending::Ok, kCtlOk, "482913"},
    {"OkWithoutCountdown", false, "482913", Ending::Ok, kCtlOk, "482913"},
    {"OkEmpty", true, "", Ending::Ok, kCtlPinRejected, ""},
    {"Cancel", true, "4829", Ending::Cancel, kCtlCancelled, ""},
    {"CloseBox", true, "4829", Ending::Close, kCtlCancelled, ""},
    {"CloseBoxWithoutCountdown", false, "4829", Ending::Close, kCtlCancelled, ""},
    {"Escape", false, "4829", Ending::Escape, kCtlCancelled, ""},
    {"CountdownRunsOutWithDigitsTyped", true, "482913", Ending::Countdown, kCtlTimedOut, ""},
    // A keypad dialog without countdown that nobody answers ends at the
    // layer's ceiling as a countdown's end does.
    {"ForgottenDialog", false, "482913", Ending::Forgotten, kCtlTimedOut, ""},
};

class Endings : public PinUi, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(Endings, GiveTheirOutcomeAndHandOutOnlyAnAcceptedPin) {
    const EndingCase& c = GetParam();
    PinRequest request([&c](SecretString& pin) {
        return c.countdown ? PasswdDlg_CountDown(0, pin) : UI_ATMPasswdDlg(0, pin);
    });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    pressDigits(dialog, c.typed);
    ASSERT_NO_FATAL_FAILURE(endAs(dialog, c.ending, request));
    EXPECT_EQ(request.result(), c.result);
    EXPECT_EQ(request.pin(), c.handedOut);
    EXPECT_EQ(UI_GetError(), c.result);
}

INSTANTIATE_TEST_SUITE_P(PinDialog, Endings, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

// The card methods' request: the countdown dialog with the digits in 18
// points, limited to 12, taking digits typed on the keyboard too.
TEST_F(PinUi, ACardRequestShowsTheCountdownKeypadAndTakesTheKeyboard) {
    PinRequest request(cardRequest);
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("caption")->asString(), "Please input password");
    EXPECT_EQ(d.find("topmost")->asBool(), true);
    EXPECT_EQ(d.find("focus")->asNumber(), kUiPinEdit);
    // Centred on the screen by its client area.
    const Rect window = rectOf(*d.find("rect"));
    const Rect client = rectOf(*d.find("client"));
    EXPECT_EQ(window.left, screenSize().width / 2 - client.width() / 2);
    EXPECT_EQ(window.top, screenSize().height / 2 - client.height() / 2);
    const JsonValue* edit = controlOf(d, kUiPinEdit);
    EXPECT_EQ(edit->find("limit")->asNumber(), 12);
    EXPECT_EQ(*edit->find("password_char")->asString(), "*");
    EXPECT_EQ(edit->find("readonly")->asBool(), false);
    EXPECT_EQ(*controlOf(d, kUiCountdownNumber)->find("text")->asString(), "60");
    EXPECT_EQ(controlOf(d, kUiCountdownText)->find("visible")->asBool(), true);
    const JsonValue* key = controlOf(d, kUiFirstDigitKey);
    const auto& ops = *key->find("drawn")->asArray();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].find("bitmap")->asNumber(), kUiBitmapDigitKey);
    EXPECT_EQ(ops[1].find("font")->find("height")->asNumber(), 18);
    EXPECT_EQ(*ops[1].find("font")->find("face")->asString(), "新細明體");
    EXPECT_EQ(ops[1].find("font")->find("charset")->asNumber(), kChineseBig5Charset);
    EXPECT_EQ(*ops[1].find("colour")->asString(), "#ffffff");
    EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{"OK"});
    EXPECT_EQ(drawnBitmaps(d), std::vector<std::int64_t>{kUiBitmapPin});

    ASSERT_TRUE(user_.type(dialog, "1357"));
    pressDigits(dialog, "24");
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), "135724");
}

// The countdown shows the seconds left and repaints on each tick.
TEST_F(PinUi, TheCountdownShowsTheSecondsLeft) {
    PinRequest request([](SecretString& pin) { return PasswdDlg_CountDown(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(advanceClock(51s), AdvanceResult::Done);
    const JsonValue d = dump(dialog);
    const JsonValue* number = controlOf(d, kUiCountdownNumber);
    EXPECT_EQ(*number->find("text")->asString(), " 9");
    EXPECT_EQ(*number->find("colour")->asString(), "#ff0000");
    EXPECT_TRUE(number->find("background")->isNull());
    EXPECT_TRUE(controlOf(d, kUiCountdownText)->find("background")->isNull());
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// Without a countdown the sentence about one is not shown.
TEST_F(PinUi, TheKeypadWithoutCountdownHidesTheCountdownSentence) {
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(controlOf(d, kUiCountdownText)->find("visible")->asBool(), false);
    EXPECT_EQ(controlOf(d, kUiCountdownNumber)->find("visible")->asBool(), false);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// The PIN procedure set holds for one request; the next is the keypad.
int gOverrideCalls = 0;
ControlErrorCode overridePin(int iFlags, SecretString& pin) {
    ++gOverrideCalls;
    EXPECT_EQ(iFlags, 0x40);
    pin.assign("246810");
    return kCtlOk;
}

TEST_F(PinUi, ThePinProcedureHoldsForOneRequest) {
    gOverrideCalls = 0;
    EXPECT_EQ(UI_SetPasswdDlgProc(nullptr), kCtlBadArgument);
    ASSERT_EQ(UI_SetPasswdDlgProc(overridePin), kCtlOk);
    SecretString pin;
    EXPECT_EQ(UI_PasswdDlg(0x40, 0, pin), kCtlOk);
    EXPECT_EQ(pin.view(), "246810");
    EXPECT_EQ(gOverrideCalls, 1);

    PinRequest second([](SecretString& p) { return UI_PasswdDlg(0x40, 0, p); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(second.result(), kCtlCancelled);
    EXPECT_EQ(gOverrideCalls, 1);
}

// The dialog choice's bit 0x2 asks for the plain dialog.
TEST_F(PinUi, ThePlainDialogAsksWithoutKeypad) {
    ASSERT_EQ(UI_SetLanguage("big5"), kCtlOk);
    PinRequest request([](SecretString& pin) { return UI_PasswdDlg(0, 0x2, pin); });
    const Window dialog = waitFor(kUiPlainPinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("caption")->asString(), "請輸入您的卡片密碼 ( Please input your password )");
    EXPECT_EQ(*controlOf(d, kUiPlainLabel)->find("text")->asString(), "卡片密碼 ( Password )");
    EXPECT_EQ(*controlOf(d, kIdOk)->find("text")->asString(), "確定");
    EXPECT_EQ(*controlOf(d, kIdCancel)->find("text")->asString(), "取消");
    EXPECT_EQ(d.find("focus")->asNumber(), kUiPinEdit);
    EXPECT_EQ(d.find("topmost")->asBool(), true);
    ASSERT_TRUE(user_.type(dialog, "97531"));
    ASSERT_TRUE(user_.key(dialog, "enter"));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), "97531");
}

TEST_F(PinUi, ThePlainDialogsCloseBoxCancels) {
    PinRequest request([](SecretString& pin) { return UI_PasswdDlg(0, 0x2, pin); });
    const Window dialog = waitFor(kUiPlainPinDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.type(dialog, "97531"));
    ASSERT_TRUE(user_.close(dialog));
    EXPECT_EQ(request.result(), kCtlCancelled);
    EXPECT_EQ(request.pin(), "");
}

// A dialog that cannot be made gives the general failure, not an empty PIN.
TEST_F(PinUi, ADialogThatCannotBeMadeFails) {
    SecretString pin;
    ASSERT_EQ(UI_PasswdDlgInit(0), kCtlOk);
    UI_PasswdDlgFinal(0, pin);
    unregisterDialogTemplate(kUiPinDialog);
    EXPECT_EQ(UI_ATMPasswdDlg(0, pin), kCtlFailed);
    EXPECT_EQ(PasswdDlg_CountDown(0, pin), kCtlFailed);
    EXPECT_EQ(UI_GetError(), kCtlFailed);
    EXPECT_TRUE(pin.empty());
    EXPECT_EQ(UI_DialogBox(kUiPinDialog, UI_PasswdDlgCallBack), kCtlFailed);
}

// The dialog is owned by the window with the calling thread's focus, which
// is disabled meanwhile.
TEST_F(PinUi, TheWindowWithTheThreadsFocusOwnsTheDialog) {
    registerTestTemplates();
    std::promise<Window> ownerMade;
    PinRequest request([&ownerMade](SecretString& pin) {
        const Window owner = createDialog(kPlainDialog, 0, endOnButtons);
        setFocus(getDlgItem(owner, kIdCancel));
        ownerMade.set_value(owner);
        const ControlErrorCode rc = UI_ATMPasswdDlg(0, pin);
        destroyWindow(owner);
        return rc;
    });
    const Window owner = ownerMade.get_future().get();
    ASSERT_NE(owner, 0u);
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(dump(dialog).find("owner")->asNumber(), static_cast<std::int64_t>(owner));
    EXPECT_FALSE(isWindowEnabled(owner));
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

TEST_F(PinUi, TheResourceModuleIsSetOnceItIsGiven) {
    EXPECT_EQ(UI_SetInstance(nullptr), kCtlBadArgument);
    EXPECT_EQ(uiState().module, nullptr);
    EXPECT_EQ(UI_SetInstance(&kUiFontFace), kCtlOk);
    EXPECT_EQ(uiState().module, &kUiFontFace);
    // Unset, the program's own module serves.
    UI_ResetForTest();
    ASSERT_EQ(UI_PasswdDlgInit(0), kCtlOk);
    EXPECT_NE(uiState().module, nullptr);
    EXPECT_EQ(modalTimeoutResult(), kCtlTimedOut);
}

// The strength rule applies to the entered PIN with 0x40 only.
TEST_F(PinUi, TheStrengthRuleJudgesThePinWith0x40) {
    for (const int flags : {0, 0x40}) {
        PinRequest request([flags](SecretString& pin) { return UI_ATMPasswdDlg(flags, pin); });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        pressDigits(dialog, "123456");
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        EXPECT_EQ(request.result(), flags == 0 ? kCtlOk : kCtlPinRejected) << flags;
        EXPECT_EQ(request.pin(), flags == 0 ? "123456" : "") << flags;
    }
}

} // namespace
} // namespace pin_ui_test
