#pragma once

// What the tests of the control's dialogs share: a sandbox with the control
// log at level 5, the manual clock, a scripted backend of the test's own and
// the scripted user; and readers of a dialog's dump.

#include "control/ControlLog.h"
#include "control/ui/UI.h"
#include "control/ui/UIDetail.h"
#include "tests/ui/UiFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace control_ui_test {

using namespace ui_test;

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

class ControlUi : public ::testing::Test {
protected:
    void SetUp() override {
        useManualClock();
        // Another result than the product's, so that the product is seen to
        // set its own.
        setModalWaitCeiling(300s, kIdCancel);
        setSystemLanguage(kLanguageEnglishUs);
        backend_ = ScriptedBackend::start();
        ASSERT_TRUE(backend_);
        setBackend(backend_);
        Log_ResetForTest();
        std::filesystem::create_directories(box_.root() / "C" / "logs");
        box_.write("Windows/Tavelo.ini", "[Tavelo]\nLog File=C:\\logs\\ui.txt\nLog Level=5\n");
        ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
        UI_ResetForTest();
    }
    void TearDown() override {
        setBackend(nullptr);
        backend_.reset();
        useRealClock();
        setSystemLanguage(std::nullopt);
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
    // Everything the control log holds.
    std::string logText() const {
        std::string text;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator(box_.root() / "C" / "logs", ec)) {
            text += testing_support::Sandbox::read(entry.path());
        }
        return text;
    }

    testing_support::Sandbox box_;
    std::shared_ptr<ScriptedBackend> backend_;
    Client user_{getpid()};
};

} // namespace control_ui_test
