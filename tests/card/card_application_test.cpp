// The emulated card's application on its own: command bytes in, exact
// answer bytes out, without a reader or a socket.

#include "tests/card/CardTestData.h"
#include "tools/card-emulator/CardApplication.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace card_test;
using card_emulator::CardApplication;
using card_emulator::CardProfile;

std::string show(const Bytes& bytes) {
    return card_emulator::toHex(bytes);
}

TEST(CardApplication, AnswersTheScriptByteForByte) {
    CardApplication card(testProfile());
    for (const auto& row : applicationScript()) {
        EXPECT_EQ(show(card.process(row.command)), show(row.response)) << row.what;
    }
}

TEST(CardApplication, NeverAnswersEmptyOrWithMoreThan253DataBytes) {
    CardProfile profile = testProfile();
    profile.records[0x1001][3] = Bytes(253, 0x5A);
    CardApplication card(profile);
    const std::vector<Bytes> commands = {{},
                                         hex("00"),
                                         hex("00 A4"),
                                         hex("00 A4 02 00 02 10 01"),
                                         hex("00 B2 03 04 00"),
                                         hex("FF FF FF FF FF FF FF"),
                                         Bytes(300, 0x00),
                                         hex("00 B2 03 04 FF")};
    for (const auto& command : commands) {
        const Bytes answer = card.process(command);
        ASSERT_GE(answer.size(), 2u) << show(command);
        EXPECT_LE(answer.size(), 255u) << show(command);
        EXPECT_NE(answer[answer.size() - 2], 0x61) << show(command);
        EXPECT_NE(answer[answer.size() - 2], 0x6C) << show(command);
    }
    card.process(hex("00 A4 02 00 02 10 01"));
    EXPECT_EQ(card.process(hex("00 B2 03 04 00")), concat(Bytes(253, 0x5A), hex("90 00")));
}

// Each row: the PIN block sent, the status word, the tries left after it.
struct PinStep {
    Bytes block;
    std::uint16_t sw;
    int triesLeft;
};

TEST(CardApplication, PinTriesCountDownAndAGoodPinResetsThem) {
    const std::vector<PinStep> road = {
        {kWrongPinBlock, 0x6608, 2},
        {kWrongPinBlock, 0x6610, 1},
        {kPinBlock, 0x9000, 3},
        {kWrongPinBlock, 0x6608, 2},
        {hex("FF FF FF FF FF FF FF FF"), 0x6610, 1}, // no PIN in it at all
        {kWrongPinBlock, 0x6620, 0},
        {kPinBlock, 0x6620, 0}, // blocked: the right PIN no longer helps
        {kWrongPinBlock, 0x6620, 0},
    };
    CardApplication card(testProfile());
    int step = 0;
    for (const auto& row : road) {
        const Bytes answer = card.process(concat(hex("00 20 00 10 08"), row.block));
        const Bytes expected = {static_cast<std::uint8_t>(row.sw >> 8),
                                static_cast<std::uint8_t>(row.sw & 0xFF)};
        EXPECT_EQ(show(answer), show(expected)) << "step " << step;
        EXPECT_EQ(card.triesLeft(), row.triesLeft) << "step " << step;
        ++step;
    }
}

TEST(CardApplication, StartsWithTheProfilesTriesLeft) {
    CardProfile profile = testProfile();
    profile.triesLeft = 1;
    CardApplication card(profile);
    EXPECT_EQ(card.process(kVerifyWrong), hex("66 20"));
    CardProfile blocked = testProfile();
    blocked.triesLeft = 0;
    CardApplication blockedCard(blocked);
    EXPECT_EQ(blockedCard.process(kVerify), hex("66 20"));
}

TEST(CardApplication, GetTacCarriesTheTsnAndAnHmacTheTestRecomputes) {
    CardApplication card(testProfile());
    ASSERT_EQ(card.process(kSelectApplication), hex("90 00"));
    ASSERT_EQ(card.process(kVerify), hex("90 00"));
    const Bytes record = ascii("2590000000000000000000001500001234567820241231");
    struct Call {
        Bytes data;
        bool withSerial;
    };
    const std::vector<Call> calls = {{record, false},
                                     {record, false},
                                     {hex("00"), false},
                                     {record, true},
                                     {Bytes(250, 0x31), true}};
    std::uint32_t tsn = kFirstTsn;
    for (const auto& call : calls) {
        const Bytes answer = card.process(getTacCommand(call.data, call.withSerial));
        EXPECT_EQ(show(answer), show(expectedTacAnswer(tsn, call.data, call.withSerial)))
            << "TSN " << tsn;
        ++tsn;
        EXPECT_EQ(card.tsn(), tsn);
    }
    // Read as the card methods read it: TSN text from byte 1 up to its zero
    // byte, the TAC at bytes 11 to 18.
    const Bytes answer = card.process(getTacCommand(record, false));
    const std::string tsnText(reinterpret_cast<const char*>(answer.data() + 1));
    EXPECT_EQ(tsnText, "00000046");
    EXPECT_EQ(Bytes(answer.begin() + 11, answer.begin() + 19), expectedTac(46, record, false));
}

TEST(CardApplication, GetTacWithoutVerifyIsAllowedWhenTheProfileSaysSo) {
    CardProfile profile = testProfile();
    profile.tacNeedsPin = false;
    CardApplication card(profile);
    const Bytes data = ascii("ABC");
    EXPECT_EQ(card.process(getTacCommand(data, false)), expectedTacAnswer(kFirstTsn, data, false));
}

TEST(CardApplication, PowerCycleForgetsTheVerificationAndTheCurrentFile) {
    CardApplication card(testProfile());
    card.process(kVerify);
    card.process(hex("00 A4 02 00 02 10 01"));
    ASSERT_EQ(card.process(hex("00 B2 01 04 00")), concat(kRecord1001_1, hex("90 00")));
    card.powerCycle();
    EXPECT_EQ(card.process(hex("00 B2 01 04 00")), hex("69 86"));
    EXPECT_EQ(card.process(getTacCommand(ascii("A"), false)), hex("69 82"));
    EXPECT_EQ(card.triesLeft(), 3);
}

TEST(CardApplication, ChangePinRoad) {
    CardApplication card(testProfile());
    const Bytes newBlock = hex("12 34 56 7F FF FF FF FF"); // 1234567
    EXPECT_EQ(card.process(kSelectApplication), hex("90 00"));
    EXPECT_EQ(card.process(kVerify), hex("90 00"));
    EXPECT_EQ(card.process(hex("00 A4 02 00 02 00 C2")), hex("90 00"));
    EXPECT_EQ(card.process(concat(hex("00 D2 01 04 08"), newBlock)), hex("90 00"));
    EXPECT_EQ(card.process(kVerify), hex("66 08"));
    EXPECT_EQ(card.process(concat(hex("00 20 00 10 08"), newBlock)), hex("90 00"));
    EXPECT_EQ(card.triesLeft(), 3);
}

TEST(CardApplication, KeypadReaderTakesThePinForAnAllFfBlockAndForGetTac) {
    CardProfile profile = testProfile();
    profile.keypad = true;
    const Bytes noPin = hex("00 20 00 10 08 FF FF FF FF FF FF FF FF");
    {
        CardApplication card(profile);
        EXPECT_EQ(card.process(noPin), hex("90 00"));
        // A PIN given to the command is still checked as it is.
        EXPECT_EQ(card.process(kVerifyWrong), hex("66 08"));
    }
    {
        CardApplication card(profile);
        const Bytes data = ascii("DATA");
        EXPECT_EQ(card.process(getTacCommand(data, false)),
                  expectedTacAnswer(kFirstTsn, data, false));
    }
    profile.keypadPin.assign({'1', '1', '1', '1', '1', '1'});
    {
        CardApplication card(profile);
        EXPECT_EQ(card.process(noPin), hex("66 08"));
        EXPECT_EQ(card.process(getTacCommand(ascii("DATA"), false)), hex("66 10"));
        EXPECT_EQ(card.tsn(), kFirstTsn);
    }
}

TEST(CardApplication, RandomGivesEightFreshBytes) {
    CardApplication card(testProfile());
    std::set<Bytes> seen;
    for (const auto& command : {hex("00 86 00 00 08"), hex("00 86 00 00 00")}) {
        for (int i = 0; i < 4; ++i) {
            const Bytes answer = card.process(command);
            ASSERT_EQ(answer.size(), 10u);
            EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), hex("90 00"));
            seen.insert(Bytes(answer.begin(), answer.end() - 2));
        }
    }
    EXPECT_EQ(seen.size(), 8u);
}

struct BlockRow {
    std::string pin;
    std::optional<Bytes> block;
};

TEST(CardProfile, PinBlocksAndBack) {
    const std::vector<BlockRow> rows = {
        {"123456", hex("12 34 56 FF FF FF FF FF")},
        {"1234567", hex("12 34 56 7F FF FF FF FF")},
        {"123456789012", hex("12 34 56 78 90 12 FF FF")},
        {"12345", std::nullopt},
        {"1234567890123", std::nullopt},
        {"12345a", std::nullopt},
    };
    for (const auto& row : rows) {
        const Bytes digits = ascii(row.pin);
        const auto block = card_emulator::pinBlock(digits);
        ASSERT_EQ(block.has_value(), row.block.has_value()) << row.pin;
        if (block) {
            EXPECT_EQ(Bytes(block->begin(), block->end()), *row.block) << row.pin;
            const auto back = card_emulator::pinFromBlock(*block);
            ASSERT_TRUE(back) << row.pin;
            EXPECT_EQ(Bytes(back->begin(), back->end()), digits);
        }
    }
    for (const auto& bad : {hex("12 34 5F FF FF FF FF FF"), hex("12 34 56 F7 FF FF FF FF"),
                            hex("12 34 56 A8 FF FF FF FF"), hex("12 34 56 FF FF FF FF")}) {
        EXPECT_FALSE(card_emulator::pinFromBlock(bad)) << show(bad);
    }
}

TEST(CardProfile, ScriptSetsTheCardAndItsFaults) {
    std::string error;
    const auto script = card_emulator::parseScript(R"(# a card for a demonstration
protocol t0
serial 00112233445566778899AABBCCDDEEFF
pin 13572468   # eight digits
tries 2
tac-key 6B6579
tsn 7
keypad on
keypad-pin 999999
tac-needs-pin off
record 1001 3 0102 0304
fault 20 once sw 6A82
fault B0 2 data 01020304 6A83
fault B2 always data -
fault E2 once byte 6F
fault A4 once delay 250
fault 86 once drop
)",
                                                   error);
    ASSERT_TRUE(script) << error;
    const CardProfile& p = script->profile;
    EXPECT_EQ(p.atr, card_emulator::atrT0());
    EXPECT_EQ(Bytes(p.serial.begin(), p.serial.end()),
              hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"));
    EXPECT_EQ(std::string(p.pin.begin(), p.pin.end()), "13572468");
    EXPECT_EQ(p.triesLeft, 2);
    EXPECT_EQ(Bytes(p.tacKey.begin(), p.tacKey.end()), ascii("key"));
    EXPECT_EQ(p.tsn, 7u);
    EXPECT_TRUE(p.keypad);
    EXPECT_EQ(std::string(p.keypadPin.begin(), p.keypadPin.end()), "999999");
    EXPECT_FALSE(p.tacNeedsPin);
    EXPECT_EQ(p.records.at(0x1001).at(3), hex("01 02 03 04"));
    // The default card's records stay where the script adds none.
    EXPECT_EQ(p.records.at(0x1001).count(1), 1u);

    using Kind = card_emulator::Fault::Kind;
    const auto& f = script->faults;
    ASSERT_EQ(f.size(), 6u);
    EXPECT_TRUE(f[0].instruction == 0x20 && f[0].times == 1 && f[0].kind == Kind::Answer &&
                f[0].sw == 0x6A82 && f[0].data.empty());
    EXPECT_TRUE(f[1].instruction == 0xB0 && f[1].times == 2 && f[1].sw == 0x6A83 &&
                f[1].data == hex("01 02 03 04"));
    EXPECT_TRUE(f[2].instruction == 0xB2 && f[2].times == card_emulator::Fault::kAlways &&
                f[2].sw == 0x9000 && f[2].data.empty());
    EXPECT_TRUE(f[3].kind == Kind::OneByte && f[3].byte == 0x6F);
    EXPECT_TRUE(f[4].kind == Kind::Delay && f[4].delay == std::chrono::milliseconds(250));
    EXPECT_TRUE(f[5].kind == Kind::Drop && f[5].instruction == 0x86);
}

TEST(CardProfile, ScriptErrorsNameTheirLine) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"pin 12345", "line 1"},
        {"\npin 12345678901234", "line 2"},
        {"pin 12345a", "line 1"},
        {"serial 0011", "line 1"},
        {"tries 4", "line 1"},
        {"protocol t2", "line 1"},
        {"record 1001 0 00", "line 1"},
        {"record 00C2 1 00", "line 1"},
        {"record 1001 1 " + std::string(254 * 2, 'A'), "line 1"},
        {"fault 20 never sw 6A82", "line 1"},
        {"fault 20 once sw 6A8", "line 1"},
        {"fault 20 once data " + std::string(255 * 2, 'A'), "line 1"},
        {"fault 20 once explode", "line 1"},
        {"colour blue", "line 1"},
        {"atr 3", "line 1"},
    };
    for (const auto& [text, where] : rows) {
        std::string error;
        EXPECT_FALSE(card_emulator::parseScript(text, error)) << text;
        EXPECT_EQ(error.rfind(where + ":", 0), 0u) << text << " gave " << error;
    }
}

} // namespace
