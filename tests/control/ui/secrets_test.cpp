// Entered PINs reach nothing but their caller: no line of the control log at
// its most talkative, no dump of a dialog, and no state of the module once a
// request is over.

#include "tests/control/ui/PinUiFixture.h"

namespace pin_ui_test {
namespace {

const std::string kPin = "739146";
const std::string kOldPin = "582039";
const std::string kNewPin = "604817";
const std::string kPlainPin = "917253";

class PinSecrets : public PinUi {
protected:
    void expectNoPinIn(const std::string& text, const char* where) {
        for (const auto& pin : {kPin, kOldPin, kNewPin, kPlainPin}) {
            EXPECT_EQ(text.find(pin), std::string::npos) << pin << " in " << where;
        }
    }
    void expectModuleEmpty() {
        const UiState& s = uiState();
        EXPECT_TRUE(s.pinText.empty());
        EXPECT_TRUE(s.newPinText.empty());
        EXPECT_TRUE(s.confirmText.empty());
    }
    std::vector<std::string> dumps_;
};

TEST_F(PinSecrets, NoPinInAnyLogLineOrDump) {
    {
        PinRequest request([](SecretString& pin) {
            UI_SetPasswdDlgProc(PasswdDlg_CountDown);
            UI_SetKeyFontSize(18);
            UI_SetPasswdMaxLen(12);
            return UI_PasswdDlg(0, 0, pin);
        });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        pressDigits(dialog, kPin.substr(0, 3));
        ASSERT_TRUE(user_.type(dialog, kPin.substr(3)));
        dumps_.push_back(serializeJson(dump(dialog)));
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        EXPECT_EQ(request.result(), kCtlOk);
        EXPECT_EQ(request.pin(), kPin);
        expectModuleEmpty();
    }
    {
        ChangePinRequest request(cardChangePin);
        const Window dialog = waitFor(kUiChangePinDialog);
        ASSERT_NE(dialog, 0u);
        pressDigits(dialog, kOldPin);
        ASSERT_TRUE(user_.focus(dialog, kUiNewPinEdit));
        ASSERT_TRUE(user_.type(dialog, kNewPin));
        ASSERT_TRUE(user_.focus(dialog, kUiConfirmEdit));
        pressDigits(dialog, kNewPin);
        dumps_.push_back(serializeJson(dump(dialog)));
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        EXPECT_EQ(request.result(), kCtlOk);
        EXPECT_EQ(request.oldPin(), kOldPin);
        EXPECT_EQ(request.newPin(), kNewPin);
        expectModuleEmpty();
    }
    {
        ChangePinRequest request([](SecretString& oldPin, SecretString& newPin) {
            return UI_DefaultCHPasswdDlg(0, oldPin, newPin);
        });
        const Window dialog = waitFor(kUiChangePinDialog);
        ASSERT_NE(dialog, 0u);
        ASSERT_TRUE(user_.type(dialog, kOldPin));
        ASSERT_TRUE(user_.focus(dialog, kUiNewPinEdit));
        ASSERT_TRUE(user_.type(dialog, kNewPin));
        ASSERT_TRUE(user_.focus(dialog, kUiConfirmEdit));
        ASSERT_TRUE(user_.type(dialog, kPlainPin));
        dumps_.push_back(serializeJson(dump(dialog)));
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        // The confirmation differs: nothing is handed out, and nothing kept.
        EXPECT_EQ(request.result(), kCtlPinRejected);
        EXPECT_EQ(request.newPin(), "");
        expectModuleEmpty();
    }
    {
        PinRequest request([](SecretString& pin) { return UI_PasswdDlg(0x40, 0x2, pin); });
        const Window dialog = waitFor(kUiPlainPinDialog);
        ASSERT_NE(dialog, 0u);
        ASSERT_TRUE(user_.type(dialog, kPlainPin));
        dumps_.push_back(serializeJson(dump(dialog)));
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        EXPECT_EQ(request.result(), kCtlOk);
        EXPECT_EQ(request.pin(), kPlainPin);
        expectModuleEmpty();
    }
    for (const auto& d : dumps_) {
        EXPECT_NE(d.find("\"******\""), std::string::npos) << d;
        expectNoPinIn(d, "a dump");
    }
    const std::string log = logText();
    // The log was written, by each dialog.
    EXPECT_NE(log.find("## UI_PasswdDlgCallBack_CountDown = 0"), std::string::npos);
    EXPECT_NE(log.find("### szPWDOK = OK"), std::string::npos);
    EXPECT_NE(log.find("UI_CHPasswdDlgFinal iError = 5909"), std::string::npos);
    EXPECT_NE(log.find("## UI_SimplePasswdDlgCallBack = 0"), std::string::npos);
    expectNoPinIn(log, "the log");
}

} // namespace
} // namespace pin_ui_test
