#pragma once

// The control created through the registry with a card connected in a
// private pcscd: what the method and transaction tests start from, and the
// control log they read when they end.

#include "tests/card/CardTestData.h"
#include "tests/control/com/ControlTestSupport.h"
#include "tests/control/com/TaveloClass.h"
#include "tests/support/CardRig.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace control_test {

class ConnectedControl : public tavelo_class::TaveloClass {
protected:
    // The card goes into the first reader of the entries.
    explicit ConnectedControl(std::string_view program,
                              std::vector<testing_support::VirtualReaderEntry> entries = {{}})
        : rig(std::move(entries)), logFolder_(controlLogFolder(program)) {}

    void SetUp() override {
        ASSERT_TRUE(rig.start()) << rig.why();
        ASSERT_NO_FATAL_FAILURE(startInRig());
        if (manualClock) {
            setenv("CORVANTIX_UI_CLOCK", "manual", 1);
        } else {
            unsetenv("CORVANTIX_UI_CLOCK");
        }
        setenv("CORVANTIX_UI_LANGUAGE", "english", 1);
        std::filesystem::create_directories(logFolder_);
        box.write("Windows/Tavelo.ini",
                  "[Tavelo]\nLog File=" + (logFolder_ / "control.log").string() +
                      "\nLog Level=5\n");
        TaveloClass::SetUp();
        card = rig.insertCard(card_emulator::kDefaultPort, profile);
        ASSERT_NE(card, nullptr) << rig.why();
        reader = rig.readers()[0];
        std::int32_t rc = -1;
        ASSERT_EQ(control->ConnectCard(tavelo_class::text(reader).get(), &rc), S_OK);
        ASSERT_EQ(rc, 0);
        card->clearLog();
    }

    // Releases the control and hands back everything it logged; the log's
    // folder goes with it.
    std::string endAndReadLog() {
        TaveloClass::TearDown();
        std::stringstream all;
        std::error_code error;
        for (const auto& file : std::filesystem::directory_iterator(logFolder_, error)) {
            std::ifstream in(file.path());
            all << in.rdbuf();
        }
        std::filesystem::remove_all(logFolder_, error);
        return all.str();
    }

    std::vector<card_emulator::Bytes> commands() const {
        std::vector<card_emulator::Bytes> sent;
        for (const auto& e : card->exchanges()) {
            sent.push_back(e.command);
        }
        return sent;
    }

    // What a fixture starts inside the rig's namespaces before the control
    // is made (a display for its dialogs, say).
    virtual void startInRig() {}

    // The dialogs' clock: the manual one that only the scripted user moves,
    // or the real one a person at a display has.
    bool manualClock = true;
    card_emulator::CardProfile profile = card_test::testProfile();
    testing_support::CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::string reader;

private:
    std::filesystem::path logFolder_;
};

} // namespace control_test
