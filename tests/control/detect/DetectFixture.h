#pragma once

// What the tests of the confirmation and detection dialogs share: a sandbox
// with the control log at level 5, a private pcscd with virtual readers
// (started first, while the test is still one thread), the manual clock, a
// scripted backend of the test's own and the scripted user; the count of the
// process's threads.

#include "control/ControlLog.h"
#include "control/card/QxSCUtil.h"
#include "control/ui/UI.h"
#include "control/ui/UIDetail.h"
#include "platform/ui/Resources.h"
#include "tests/support/CardRig.h"
#include "tests/ui/UiFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace detect_test {

using namespace ui_test;
namespace fs = std::filesystem;
using testing_support::CardRig;
using testing_support::VirtualReaderEntry;

// The threads of this process.
inline std::size_t threadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// Waits until the process has at most n threads; the count then.
inline std::size_t threadsSettleTo(std::size_t n, std::chrono::milliseconds limit = 3s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    std::size_t now = threadCount();
    while (now > n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms);
        now = threadCount();
    }
    return now;
}

inline const JsonValue* controlOf(const JsonValue& dialog, int id) {
    for (const auto& control : *dialog.find("controls")->asArray()) {
        if (control.find("id")->asNumber() == id) {
            return &control;
        }
    }
    return nullptr;
}

inline std::string textOf(const JsonValue& dialog, int id) {
    const JsonValue* control = controlOf(dialog, id);
    return control != nullptr ? *control->find("text")->asString() : "<none>";
}

inline bool enabledOf(const JsonValue& dialog, int id) {
    const JsonValue* control = controlOf(dialog, id);
    return control != nullptr && control->find("enabled")->asBool() == true;
}

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

class DetectUi : public ::testing::Test {
protected:
    explicit DetectUi(std::vector<VirtualReaderEntry> entries = {VirtualReaderEntry{}})
        : rig(std::move(entries)) {}

    void SetUp() override {
        // The namespaces need a process of one thread: before anything else.
        if (startPcscd) {
            ASSERT_TRUE(rig.start()) << rig.why();
        } else {
            ASSERT_TRUE(rig.enterNamespaces()) << rig.why();
        }
        useManualClock();
        // Another result than the product's, so that the product is seen to
        // set its own.
        setModalWaitCeiling(300s, kIdCancel);
        setSystemLanguage(kLanguageEnglishUs);
        backend_ = ScriptedBackend::start();
        ASSERT_TRUE(backend_);
        setBackend(backend_);
        Log_ResetForTest();
        fs::create_directories(box_.root() / "C" / "logs");
        box_.write("Windows/Tavelo.ini", "[Tavelo]\nLog File=C:\\logs\\ui.txt\nLog Level=5\n");
        ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
        UI_ResetForTest();
        ASSERT_EQ(UI_SetLanguage("english"), kCtlOk);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "control log:\n%s\n", logText().c_str());
        }
        setBackend(nullptr);
        backend_.reset();
        useRealClock();
        setSystemLanguage(std::nullopt);
        Log_ResetForTest();
        UI_ResetForTest();
    }

    // A card in the first reader; the current reader is that one.
    card_emulator::CardEmulator* insert() {
        card = rig.insertCard();
        EXPECT_NE(card, nullptr) << rig.why();
        g_szReaderName = rig.readers()[0];
        return card;
    }
    Window waitFor(std::uint32_t templateId) {
        return user_.waitForDialog(templateId, 5s).value_or(0);
    }
    JsonValue dump(Window dialog) {
        const auto reply = user_.dump(dialog);
        EXPECT_TRUE(reply) << reply.error;
        const JsonValue* d = reply.body.find("dialog");
        return d != nullptr ? *d : JsonValue();
    }
    std::string logText() const {
        std::string text;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(box_.root() / "C" / "logs", ec)) {
            text += testing_support::Sandbox::read(entry.path());
        }
        return text;
    }

    bool startPcscd = true;
    testing_support::Sandbox box_;
    CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::shared_ptr<ScriptedBackend> backend_;
    Client user_{getpid()};
};

} // namespace detect_test
