#pragma once

// What the card layer's tests through pcscd share: a sandbox whose control
// log writes every level, a private pcscd (CardRig) with the test card, and
// what the card saw.

#include "control/ControlLog.h"
#include "platform/pcsc/Pcsc.h"
#include "tests/card/CardTestData.h"
#include "tests/support/CardRig.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace card_layer_test {

using card_emulator::Bytes;

inline std::string show(std::span<const std::uint8_t> bytes) {
    return card_emulator::toHex(bytes);
}

// The control log, configured in a sandbox at the debug level.
class ControlLogFile {
public:
    ControlLogFile() {
        Log_ResetForTest();
        std::filesystem::create_directories(box_.root() / "C" / "logs");
        box_.write("Windows/Tavelo.ini", "[Tavelo]\nLog File=C:\\logs\\card.txt\nLog Level=5\n");
        Log_Init("Tavelo", "Tavelo.ini");
    }
    ~ControlLogFile() { Log_ResetForTest(); }
    ControlLogFile(const ControlLogFile&) = delete;
    ControlLogFile& operator=(const ControlLogFile&) = delete;

    // Every line written so far.
    std::string text() const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(box_.root() / "C" / "logs")) {
            all += testing_support::Sandbox::read(entry.path());
        }
        return all;
    }

private:
    testing_support::Sandbox box_;
};

class CardLayerRig : public ::testing::Test {
protected:
    explicit CardLayerRig(std::vector<testing_support::VirtualReaderEntry> entries = {{}})
        : rig(std::move(entries)) {}

    void SetUp() override { ASSERT_TRUE(rig.start()) << rig.why(); }
    void TearDown() override {
        platform::pcsc::seam::clearFailures();
        if (HasFailure()) {
            std::fprintf(stderr, "pcscd wrote:\n%s\ncontrol log:\n%s\n", rig.pcscdLog().c_str(),
                         log.text().c_str());
        }
    }

    // The test card (or another profile) in the first reader.
    card_emulator::CardEmulator*
    insert(card_emulator::CardProfile profile = card_test::testProfile()) {
        card = rig.insertCard(card_emulator::kDefaultPort, std::move(profile));
        EXPECT_NE(card, nullptr) << rig.why();
        return card;
    }
    std::string reader() const { return rig.readers()[0]; }
    // The commands the card received, in order.
    std::vector<Bytes> received() const {
        std::vector<Bytes> commands;
        for (const auto& exchange : card->exchanges()) {
            commands.push_back(exchange.command);
        }
        return commands;
    }

    ControlLogFile log; // before the rig: the sandbox outlives it
    testing_support::CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
};

} // namespace card_layer_test
