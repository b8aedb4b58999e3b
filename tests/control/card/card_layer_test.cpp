// The control's card layer through a real pcscd and its virtual reader to
// the card emulator: reader lists, the connection record, every command of
// the set as the card receives it, answers without a status word, transmit
// failures as pcscd gives them and as the PC/SC layer's seam injects them,
// both status-word tables, and what the log shows of an exchange.

#include "control/ControlErrorCode.h"
#include "control/card/QxSCUtil.h"
#include "tests/control/card/CardLayerRig.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace card_layer_test;
using namespace card_test;
using card_emulator::Fault;
using testing_support::VirtualReaderEntry;
namespace pcsc = platform::pcsc;

// ---- Readers -------------------------------------------------------------------

struct ReaderCase {
    const char* name;
    std::vector<VirtualReaderEntry> entries;
    std::vector<std::string> readers;
};

class CardLayerReaders : public CardLayerRig, public ::testing::WithParamInterface<ReaderCase> {
protected:
    CardLayerReaders() : CardLayerRig(GetParam().entries) {}
};

TEST_P(CardLayerReaders, ListsEveryReaderAsAMultiString) {
    QxSCMemory list;
    std::uint32_t length = 0;
    ASSERT_EQ(QxSCListReaders(nullptr, list, length), kCtlOk);
    ASSERT_NE(list, nullptr);
    std::string expected;
    for (const auto& name : GetParam().readers) {
        expected += name;
        expected += '\0';
    }
    // An empty list is one zero byte; a list of names ends with a second.
    if (!expected.empty()) {
        expected += '\0';
    }
    const std::size_t readable = std::max<std::size_t>(expected.size(), 2);
    EXPECT_EQ(length, std::max<std::size_t>(expected.size(), 1));
    EXPECT_EQ(std::string(list.get(), readable),
              expected + std::string(readable - expected.size(), '\0'));
}

INSTANTIATE_TEST_SUITE_P(
    Rigs, CardLayerReaders,
    ::testing::Values(ReaderCase{"none", {}, {}},
                      ReaderCase{"one_entry", {{}}, {"Virtual PCD 00 00", "Virtual PCD 00 01"}},
                      ReaderCase{"two_entries",
                                 {{"Virtual PCD", 35963}, {"Second PCD", 35965}},
                                 {"Virtual PCD 00 00", "Virtual PCD 00 01", "Second PCD 00 00",
                                  "Second PCD 00 01"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardLayerRig, ListingFailuresGiveTheirCodesAndAnErrorLine) {
    QxSCMemory list;
    std::uint32_t length = 7;
    pcsc::seam::failNextCall("SCardEstablishContext", pcsc::kNoService);
    EXPECT_EQ(QxSCListReaders(nullptr, list, length), kCtlContextFailed);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(length, 0u);
    pcsc::seam::failNextCall("SCardListReaders", pcsc::kCommError);
    EXPECT_EQ(QxSCListReaders(nullptr, list, length), kCtlListReadersFailed);
    EXPECT_EQ(list, nullptr);

    const std::string text = log.text();
    EXPECT_NE(text.find("ERROR ["), std::string::npos);
    EXPECT_NE(text.find("QxSCUtil.cpp"), std::string::npos);
    EXPECT_NE(text.find("QxSCListReaders SCardEstablishContext fail: 8010001D"), std::string::npos)
        << text;
    EXPECT_NE(text.find("QxSCListReaders SCardListReaders fail: 80100013"), std::string::npos)
        << text;
}

// ---- The connection record ---------------------------------------------------------

class CardLayerScan : public CardLayerRig, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(CardLayerScan, ReadsTheCardsStatusAndChoosesThePciOfItsProtocol) {
    auto profile = testProfile();
    profile.atr = GetParam() == pcsc::kProtocolT0 ? card_emulator::atrT0() : card_emulator::atrT1();
    ASSERT_NE(insert(profile), nullptr);
    QxSCCardPtr record;
    ASSERT_EQ(QxSCScanCardInReader(reader(), false, record), kCtlOk);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->dwActiveProtocol, GetParam());
    EXPECT_EQ(record->pioSendPci, pcsc::pciForProtocol(GetParam()));
    EXPECT_EQ(record->dwState, pcsc::kStateSpecific);
    EXPECT_EQ(Bytes(record->bAtr.begin(), record->bAtr.begin() + record->dwAtrLen), profile.atr);
    EXPECT_STREQ(record->szReader.data(), reader().c_str());
    EXPECT_EQ(record->dwReaderLen, reader().size() + 2);
    EXPECT_TRUE(record->context.valid());
    EXPECT_TRUE(record->card.valid());
}

INSTANTIATE_TEST_SUITE_P(Protocols, CardLayerScan,
                         ::testing::Values(pcsc::kProtocolT1, pcsc::kProtocolT0),
                         [](const auto& info) {
                             return info.param == pcsc::kProtocolT0 ? "T0" : "T1";
                         });

TEST_F(CardLayerRig, AnExclusiveRecordHoldsTheCardUntilItIsReleased) {
    ASSERT_NE(insert(), nullptr);
    QxSCCardPtr record;
    ASSERT_EQ(QxSCScanCardInReader(reader(), true, record), kCtlOk);
    pcsc::Context context;
    ASSERT_EQ(pcsc::Context::establish(pcsc::kScopeUser, context), pcsc::kSuccess);
    pcsc::Card other;
    EXPECT_EQ(pcsc::Card::connect(context, reader(), pcsc::kShareShared, pcsc::kProtocolT1, other),
              pcsc::kSharingViolation);

    QxSCReleaseCard(record);
    EXPECT_EQ(record, nullptr);
    QxSCReleaseCard(record); // nothing to release
    EXPECT_EQ(
        pcsc::Card::connect(context, reader(), pcsc::kShareExclusive, pcsc::kProtocolT1, other),
        pcsc::kSuccess);
    // Released with a reset: the card forgets what was verified on it.
    const auto codes = card->controlCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 2), 1);
}

TEST_F(CardLayerRig, AFailedScanLeavesNoRecordAndReleasesTheOneItHeld) {
    ASSERT_NE(insert(), nullptr);
    struct Row {
        const char* what;
        std::string reader;
        const char* failure; // a call the seam fails first, or none
        int result;
    };
    const std::vector<Row> rows = {
        {"a reader that is not there", "No Such Reader", nullptr, kCtlConnectFailed},
        {"a reader without a card", rig.readers()[1], nullptr, kCtlConnectFailed},
        {"no context", reader(), "SCardEstablishContext", kCtlContextFailed},
        {"the status query fails", reader(), "SCardStatus", kCtlConnectFailed},
    };
    for (const auto& row : rows) {
        QxSCCardPtr record;
        ASSERT_EQ(QxSCScanCardInReader(reader(), true, record), kCtlOk) << row.what;
        if (row.failure != nullptr) {
            pcsc::seam::failNextCall(row.failure, pcsc::kCommError);
        }
        EXPECT_EQ(QxSCScanCardInReader(row.reader, true, record), row.result) << row.what;
        EXPECT_EQ(record, nullptr) << row.what;
    }
    // Nothing holds the card.
    QxSCCardPtr last;
    EXPECT_EQ(QxSCScanCardInReader(reader(), true, last), kCtlOk);
    EXPECT_NE(log.text().find("SCardConnect 'No Such Reader' fail: 80100009"), std::string::npos);
    EXPECT_NE(log.text().find("SCardStatus fail: 80100013"), std::string::npos);
}

// ---- Exchanges ---------------------------------------------------------------------------

class CardLayerExchange : public CardLayerRig {
protected:
    void SetUp() override {
        CardLayerRig::SetUp();
        ASSERT_NE(insert(), nullptr);
        ASSERT_EQ(QxSCScanCardInReader(reader(), false, record), kCtlOk);
    }

    // One exchange into the 256-byte buffer, 255 offered; the status word
    // starts as a stale 90 00.
    int exchange(const Bytes& command) {
        std::array<std::uint8_t, kQxSCResponseBufferSize> buffer{};
        length = kQxSCResponseUsable;
        sw = 0x9000;
        const int rc = sendRawAPDU(record.get(), command, buffer, length, sw);
        data.assign(buffer.begin(), buffer.begin() + length);
        return rc;
    }

    QxSCCardPtr record;
    std::uint32_t length = 0;
    std::uint32_t sw = 0;
    Bytes data;
};

struct CommandRow {
    const char* what;
    tavelo::ApduCommand command;
    Bytes bytes;
    int result;
    std::uint16_t sw;
    std::optional<Bytes> data; // nullopt: card-chosen (random) bytes
    std::size_t size = 0;
};

TEST_F(CardLayerExchange, EveryCommandOfTheSetReachesTheCardByteForByte) {
    tavelo::PinBlock pin;
    ASSERT_EQ(pin.set(kPin), kCtlOk);
    tavelo::PinBlock newPin;
    ASSERT_EQ(newPin.set("1357902"), kCtlOk);
    const Bytes tacRecord = ascii("2590000000000000000000001500001234567820241231");
    const auto tacAnswer = [](std::uint32_t tsn, const Bytes& data, bool withSerial) {
        Bytes answer = expectedTacAnswer(tsn, data, withSerial);
        answer.resize(answer.size() - 2);
        return answer;
    };
    const std::vector<CommandRow> rows = {
        {"SELECT application", tavelo::selectApplicationCommand(),
         hex("00 A4 04 00 08 A0 00 00 01 72 95 00 01 00"), kCtlOk, 0x9000, Bytes{}},
        {"VERIFY", tavelo::verifyCommand(pin), hex("00 20 00 10 08 24 68 10 FF FF FF FF FF"),
         kCtlOk, 0x9000, Bytes{}},
        {"SELECT EF", tavelo::selectFileCommand(0x1001), hex("00 A4 02 00 02 10 01"), kCtlOk,
         0x9000, Bytes{}},
        {"READ RECORD", tavelo::readRecordCommand(2), hex("00 B2 02 04 00"), kCtlOk, 0x9000,
         kRecord1001_2},
        {"READ RECORD of a record that is not there", tavelo::readRecordCommand(3),
         hex("00 B2 03 04 00"), kCtlFailed, 0x6A83, Bytes{}},
        {"READ BINARY", tavelo::readBinaryCommand(), hex("00 B0 00 00 10"), kCtlOk, 0x9000,
         kSerial},
        {"card random", tavelo::cardRandomCommand(), hex("00 86 00 00 08"), kCtlOk, 0x9000,
         std::nullopt, 8},
        {"SELECT EF of the PIN", tavelo::selectFileCommand(0x00C2), hex("00 A4 02 00 02 00 C2"),
         kCtlOk, 0x9000, Bytes{}},
        {"WRITE RECORD", tavelo::writeRecordCommand(newPin),
         hex("00 D2 01 04 08 13 57 90 2F FF FF FF FF"), kCtlOk, 0x9000, Bytes{}},
        {"GET TAC", *tavelo::getTacCommand(tacRecord),
         concat(concat(hex("00 E2 10 80 2E"), tacRecord), hex("00")), kCtlOk, 0x9000,
         tacAnswer(kFirstTsn, tacRecord, false)},
        {"TAC with serial number", *tavelo::getTacWithSerialCommand(tacRecord),
         concat(concat(hex("00 E2 10 90 2E"), tacRecord), hex("00")), kCtlOk, 0x9000,
         tacAnswer(kFirstTsn + 1, tacRecord, true)},
    };
    for (const auto& row : rows) {
        card->clearLog();
        tavelo::ApduResponse response;
        response.sw = 0x1234;
        EXPECT_EQ(sendRawAPDU(record.get(), row.command, response), row.result) << row.what;
        const auto sent = received();
        ASSERT_EQ(sent.size(), 1u) << row.what;
        EXPECT_EQ(show(sent[0]), show(row.bytes)) << row.what;
        EXPECT_EQ(response.sw, row.sw) << row.what;
        if (row.data) {
            EXPECT_EQ(show(response.data), show(*row.data)) << row.what;
        } else {
            EXPECT_EQ(response.data.size(), row.size) << row.what;
        }
    }
}

TEST_F(CardLayerExchange, AnAnswerWithoutAStatusWordFailsWithStatusWordZero) {
    card->addFault(Fault::oneByte(0xB0, 0x90));
    EXPECT_EQ(exchange(kReadSerial), kCtlFailed);
    EXPECT_EQ(sw, 0u);
    EXPECT_EQ(length, 0u);
    // The status word alone is an answer.
    card->addFault(Fault::answer(0xB0, {}, 0x9000));
    EXPECT_EQ(exchange(kReadSerial), kCtlOk);
    EXPECT_EQ(sw, 0x9000u);
    EXPECT_EQ(length, 0u);
}

TEST_F(CardLayerExchange, ACardPulledOutMidCommandGives5001Then19Then17) {
    card->addFault(Fault::drop(0xB0));
    // The driver reads the closed connection as an empty answer, with
    // success: no status word.
    EXPECT_EQ(exchange(kReadSerial), kCtlFailed);
    EXPECT_EQ(sw, 0u);
    EXPECT_EQ(exchange(kReadSerial), kCtlNotTransacted);
    EXPECT_EQ(sw, 0u) << "no stale 90 00";
    ASSERT_TRUE(rig.waitForCard(reader(), false));
    EXPECT_EQ(exchange(kReadSerial), kCtlCardRemoved);
    EXPECT_EQ(sw, 0u);
    EXPECT_EQ(length, 0u);
}

TEST_F(CardLayerExchange, ACardResetByAnotherConnectionGives18) {
    EXPECT_EQ(exchange(kSelectApplication), kCtlOk);
    pcsc::Context context;
    ASSERT_EQ(pcsc::Context::establish(pcsc::kScopeUser, context), pcsc::kSuccess);
    pcsc::Card other;
    ASSERT_EQ(pcsc::Card::connect(context, reader(), pcsc::kShareShared, pcsc::kProtocolT1, other),
              pcsc::kSuccess);
    ASSERT_EQ(other.disconnect(pcsc::kDispositionReset), pcsc::kSuccess);
    EXPECT_EQ(exchange(kReadSerial), kCtlCardReset);
    EXPECT_EQ(sw, 0u);
}

TEST_F(CardLayerExchange, TransmitFailuresAtTheChokePointMapToTheirCodes) {
    const std::vector<std::pair<pcsc::Result, int>> rows = {
        {pcsc::kNotTransacted, kCtlNotTransacted},  {pcsc::kResetCard, kCtlCardReset},
        {pcsc::kRemovedCard, kCtlCardRemoved},      {pcsc::kCommError, kCtlTransmitFailed},
        {pcsc::kInvalidHandle, kCtlTransmitFailed}, {pcsc::kUnresponsiveCard, kCtlTransmitFailed},
    };
    card->clearLog();
    for (const auto& [injected, code] : rows) {
        pcsc::seam::failNextCall("SCardTransmit", injected);
        EXPECT_EQ(exchange(kReadSerial), code) << std::hex << injected;
        EXPECT_EQ(sw, 0u) << std::hex << injected;
        EXPECT_EQ(length, 0u) << std::hex << injected;
    }
    EXPECT_TRUE(card->exchanges().empty());
    // The layer's failure lines, and the choke point's own.
    const std::string text = log.text();
    EXPECT_NE(text.find("sendRawAPDU lResult 80100013"), std::string::npos) << text;
    EXPECT_NE(text.find("sendRawAPDU SCardTransmit fail: 80100013"), std::string::npos);
    EXPECT_NE(text.find("QxSCUtil.cpp"), std::string::npos);
    EXPECT_NE(text.find(" SCardTransmit 0x80100066"), std::string::npos);
    EXPECT_EQ(exchange(kReadSerial), kCtlOk);
}

TEST_F(CardLayerExchange, AnAnswerLargerThanThe255BytesOfferedFailsWith20) {
    card->addFault(Fault::answer(0xB0, Bytes(253, 0x3C)));
    EXPECT_EQ(exchange(kReadSerial), kCtlOk);
    EXPECT_EQ(length, 253u);
    card->addFault(Fault::answer(0xB0, Bytes(254, 0x3C)));
    EXPECT_EQ(exchange(kReadSerial), kCtlTransmitFailed);
    EXPECT_EQ(sw, 0u);
}

TEST_F(CardLayerExchange, WhatCannotBeAnExchangeIsRefusedBeforeAnythingIsSent) {
    std::array<std::uint8_t, kQxSCResponseBufferSize> buffer{};
    std::uint32_t offered = kQxSCResponseUsable;
    std::uint32_t status = 0x9000;
    EXPECT_EQ(sendRawAPDU(nullptr, kReadSerial, buffer, offered, status), kCtlBadArgument);
    EXPECT_EQ(status, 0u);
    offered = kQxSCResponseUsable;
    EXPECT_EQ(sendRawAPDU(record.get(), Bytes{}, buffer, offered, status), kCtlBadArgument);
    offered = kQxSCResponseUsable;
    const Bytes longest = concat(concat(hex("00 E2 10 80 FF"), Bytes(255, 0x31)), hex("00"));
    EXPECT_EQ(sendRawAPDU(record.get(), concat(longest, hex("00")), buffer, offered, status),
              kCtlBadArgument);
    offered = kQxSCResponseBufferSize + 1;
    EXPECT_EQ(sendRawAPDU(record.get(), kReadSerial, buffer, offered, status), kCtlBadArgument);
    EXPECT_TRUE(card->exchanges().empty());
    // The longest short command does go out (the card refuses it before
    // VERIFY).
    offered = kQxSCResponseUsable;
    EXPECT_EQ(sendRawAPDU(record.get(), longest, buffer, offered, status), kCtlFailed);
    EXPECT_EQ(status, 0x6982u);
}

struct StatusRow {
    std::uint16_t sw;
    int full;
    int shortForm;
};

TEST_F(CardLayerExchange, BothStatusWordTablesRowByRow) {
    const std::vector<StatusRow> rows = {
        {0x9000, kCtlOk, kCtlOk},
        {0x6608, kCtlStatus6608, kCtlStatus6608},
        {0x6610, kCtlStatus6608, kCtlStatus6608},
        {0x6620, kCtlStatus6620, kCtlStatus6620},
        {0x69F0, kCtlCancelled, kCtlCancelled},
        {0x6E00, kCtlCardAbsent, kCtlFailed},
        {0x6A82, kCtlFailed, kCtlFailed},
        {0x6283, kCtlFailed, kCtlFailed},
        {0x6300, kCtlFailed, kCtlFailed},
        {0x9001, kCtlFailed, kCtlFailed},
        {0x6609, kCtlFailed, kCtlFailed},
    };
    for (const auto& row : rows) {
        card->addFault(Fault::statusWord(0xB0, row.sw));
        const int rc = exchange(kReadSerial);
        EXPECT_EQ(rc, row.sw == 0x9000 ? kCtlOk : kCtlFailed) << std::hex << row.sw;
        EXPECT_EQ(sw, row.sw);
        EXPECT_EQ(QxSCMapExchangeFull(rc, sw), row.full) << std::hex << row.sw;
        EXPECT_EQ(QxSCMapStatusFull(sw), row.full) << std::hex << row.sw;
        EXPECT_EQ(QxSCMapStatusShort(sw), row.shortForm) << std::hex << row.sw;
        EXPECT_FALSE(QxSCIsTransmitFailure(rc));
    }
    // Without an answer the transmit code is what the full mapping gives.
    pcsc::seam::failNextCall("SCardTransmit", pcsc::kRemovedCard);
    const int rc = exchange(kReadSerial);
    EXPECT_TRUE(QxSCIsTransmitFailure(rc));
    EXPECT_EQ(QxSCMapExchangeFull(rc, sw), kCtlCardRemoved);
}

TEST_F(CardLayerExchange, TheLogShowsEachExchangeButNoPinBlock) {
    tavelo::PinBlock pin;
    ASSERT_EQ(pin.set(kPin), kCtlOk);
    tavelo::PinBlock newPin;
    ASSERT_EQ(newPin.set("975318"), kCtlOk);
    tavelo::ApduResponse response;
    ASSERT_EQ(sendRawAPDU(record.get(), tavelo::selectApplicationCommand(), response), kCtlOk);
    ASSERT_EQ(sendRawAPDU(record.get(), tavelo::verifyCommand(pin), response), kCtlOk);
    ASSERT_EQ(sendRawAPDU(record.get(), tavelo::readBinaryCommand(), response), kCtlOk);
    ASSERT_EQ(sendRawAPDU(record.get(), tavelo::selectFileCommand(0x00C2), response), kCtlOk);
    ASSERT_EQ(sendRawAPDU(record.get(), tavelo::writeRecordCommand(newPin), response), kCtlOk);
    ASSERT_EQ(card->exchanges().size(), 5u);

    const std::string text = log.text();
    const std::vector<std::string> lines = {
        "SEND 14 00A4040008A00000017295000100\n",
        "RECV 0 \n",
        "SEND 13 0020001008****************\n",
        "SEND 5 00B0000010\n",
        "RECV 16 " + show(kSerial) + "\n",
        "SEND 13 00D2010408****************\n",
        "sendRawAPDU uiSW12 9000\n",
        " SCardTransmit 0x0\n",
    };
    for (const auto& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    // Neither PIN, in digits or in its block.
    for (const std::string& secret : {kPin, std::string("975318")}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
}

} // namespace
