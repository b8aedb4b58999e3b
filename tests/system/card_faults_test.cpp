// A page's card calls when the card or the resource manager goes away under
// them: the real service, the real adapter and the real card control in the
// sandbox, a private pcscd with the virtual readers and the emulated card.
// A card pulled before or during the TAC command gives the method's error
// code and no TAC, and the card put back serves the next transaction; a
// pcscd killed and started again between calls costs the page nothing but
// the connection it held.

#include "tests/card/CardTestData.h"
#include "tests/program/CardPageProgram.h"
#include "tests/support/CardRig.h"
#include "tools/CorvantixUser/UserClient.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using namespace service_program;
using namespace std::chrono_literals;
using card_emulator::toHex;

constexpr std::uint8_t kGetTacInstruction = 0xE2;
constexpr std::uint32_t kPinDialog = 28000;
const std::string kTacData = R"(,"bData":"414243","iFlags":"16777216")";

class CardPage : public CardPageProgram {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(CardPageProgram::SetUp());
        ASSERT_NO_FATAL_FAILURE(connectCard());
    }
    std::string verifyPin() {
        return call("VerifyPIN", R"(,"bReaderName":")" + reader +
                                     R"(","bAdvReaderList":"","PIN":")" + card_test::kPin +
                                     R"(","iFlags":"0","iReplugTime":"0")");
    }
    // Types the PIN on the keypad the method opens and confirms it.
    static void typePin() {
        corvantix_user::Client user;
        const auto dialog = user.waitForDialog(kPinDialog, 10s);
        ASSERT_TRUE(dialog) << "no PIN dialog";
        for (const char digit : card_test::kPin) {
            ASSERT_TRUE(user.press(*dialog, std::string(1, digit)));
        }
        ASSERT_TRUE(user.click(*dialog, 1));
    }
    // What the card answered to GET TAC, one entry per command it received.
    std::vector<card_emulator::Bytes> tacAnswers() const {
        std::vector<card_emulator::Bytes> answers;
        for (const auto& e : card->exchanges()) {
            if (e.command.size() > 1 && e.command[1] == kGetTacInstruction) {
                answers.push_back(e.response);
            }
        }
        return answers;
    }
};

// How the card goes: pulled out (and pcscd has seen it) before the method,
// or pulled out by the card itself on receiving GET TAC.
enum class Pull { BeforeTheMethod, OnGetTac };

struct PullCase {
    const char* name;
    const char* function;
    bool asksPin; // the method asks for the PIN before GET TAC
    Pull pull;
    std::string result; // the page's result
    std::string code;   // GetErrorCode after it
};

void PrintTo(const PullCase& c, std::ostream* out) {
    *out << c.name;
}

class CardPulled : public CardPage, public ::testing::WithParamInterface<PullCase> {};

TEST_P(CardPulled, GivesTheErrorCodeAndNoTac) {
    const PullCase& c = GetParam();
    ASSERT_EQ(verifyPin(), "0");
    if (c.pull == Pull::BeforeTheMethod) {
        ASSERT_TRUE(rig.removeCard(*card, 200ms)) << rig.why();
    } else {
        card->addFault(card_emulator::Fault::drop(kGetTacInstruction));
    }
    card->clearLog();
    auto answer = std::async(std::launch::async, [&] { return call(c.function, kTacData); });
    if (c.asksPin && c.pull == Pull::OnGetTac) {
        ASSERT_NO_FATAL_FAILURE(typePin());
    }
    ASSERT_EQ(answer.wait_for(20s), std::future_status::ready) << "the page's call hangs";
    EXPECT_EQ(answer.get(), c.result);
    EXPECT_EQ(call("GetErrorCode"), c.code);
    // The card never gave a TAC for the page to find later either.
    for (const auto& sent : tacAnswers()) {
        EXPECT_TRUE(sent.empty()) << toHex(sent);
    }
    EXPECT_EQ(tacAnswers().size(), c.pull == Pull::OnGetTac ? 1u : 0u);
    EXPECT_EQ(call("GetTSAC"), "");

    // Put back, the card serves the next transaction with its next TAC (a
    // card that pulled itself out is put back once pcscd has seen it go).
    ASSERT_TRUE(rig.waitForCard(reader, false)) << rig.why();
    ASSERT_TRUE(rig.reinsertCard(*card, 200ms)) << rig.why();
    ASSERT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
    ASSERT_EQ(verifyPin(), "0");
    const std::uint32_t tsn = card->tsn();
    card_emulator::Bytes tac = card_test::expectedTacAnswer(tsn, card_test::ascii("ABC"), true);
    tac.resize(tac.size() - 2);
    EXPECT_EQ(call("WRITE_RECORD_W_SNUM_TAC", kTacData), toHex(tac));
}

INSTANTIATE_TEST_SUITE_P(
    Transactions, CardPulled,
    ::testing::Values(
        PullCase{"GetTacAfterVerifyPin", "GetTAC", true, Pull::BeforeTheMethod, "", "17"},
        PullCase{"GetTacDuringTheCommand", "GetTAC", true, Pull::OnGetTac, "", "5001"},
        PullCase{"SerialTacAfterVerifyPin", "WRITE_RECORD_W_SNUM_TAC", false, Pull::BeforeTheMethod,
                 "", "5001"},
        PullCase{"SerialTacDuringTheCommand", "WRITE_RECORD_W_SNUM_TAC", false, Pull::OnGetTac, "",
                 "5001"}),
    [](const auto& info) { return std::string(info.param.name); });

// A transfer the user confirmed (after pulling the card out and putting it
// back, as the confirmation asks) loses the card on its GET TAC: the page
// hears the error and finds no TAC or TSN of it afterwards.
TEST_F(CardPage, TransferWithTheCardPulledOnItsTacCommand) {
    card->addFault(card_emulator::Fault::drop(kGetTacInstruction));
    card->clearLog();
    auto transfer =
        std::async(std::launch::async, [&] { return call("DoTransferTAC", kTransferArguments); });
    corvantix_user::Client user;
    const auto dialog = user.waitForDialog(204, 10s);
    ASSERT_TRUE(dialog) << "no transfer confirmation";
    ASSERT_TRUE(rig.removeCard(*card, 300ms)) << rig.why();
    ASSERT_TRUE(rig.reinsertCard(*card, 300ms)) << rig.why();
    bool confirmed = false;
    for (int i = 0; i < 50 && !confirmed; ++i) {
        confirmed = user.click(*dialog, 1).ok;
        if (!confirmed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(confirmed) << "OK never enabled";
    ASSERT_EQ(transfer.wait_for(20s), std::future_status::ready) << "the page's call hangs";
    // The card's empty answer: the general failure.
    EXPECT_EQ(transfer.get(), "5001");
    EXPECT_EQ(call("GetErrorCode"), "5001");
    ASSERT_EQ(tacAnswers().size(), 1u);
    EXPECT_TRUE(tacAnswers()[0].empty());
    EXPECT_EQ(call("GetTSAC"), "");
    EXPECT_EQ(call("GetTSN"), "");
}

// pcscd killed (or ended) between two calls and started again: the
// control's next ConnectCard reaches the card through the new one.
class PcscdRestarted : public CardPage, public ::testing::WithParamInterface<int> {};

TEST_P(PcscdRestarted, TheNextConnectCardSucceeds) {
    ASSERT_EQ(call("GetSN"), toHex(card->serial()));
    rig.killPcscd(GetParam());
    // Without a resource manager the page hears so at once.
    const auto down = std::chrono::steady_clock::now();
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "3999");
    EXPECT_EQ(call("GetReaderList"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - down, 2s);
    ASSERT_TRUE(rig.start()) << rig.why();
    ASSERT_TRUE(rig.waitForCard(reader, true)) << rig.why();

    // The connection held across the restart is gone: an error, no answer
    // from the old card handle.
    const std::string stale = call("GetSN");
    EXPECT_NE(stale, toHex(card->serial()));
    EXPECT_NE(call("GetErrorCode"), "0");

    std::string listed;
    for (const auto& name : rig.readers()) {
        listed += name + ";";
    }
    EXPECT_EQ(call("GetReaderList"), listed);
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
    EXPECT_EQ(call("GetCardStatus"), "0");
    EXPECT_EQ(call("GetSN"), toHex(card->serial()));
    EXPECT_EQ(verifyPin(), "0");
}

INSTANTIATE_TEST_SUITE_P(Signals, PcscdRestarted, ::testing::Values(SIGKILL, SIGTERM),
                         [](const auto& info) {
                             return std::string(info.param == SIGKILL ? "Killed" : "Ended");
                         });

} // namespace
