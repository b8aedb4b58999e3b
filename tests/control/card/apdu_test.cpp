// The card commands as values: the four ISO cases and their limits, the PIN
// block of even, odd, long and non-digit PINs, and the one reader of the
// GET TAC answer.

#include "control/ControlErrorCode.h"
#include "control/card/QxSCApdu.h"
#include "tests/card/CardTestData.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using card_test::hex;
using namespace tavelo;
using namespace std::string_view_literals;

std::string show(std::span<const std::uint8_t> bytes) {
    return card_emulator::toHex(bytes);
}

struct CaseRow {
    const char* what;
    Bytes data;
    std::optional<std::uint16_t> expected;
    int isoCase;
    Bytes bytes;
};

TEST(CardLayerApdu, EachIsoCaseIsWrittenAsItsHeaderLcDataAndLe) {
    const std::vector<CaseRow> rows = {
        {"case 1", {}, std::nullopt, 1, hex("00 CA 01 02")},
        {"case 2", {}, 16, 2, hex("00 CA 01 02 10")},
        {"case 2 expecting 256", {}, 256, 2, hex("00 CA 01 02 00")},
        {"case 3", hex("AA BB"), std::nullopt, 3, hex("00 CA 01 02 02 AA BB")},
        {"case 4", hex("AA"), 1, 4, hex("00 CA 01 02 01 AA 01")},
        {"case 4 with 255 data bytes", Bytes(255, 0x5A), 256, 4,
         card_test::concat(card_test::concat(hex("00 CA 01 02 FF"), Bytes(255, 0x5A)), hex("00"))},
    };
    for (const auto& row : rows) {
        const auto command = ApduCommand::make(0x00, 0xCA, 0x01, 0x02, row.data, row.expected);
        ASSERT_TRUE(command.has_value()) << row.what;
        EXPECT_EQ(command->isoCase(), row.isoCase) << row.what;
        EXPECT_EQ(show(command->bytes()), show(row.bytes)) << row.what;
        EXPECT_EQ(show(command->data()), show(row.data)) << row.what;
        EXPECT_EQ(command->instruction(), 0xCA) << row.what;
    }
}

TEST(CardLayerApdu, WhatAShortCommandCannotCarryIsRefused) {
    const Bytes tooLong(256, 0x31);
    EXPECT_FALSE(ApduCommand::make(0x00, 0xE2, 0x10, 0x80, tooLong, 256));
    EXPECT_FALSE(ApduCommand::make(0x00, 0xB0, 0x00, 0x00, {}, 0));
    EXPECT_FALSE(ApduCommand::make(0x00, 0xB0, 0x00, 0x00, {}, 257));
    EXPECT_FALSE(getTacCommand(tooLong));
    EXPECT_FALSE(getTacWithSerialCommand(tooLong));
    EXPECT_TRUE(getTacCommand(Bytes(255, 0x31)));
}

// Header, Lc, data, Le: data length + 6 bytes, an empty record included.
TEST(CardLayerApdu, TheTacCommandsAlwaysCarryLc) {
    const struct {
        const char* what;
        Bytes data;
    } rows[] = {{"no data", {}}, {"one byte", hex("31")}, {"255 bytes", Bytes(255, 0x32)}};
    for (const auto& row : rows) {
        for (const bool withSerial : {false, true}) {
            const auto command =
                withSerial ? getTacWithSerialCommand(row.data) : getTacCommand(row.data);
            ASSERT_TRUE(command) << row.what;
            EXPECT_EQ(show(command->bytes()), show(card_test::getTacCommand(row.data, withSerial)))
                << row.what;
            EXPECT_EQ(command->bytes().size(), row.data.size() + 6) << row.what;
            EXPECT_EQ(show(command->data()), show(row.data)) << row.what;
        }
    }
}

struct PinRow {
    const char* pin;
    int result;
    Bytes block;
};

TEST(CardLayerPinBlock, DigitsAsNibblesAnFAfterAnOddCountThenFF) {
    const Bytes allFF = hex("FF FF FF FF FF FF FF FF");
    const std::vector<PinRow> rows = {
        {"123456", kCtlOk, hex("12 34 56 FF FF FF FF FF")},
        {"1234567", kCtlOk, hex("12 34 56 7F FF FF FF FF")},
        {"246810", kCtlOk, hex("24 68 10 FF FF FF FF FF")},
        {"123456789012", kCtlOk, hex("12 34 56 78 90 12 FF FF")},
        {"12345678901", kCtlOk, hex("12 34 56 78 90 1F FF FF")},
        // The block takes no length or digit check of its own: that is the
        // callers'. What it holds at most:
        {"123456789012345", kCtlOk, hex("12 34 56 78 90 12 34 5F")},
        {"1234567890123456", kCtlOk, hex("12 34 56 78 90 12 34 56")},
        {"12345a", kCtlOk, hex("12 34 5A FF FF FF FF FF")},
        // More than 16 characters do not fit in the 8 bytes.
        {"12345678901234567", kCtlPinLength, allFF},
        {"123456789012345678", kCtlPinLength, allFF},
        {"12345g", kCtlBadHex, allFF},
        {"g23456", kCtlBadHex, allFF},
        {"", kCtlNoMemory, allFF},
    };
    for (const auto& row : rows) {
        PinBlock block;
        ASSERT_EQ(block.set("999999"), kCtlOk);
        EXPECT_EQ(block.set(row.pin), row.result) << row.pin;
        EXPECT_EQ(show(block.bytes()), show(row.block)) << row.pin;
    }
    EXPECT_EQ(show(PinBlock().bytes()), show(allFF)) << "an empty block is the keypad's";
}

TEST(CardLayerPinBlock, VerifyAndWriteRecordCarryIt) {
    PinBlock block;
    ASSERT_EQ(block.set("1234567"), kCtlOk);
    EXPECT_EQ(show(verifyCommand(block).bytes()),
              show(hex("00 20 00 10 08 12 34 56 7F FF FF FF FF")));
    EXPECT_EQ(show(writeRecordCommand(block).bytes()),
              show(hex("00 D2 01 04 08 12 34 56 7F FF FF FF FF")));
}

struct TacRow {
    const char* what;
    Bytes data;
    int result;
    std::optional<std::string> tac;
    std::optional<std::string> tsn;
};

TEST(CardLayerTacAnswer, TheTacFromBytes11To18AndTheTsnFromByte1ToItsZeroOrByte10) {
    const Bytes tac = hex("A1 B2 C3 D4 E5 F6 07 18");
    const auto answer = [&](const Bytes& head) { return card_test::concat(head, tac); };
    const std::vector<TacRow> rows = {
        {"empty: no TAC", {}, kCtlFailed, std::nullopt, std::nullopt},
        {"one byte", hex("01"), kCtlFailed, std::nullopt, std::nullopt},
        {"18 bytes: one short of the TAC", Bytes(18, 0x31), kCtlFailed, std::nullopt, std::nullopt},
        {"the card's layout",
         answer(card_test::concat(hex("01"), card_test::ascii("00000041\0\0"sv))), kCtlOk,
         "A1B2C3D4E5F60718", "00000041"},
        {"a TSN without a zero byte stops before the TAC",
         answer(card_test::concat(hex("01"), card_test::ascii("0123456789"))), kCtlOk,
         "A1B2C3D4E5F60718", "0123456789"},
        {"a TSN that is empty", answer(Bytes(11, 0x00)), kCtlOk, "A1B2C3D4E5F60718", ""},
        {"more data after the TAC",
         card_test::concat(
             answer(card_test::concat(hex("01"), card_test::ascii("123\0\0\0\0\0\0\0"sv))),
             hex("99 99")),
         kCtlOk, "A1B2C3D4E5F60718", "123"},
    };
    for (const auto& row : rows) {
        std::optional<TacAnswer> out = TacAnswer{"old", "old"};
        EXPECT_EQ(parseTacAnswer(row.data, out), row.result) << row.what;
        EXPECT_EQ(out.has_value(), row.tac.has_value()) << row.what;
        if (out && row.tac) {
            EXPECT_EQ(out->tac, *row.tac) << row.what;
            EXPECT_EQ(out->tsn, *row.tsn) << row.what;
        }
    }
}

} // namespace
