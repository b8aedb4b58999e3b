// The routines on the control's state through a real pcscd and the card
// emulator: ConnectCard and DisconnectCard, DoVerifyPIN with its checks,
// its dialog step and a keypad reader, DoGetTAC with the TAC the test
// recomputes from the card's key, answers too short for a TAC, and the full
// status-word mapping of both.

#include "control/ControlErrorCode.h"
#include "control/ControlState.h"
#include "tests/control/card/CardLayerRig.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {

using namespace card_layer_test;
using namespace card_test;
using card_emulator::Fault;
using tavelo::TaveloState;
namespace pcsc = platform::pcsc;

const std::u16string kReader = u"Virtual PCD 00 00";
const Bytes kRecord = ascii("2590000000000000000000001500001234567820241231");

class CardLayerState : public CardLayerRig {
protected:
    void SetUp() override {
        CardLayerRig::SetUp();
        state.m_szReaderName = "before";
    }

    // A card, and a shared connection to it that the routines use.
    void connect(card_emulator::CardProfile profile = testProfile()) {
        ASSERT_NE(insert(std::move(profile)), nullptr);
        ASSERT_EQ(QxSCScanCardInReader(reader(), false, state.m_pCard), kCtlOk);
        tavelo::ApduResponse response;
        ASSERT_EQ(sendRawAPDU(state.m_pCard.get(), tavelo::selectApplicationCommand(), response),
                  kCtlOk);
        card->clearLog();
    }
    int getTac(const Bytes& record = kRecord) {
        return state.DoGetTAC(state.m_pCard.get(), tavelo::getTacCommand(record)->bytes(),
                              record.size());
    }
    bool cardIsFree() {
        pcsc::Context context;
        pcsc::Card probe;
        return pcsc::Context::establish(pcsc::kScopeUser, context) == pcsc::kSuccess &&
               pcsc::Card::connect(context, reader(), pcsc::kShareExclusive, pcsc::kProtocolT1,
                                   probe) == pcsc::kSuccess;
    }

    TaveloState state;
};

// ---- ConnectCard and DisconnectCard ------------------------------------------------

TEST_F(CardLayerState, ConnectCardHoldsTheCardExclusivelyAndKeepsTheReaderName) {
    ASSERT_NE(insert(), nullptr);
    state.m_lErrorCode = 5001;
    EXPECT_EQ(state.ConnectCard(kReader), kCtlOk);
    EXPECT_EQ(state.m_lErrorCode, kCtlOk);
    ASSERT_NE(state.m_pCard, nullptr);
    EXPECT_EQ(state.m_szReaderName, reader());
    EXPECT_FALSE(cardIsFree());
    tavelo::ApduResponse response;
    EXPECT_EQ(sendRawAPDU(state.m_pCard.get(), tavelo::readBinaryCommand(), response), kCtlOk);
    EXPECT_EQ(response.data, kSerial);

    EXPECT_EQ(state.DisconnectCard(), kCtlOk);
    EXPECT_EQ(state.m_pCard, nullptr);
    EXPECT_TRUE(cardIsFree());
}

TEST_F(CardLayerState, ASecondConnectCardReleasesTheCardItHeldFirst) {
    ASSERT_NE(insert(), nullptr);
    ASSERT_EQ(state.ConnectCard(kReader), kCtlOk);
    // Its own exclusive connection would otherwise keep it from the card.
    EXPECT_EQ(state.ConnectCard(kReader), kCtlOk);
    ASSERT_NE(state.m_pCard, nullptr);
    tavelo::ApduResponse response;
    EXPECT_EQ(sendRawAPDU(state.m_pCard.get(), tavelo::readBinaryCommand(), response), kCtlOk);
    EXPECT_EQ(state.DisconnectCard(), kCtlOk);
    // No connection leaked to lock the card.
    EXPECT_TRUE(cardIsFree());
}

struct ConnectRow {
    const char* what;
    std::optional<std::u16string> name;
    const char* failure; // a call the seam fails, or none
    int result;
    bool keepsTheHeldCard;
};

TEST_F(CardLayerState, ConnectCardFailuresRowByRow) {
    ASSERT_NE(insert(), nullptr);
    const std::vector<ConnectRow> rows = {
        {"no name", std::nullopt, nullptr, kCtlBadArgument, true},
        {"an empty name", u"", nullptr, kCtlBadArgument, true},
        {"a name that ends at once", std::u16string(u"\0Virtual PCD 00 00", 18), nullptr,
         kCtlBadArgument, true},
        {"a name that is no UTF-16", u"Virtual PCD 00 00 \xD800", nullptr, kCtlBadArgument, true},
        {"a reader that is not there", u"No Such Reader \u00E9", nullptr, kCtlCardAbsent, false},
        {"a reader without a card", u"Virtual PCD 00 01", nullptr, kCtlCardAbsent, false},
        {"a card the reader reports absent", kReader, "SCardStatus", kCtlCardAbsent, false},
        {"no context", kReader, "SCardEstablishContext", kCtlConnectionFailed, false},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(state.ConnectCard(kReader), kCtlOk) << row.what;
        state.m_szReaderName = "before";
        if (row.failure != nullptr) {
            pcsc::seam::failNextCall(row.failure, pcsc::kNoService);
        }
        const auto name = row.name ? std::optional<std::u16string_view>(*row.name) : std::nullopt;
        EXPECT_EQ(state.ConnectCard(name), row.result) << row.what;
        EXPECT_EQ(state.m_lErrorCode, row.result) << row.what;
        EXPECT_EQ(state.m_pCard != nullptr, row.keepsTheHeldCard) << row.what;
        EXPECT_EQ(state.m_szReaderName, "before") << row.what;
    }
}

TEST_F(CardLayerState, AReaderNameGoesToPcscInUtf8) {
    // No reader has this name; the log shows it as pcsc-lite was asked, in UTF-8.
    EXPECT_EQ(state.ConnectCard(u"\u8B80\u5361\u6A5F"), kCtlCardAbsent);
    EXPECT_NE(log.text().find("SCardConnect '\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F' fail: 80100009"),
              std::string::npos)
        << log.text();
}

TEST_F(CardLayerState, DisconnectCardEndsTheFlagsOfTheConnectionAndKeepsTheRest) {
    state.m_lErrorCode = kCtlCardAbsent;
    state.isAdvReader = true;
    state.m_szAdvReaderTested = "before";
    state.VerifyPINFlag = true;
    state.m_bAuthorized = true;
    state.m_bEF1080 = true;
    EXPECT_EQ(state.DisconnectCard(), kCtlOk);
    EXPECT_EQ(state.m_lErrorCode, kCtlOk);
    EXPECT_FALSE(state.isAdvReader || state.VerifyPINFlag);
    EXPECT_EQ(state.m_szAdvReaderTested, "");
    EXPECT_TRUE(state.m_bAuthorized && state.m_bEF1080);
    EXPECT_EQ(state.m_szReaderName, "before");
}

// Whoever connects the card next finds it reset: a PIN verified on a
// connection signs nothing once the connection has gone, however it went.
TEST_F(CardLayerState, EveryEndOfAConnectionResetsTheCard) {
    ASSERT_NE(insert(), nullptr);
    using Held = std::unique_ptr<TaveloState>;
    const struct {
        const char* what;
        std::function<int(Held&)> end;
    } rows[] = {
        {"DisconnectCard", [](Held& s) { return s->DisconnectCard(); }},
        {"ConnectCard again", [](Held& s) { return s->ConnectCard(kReader); }},
        {"a reconnect", [](Held& s) { return s->ReconnectCard(); }},
        {"the object's end", [](Held& s) { return s.reset(), kCtlOk; }},
    };
    for (const auto& row : rows) {
        auto held = std::make_unique<TaveloState>();
        ASSERT_EQ(held->ConnectCard(kReader), kCtlOk) << row.what;
        tavelo::ApduResponse response;
        ASSERT_EQ(sendRawAPDU(held->m_pCard.get(), tavelo::selectApplicationCommand(), response),
                  kCtlOk);
        ASSERT_EQ(held->DoVerifyPIN(held->m_pCard.get(), kPin), kCtlOk) << row.what;
        held->VerifyPINFlag = true;
        card->clearLog();
        ASSERT_EQ(row.end(held), kCtlOk) << row.what;
        const auto codes = card->controlCodes();
        EXPECT_NE(std::find(codes.begin(), codes.end(), 2), codes.end())
            << row.what << ": no reset reached the card";
        // The next connection, the object's own or another's.
        TaveloState next;
        TaveloState& after = held && held->m_pCard ? *held : next;
        if (&after == &next) {
            ASSERT_EQ(next.ConnectCard(kReader), kCtlOk) << row.what;
        }
        EXPECT_FALSE(after.VerifyPINFlag) << row.what;
        EXPECT_EQ(after.DoGetTAC(after.m_pCard.get(), tavelo::getTacCommand(kRecord)->bytes(),
                                 kRecord.size()),
                  kCtlFailed)
            << row.what << ": the card still took the PIN as verified";
    }
}

// ---- DoVerifyPIN --------------------------------------------------------------------

TEST_F(CardLayerState, DoVerifyPinSendsThePinBlockAndMapsTheAnswer) {
    connect();
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), "246811"), kCtlStatus6608);
    EXPECT_EQ(card->triesLeft(), 2);
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    EXPECT_EQ(card->triesLeft(), 3);
    const auto sent = received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(show(sent[0]), show(kVerifyWrong));
    EXPECT_EQ(show(sent[1]), show(kVerify));
}

TEST_F(CardLayerState, DoVerifyPinChecksLengthAndDigitsBeforeAnythingIsSent) {
    connect();
    const std::vector<std::pair<std::string, int>> rows = {
        {"12345", kCtlPinLength},
        {"1234567890123", kCtlPinLength},
        {"12345678901234567", kCtlPinLength},
        {"12345a", kCtlPinNotDigits},
        {"123 456", kCtlPinNotDigits},
        {"+12345", kCtlPinNotDigits},
        {std::string("12345\0", 6), kCtlPinNotDigits},
    };
    for (const auto& [pin, result] : rows) {
        EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), pin), result) << pin;
    }
    EXPECT_TRUE(card->exchanges().empty());
    // Six and twelve digits are sent.
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), "135790"), kCtlStatus6608);
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), "135790135791"), kCtlStatus6608);
    const auto sent = received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(show(sent[0]), show(hex("00 20 00 10 08 13 57 90 FF FF FF FF FF")));
    EXPECT_EQ(show(sent[1]), show(hex("00 20 00 10 08 13 57 90 13 57 91 FF FF")));
}

struct DialogRow {
    const char* what;
    bool dialog;
    int dialogResult;
    std::string typed;
    std::optional<std::string> given;
    int result;
    std::optional<Bytes> sent;
};

TEST_F(CardLayerState, WithoutAPinDoVerifyPinAsksTheDialog) {
    connect();
    const std::vector<DialogRow> rows = {
        {"no dialog can be made", false, 0, "", std::nullopt, kCtlFailed, std::nullopt},
        {"the user cancels", true, kCtlCancelled, "", std::nullopt, kCtlCancelled, std::nullopt},
        {"the dialog times out", true, kCtlTimedOut, "", "", kCtlTimedOut, std::nullopt},
        {"the typed PIN is sent", true, kCtlOk, kPin, std::nullopt, kCtlOk, kVerify},
        {"an empty PIN asks too", true, kCtlOk, kPin, "", kCtlOk, kVerify},
        {"an odd typed PIN", true, kCtlOk, "2468101", "", kCtlStatus6608,
         hex("00 20 00 10 08 24 68 10 1F FF FF FF FF")},
        {"a typed PIN too short", true, kCtlOk, "24681", std::nullopt, kCtlPinLength, std::nullopt},
        {"a typed PIN with a letter", true, kCtlOk, "24681x", std::nullopt, kCtlPinNotDigits,
         std::nullopt},
    };
    for (const auto& row : rows) {
        card->clearLog();
        int asked = 0;
        state.pinDialog = nullptr;
        if (row.dialog) {
            state.pinDialog = [&](SecretString& pin) {
                ++asked;
                pin.assign(row.typed);
                return row.dialogResult;
            };
        }
        const auto given = row.given ? std::optional<std::string_view>(*row.given) : std::nullopt;
        EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), given), row.result) << row.what;
        EXPECT_EQ(asked, row.dialog ? 1 : 0) << row.what;
        const auto sent = received();
        EXPECT_EQ(sent.size(), row.sent ? 1u : 0u) << row.what;
        if (row.sent && !sent.empty()) {
            EXPECT_EQ(show(sent[0]), show(*row.sent)) << row.what;
        }
    }
    state.pinDialog = [](SecretString&) -> int { throw std::runtime_error("no window"); };
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), std::nullopt), kCtlFailed);
    // A given PIN never opens the dialog.
    int asked = 0;
    state.pinDialog = [&](SecretString&) { return ++asked, kCtlCancelled; };
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    EXPECT_EQ(asked, 0);
}

TEST_F(CardLayerState, AKeypadReaderTakesThePinItselfAndTheTacFollows) {
    auto profile = testProfile();
    profile.keypad = true;
    connect(profile);
    state.m_szReaderName = reader();
    state.isAdvReader = true;
    // Tested on another reader, the flag does not count for this one.
    state.m_szAdvReaderTested = rig.readers()[1];
    int asked = 0;
    state.pinDialog = [&](SecretString&) { return ++asked, kCtlCancelled; };
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), std::nullopt), kCtlCancelled);
    EXPECT_EQ(asked, 1);
    asked = 0;
    state.m_szAdvReaderTested = reader();
    state.pinDialog = [&](SecretString&) { return ++asked, kCtlOk; };
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), std::nullopt), kCtlOk);
    EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), "not even a PIN"), kCtlOk);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(card->exchanges().empty());
    // The reader asks for the PIN during GET TAC.
    EXPECT_EQ(getTac(), kCtlOk);
    EXPECT_EQ(state.m_szTSAC, show(expectedTac(kFirstTsn, kRecord, false)));
}

// ---- DoGetTAC ---------------------------------------------------------------------------

TEST_F(CardLayerState, DoGetTacKeepsTheTacTheTestRecomputesAndTheTsn) {
    connect();
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    for (std::uint32_t tsn = kFirstTsn; tsn < kFirstTsn + 2; ++tsn) {
        EXPECT_EQ(getTac(), kCtlOk);
        EXPECT_EQ(state.m_szTSAC, show(expectedTac(tsn, kRecord, false)));
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08u", tsn);
        EXPECT_EQ(state.m_szTSN, digits);
    }
    EXPECT_EQ(show(received().back()), show(getTacCommand(kRecord, false)));
}

struct AnswerRow {
    const char* what;
    Bytes data;
    std::uint16_t sw;
    int result;
    bool cleared; // the TAC and TSN before are gone
};

// A 90 00 too short for a TAC clears the TAC and TSN kept before, so that
// they never pass for this transaction's; a refusal keeps them.
TEST_F(CardLayerState, AnAnswerTooShortForTheTacFailsAndKeepsNoEarlierTac) {
    connect();
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    const std::vector<AnswerRow> rows = {
        {"no data", {}, 0x9000, kCtlFailed, true},
        {"one byte", hex("01"), 0x9000, kCtlFailed, true},
        {"18 bytes", Bytes(18, 0x31), 0x9000, kCtlFailed, true},
        {"a TAC with a warning", Bytes(19, 0x31), 0x6283, kCtlFailed, false},
        {"a wrong PIN", {}, 0x6608, kCtlStatus6608, false},
        {"no status word", {}, 0, kCtlFailed, false},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(getTac(), kCtlOk) << row.what;
        const std::string tac = state.m_szTSAC;
        const std::string tsn = state.m_szTSN;
        ASSERT_FALSE(tac.empty());
        if (row.sw == 0) {
            card->addFault(Fault::oneByte(0xE2, 0x90));
        } else {
            card->addFault(Fault::answer(0xE2, row.data, row.sw));
        }
        EXPECT_EQ(getTac(), row.result) << row.what;
        EXPECT_EQ(state.m_szTSAC, row.cleared ? "" : tac) << row.what;
        EXPECT_EQ(state.m_szTSN, row.cleared ? "" : tsn) << row.what;
    }
    // The shortest answer that holds a TAC, with a TSN that has no zero byte:
    // the TSN stops before the TAC.
    card->addFault(Fault::answer(0xE2,
                                 concat(ascii("\x01"
                                              "ABCDEFGHIJ"),
                                        hex("11 22 33 44 55 66 77 88")),
                                 0x9000));
    EXPECT_EQ(getTac(), kCtlOk);
    EXPECT_EQ(state.m_szTSAC, "1122334455667788");
    EXPECT_EQ(state.m_szTSN, "ABCDEFGHIJ");
}

TEST_F(CardLayerState, DoGetTacSendsDataLengthPlusSixBytesAndRefusesWhatLcCannotSay) {
    connect();
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    card->clearLog();
    Bytes longer = concat(concat(hex("00 E2 10 80 00"), Bytes(256, 0x31)), hex("00"));
    EXPECT_EQ(state.DoGetTAC(state.m_pCard.get(), longer, 256), kCtlBadArgument);
    const Bytes command = getTacCommand(kRecord, false);
    EXPECT_EQ(state.DoGetTAC(state.m_pCard.get(),
                             std::span<const std::uint8_t>(command).first(command.size() - 1),
                             kRecord.size()),
              kCtlBadArgument);
    EXPECT_TRUE(card->exchanges().empty());
    EXPECT_EQ(state.m_szTSAC, "");

    // Only the command's own bytes go out, and 255 data bytes fit.
    EXPECT_EQ(state.DoGetTAC(state.m_pCard.get(), concat(command, hex("EE EE")), kRecord.size()),
              kCtlOk);
    const Bytes longest(255, 0x32);
    EXPECT_EQ(getTac(longest), kCtlOk);
    EXPECT_EQ(state.m_szTSAC, show(expectedTac(kFirstTsn + 1, longest, false)));
    const auto sent = received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(show(sent[0]), show(command));
    EXPECT_EQ(sent[1].size(), 261u);
}

// ---- The full mapping through both routines ---------------------------------------------

TEST_F(CardLayerState, BothRoutinesMapStatusWordsAndTransmitFailuresFully) {
    connect();
    const std::vector<std::pair<std::uint16_t, int>> words = {
        {0x6608, kCtlStatus6608}, {0x6610, kCtlStatus6608}, {0x6620, kCtlStatus6620},
        {0x69F0, kCtlCancelled},  {0x6E00, kCtlCardAbsent}, {0x6A82, kCtlFailed},
        {0x6283, kCtlFailed},     {0x9000, kCtlOk},
    };
    for (const auto& [word, code] : words) {
        card->addFault(Fault::statusWord(0x20, word));
        EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), code) << std::hex << word;
        card->addFault(Fault::statusWord(0xE2, word));
        // A bare 90 00 carries no TAC.
        EXPECT_EQ(getTac(), word == 0x9000 ? kCtlFailed : code) << std::hex << word;
    }
    const std::vector<std::pair<pcsc::Result, int>> failures = {
        {pcsc::kRemovedCard, kCtlCardRemoved},
        {pcsc::kResetCard, kCtlCardReset},
        {pcsc::kNotTransacted, kCtlNotTransacted},
        {pcsc::kCommError, kCtlTransmitFailed},
    };
    for (const auto& [failure, code] : failures) {
        pcsc::seam::failNextCall("SCardTransmit", failure);
        EXPECT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), code) << std::hex << failure;
        pcsc::seam::failNextCall("SCardTransmit", failure);
        EXPECT_EQ(getTac(), code) << std::hex << failure;
    }
    EXPECT_EQ(state.m_szTSAC, "") << "no TAC came";
}

TEST_F(CardLayerState, TheRoutinesLogTheirStepsButNeverThePin) {
    connect();
    state.pinDialog = [](SecretString& pin) {
        pin.assign(kPin);
        return kCtlOk;
    };
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), kPin), kCtlOk);
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), std::nullopt), kCtlOk);
    ASSERT_EQ(state.DoVerifyPIN(state.m_pCard.get(), "24681"), kCtlPinLength);
    ASSERT_EQ(getTac(), kCtlOk);
    const std::string text = log.text();
    const std::vector<std::string> lines = {
        "ControlState.cpp ",
        " DoVerifyPIN 1 @ DoVerifyPIN @\n",
        " DoVerifyPIN 2 \n",
        " DoVerifyPIN UI_PasswdDlg rtn = 0\n",
        " DoVerifyPIN rtn 0 uiSW12 0x9000\n",
        " DoVerifyPIN finish PIN\n",
        "SEND 13 0020001008****************\n",
        " DoGetTAC GetTAC End 0 uiSW12 0x9000\n",
        " keepTacAnswer QxXCAPI_HexEncode End TAClen 16 TAC " + state.m_szTSAC + "\n",
        " DoGetTAC GetTAC Finish\n",
    };
    for (const auto& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    for (const std::string& secret : {kPin, std::string("24681")}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << "\n" << text;
    }
}

} // namespace
