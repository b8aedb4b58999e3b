#pragma once

// What the tests of the control's PIN dialogs share: a sandbox with the
// control log at level 5, the manual clock, a scripted backend of the test's
// own and the scripted user; requests that run on a thread of their own as
// the card methods make them; and readers of a dialog's dump.

#include "control/ControlLog.h"
#include "control/ui/UI.h"
#include "control/ui/UIDetail.h"
#include "platform/ui/Resources.h"
#include "tests/control/ControlUiFixture.h"
#include "tests/ui/UiFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pin_ui_test {

using namespace ui_test;
using namespace control_ui_test;
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

inline Rect rectOf(const JsonValue& value) {
    const auto& r = *value.asArray();
    return {static_cast<int>(*r[0].asNumber()), static_cast<int>(*r[1].asNumber()),
            static_cast<int>(*r[2].asNumber()), static_cast<int>(*r[3].asNumber())};
}

// How a test ends a PIN dialog: as the user does (OK, Cancel, the close box,
// Escape), by letting the countdown run out, or by leaving it until the modal
// wait's ceiling.
enum class Ending { Ok, Cancel, Close, Escape, Countdown, Forgotten };

class PinUi : public ControlUi {
protected:
    void SetUp() override {
        setCapsLock(false);
        ControlUi::SetUp();
    }
    void TearDown() override {
        ControlUi::TearDown();
        setCapsLock(false);
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
    // Ends the dialog that request waits on; the request has no result until
    // the last moment of a countdown or of the ceiling.
    template <typename Request>
    void endAs(Window dialog, Ending ending, Request& request) {
        switch (ending) {
        case Ending::Ok:
            ASSERT_TRUE(user_.click(dialog, kIdOk));
            break;
        case Ending::Cancel:
            ASSERT_TRUE(user_.click(dialog, kIdCancel));
            break;
        case Ending::Close:
            ASSERT_TRUE(user_.close(dialog));
            break;
        case Ending::Escape:
            ASSERT_TRUE(user_.key(dialog, "escape"));
            break;
        case Ending::Countdown:
            ASSERT_EQ(advanceClock(59s), AdvanceResult::Done);
            EXPECT_FALSE(request.result(0ms).has_value());
            EXPECT_EQ(*controlOf(dump(dialog), kUiCountdownNumber)->find("text")->asString(), " 1");
            ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
            break;
        case Ending::Forgotten:
            ASSERT_EQ(advanceClock(300s - 1ms), AdvanceResult::Done);
            EXPECT_FALSE(request.result(0ms).has_value());
            ASSERT_EQ(advanceClock(1ms), AdvanceResult::Done);
            break;
        }
    }
    // Until n threads sleep on the clock (the Caps Lock follower).
    static void waitForSleepers(std::size_t n) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (sleepingThreads() < n && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
    }
};

} // namespace pin_ui_test
