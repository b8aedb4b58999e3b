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
#include "tests/control/ControlUiFixture.h"
#include "tests/support/CardRig.h"
#include "tests/ui/UiFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace detect_test {

using namespace ui_test;
using namespace control_ui_test;
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

inline std::string textOf(const JsonValue& dialog, int id) {
    const JsonValue* control = controlOf(dialog, id);
    return control != nullptr ? *control->find("text")->asString() : "<none>";
}

inline bool enabledOf(const JsonValue& dialog, int id) {
    const JsonValue* control = controlOf(dialog, id);
    return control != nullptr && control->find("enabled")->asBool() == true;
}

class DetectUi : public ControlUi {
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
        ControlUi::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(UI_SetLanguage("english"), kCtlOk);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "control log:\n%s\n", logText().c_str());
        }
        ControlUi::TearDown();
    }

    // A card in the first reader; the reader the dialogs watch is that one.
    card_emulator::CardEmulator* insert() {
        card = rig.insertCard();
        EXPECT_NE(card, nullptr) << rig.why();
        reader = rig.readers()[0];
        return card;
    }

    bool startPcscd = true;
    CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::string reader;
};

} // namespace detect_test
