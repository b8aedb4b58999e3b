#pragma once

// What the tests of the control's PIN dialogs share: a sandbox with the
// control log at level 5, the manual clock, a scripted backend of the test's
// own and the scripted user; requests that run on a thread of their own as
// the card methods make them; and readers of a dialog's dump.

#include "control/ControlLog.h"
#include "control/ui/UI.h"
#include "control/ui/UIDetail.h"
#include "platform/ui/Resources.h"
#include "tests/ui/UiFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pin_ui_test {

using namespace ui_test;
namespace fs = std::filesystem;

// A PIN request on a thread of its own. The PIN is read once the result is in.
class PinRequest {
public:
    explicit PinRequest(std::function<ControlErrorCode(SecretString&)> run)
        : thread_([this, run = std::move(run)] { return static_cast<LResult>(run(pin_)); }) {}
    std::optional<LResult> result(std::chrono::milliseconds limit = 5s) {
        return thread_.result(limit);
    }
    std::string pin() const { return std::string(pin_.view()); }

private:
    SecretString pin_;
    ModalThread thread_;
};

// A PIN change on a thread of its own.
class ChangePinRequest {
public:
    explicit ChangePinRequest(std::function<ControlErrorCode(SecretString&, SecretString&)> run)
        : thread_([this, run = std::move(run)] {
              return static_cast<LResult>(run(oldPin_, newPin_));
          }) {}
    std::optional<LResult> result(std::chrono::milliseconds limit = 5s) {
        return thread_.result(limit);
    }
    std::string oldPin() const { return std::string(oldPin_.view()); }
    std::string newPin() const { return std::string(newPin_.view()); }

private:
    SecretString oldPin_;
    SecretString newPin_;
    ModalThread thread_;
};

// The card methods' change-PIN procedure with its countdown, as they build
// it on this module.
inline ControlErrorCode changePinWithCountdown(int iFlags, SecretString& oldPin,
                                               SecretString& newPin) {
    UI_CHPasswdDlgInit(iFlags);
    if (UI_GetError() == kCtlOk) {
        const LResult result = UI_DialogBox(kUiChangePinDialog, UI_CHPasswdDlgCallBack_CountDown);
        if (result == kCtlTimedOut) {
            SecretString none;
            UI_CHPasswdDlgFinal(iFlags, none, none);
            return kCtlTimedOut;
        }
    }
    return UI_CHPasswdDlgFinal(iFlags, oldPin, newPin);
}

// A PIN change as the card method makes it.
inline ControlErrorCode cardChangePin(SecretString& oldPin, SecretString& newPin) {
    UI_SetCHPasswdDlgProc(changePinWithCountdown);
    return UI_CHPasswdDlg(0, oldPin, newPin);
}

inline const JsonValue* controlOf(const JsonValue& dialog, int id) {
    for (const auto& control : *dialog.find("controls")->asArray()) {
        if (control.find("id")->asNumber() == id) {
            return &control;
        }
    }
    return nullptr;
}

// The texts drawn on a control or a dialog, in order.
inline std::vector<std::string> drawnTexts(const JsonValue& window) {
    std::vector<std::string> texts;
    for (const auto& op : *window.find("drawn")->asArray()) {
        if (const JsonValue* text = op.find("text")) {
            texts.push_back(*text->asString());
        }
    }
    return texts;
}

inline std::vector<std::int64_t> drawnBitmaps(const JsonValue& window) {
    std::vector<std::int64_t> bitmaps;
    for (const auto& op : *window.find("drawn")->asArray()) {
        if (const JsonValue* id = op.find("bitmap")) {
            bitmaps.push_back(*id->asNumber());
        }
    }
    return bitmaps;
}

inline Rect rectOf(const JsonValue& value) {
    const auto& r = *value.asArray();
    return {static_cast<int>(*r[0].asNumber()), static_cast<int>(*r[1].asNumber()),
            static_cast<int>(*r[2].asNumber()), static_cast<int>(*r[3].asNumber())};
}

class PinUi : public ::testing::Test {
protected:
    void SetUp() override {
        useManualClock();
        // Another result than the product's, so that the product is seen to
        // set its own.
        setModalWaitCeiling(300s, kIdCancel);
        setCapsLock(false);
        setSystemLanguage(kLanguageEnglishUs);
        backend_ = ScriptedBackend::start();
        ASSERT_TRUE(backend_);
        setBackend(backend_);
        Log_ResetForTest();
        fs::create_directories(box_.root() / "C" / "logs");
        box_.write("Windows/Tavelo.ini", "[Tavelo]\nLog File=C:\\logs\\ui.txt\nLog Level=5\n");
        ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
        UI_ResetForTest();
    }
    void TearDown() override {
        setBackend(nullptr);
        backend_.reset();
        useRealClock();
        setSystemLanguage(std::nullopt);
        setCapsLock(false);
        Log_ResetForTest();
        UI_ResetForTest();
    }

    // The dialog of a template once it is open (0 when none came).
    Window waitFor(std::uint32_t templateId) {
        return user_.waitForDialog(templateId, 5s).value_or(0);
    }
    // The dialog as the scripted user sees it.
    JsonValue dump(Window dialog) {
        const auto reply = user_.dump(dialog);
        EXPECT_TRUE(reply) << reply.error;
        const JsonValue* d = reply.body.find("dialog");
        return d != nullptr ? *d : JsonValue();
    }
    // The label drawn on each digit key, in key order.
    std::string keypadLabels(Window dialog) {
        const JsonValue d = dump(dialog);
        std::string labels;
        for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
            const JsonValue* key = controlOf(d, id);
            const auto texts = key != nullptr ? drawnTexts(*key) : std::vector<std::string>{};
            labels += texts.size() == 1 ? texts.front() : "?";
        }
        return labels;
    }
    // Clicks the keypad's key for each digit.
    void pressDigits(Window dialog, std::string_view digits) {
        for (const char digit : digits) {
            const auto reply = user_.press(dialog, std::string(1, digit));
            ASSERT_TRUE(reply) << digit << ": " << reply.error;
        }
    }
    // Until n threads sleep on the clock (the Caps Lock follower).
    static void waitForSleepers(std::size_t n) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (sleepingThreads() < n && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
    }
    // Everything the control log holds.
    std::string logText() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(box_.root() / "C" / "logs")) {
            text += testing_support::Sandbox::read(entry.path());
        }
        return text;
    }

    testing_support::Sandbox box_;
    std::shared_ptr<ScriptedBackend> backend_;
    Client user_{getpid()};
};

} // namespace pin_ui_test
