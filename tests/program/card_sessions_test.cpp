// Two sessions of the real service, each with its own emulated card in its
// own reader, and pages that send what they like: a session's calls, PIN and
// confirmation reach only its own card, a PIN verified in one session signs
// nothing for the next, and a keypad-reader list a page enciphered itself
// gets no TAC from a plain reader.

#include "tests/card/CardTestData.h"
#include "tests/control/com/ControlTestSupport.h"
#include "tests/program/CardPageProgram.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include "tools/CorvantixUser/UserClient.h"

#include <algorithm>
#include <future>
#include <thread>

namespace {

using namespace service_program;
using namespace std::chrono_literals;
using card_emulator::Bytes;
using card_emulator::CardEmulator;
using card_emulator::toHex;

const std::string kShopPage = "https://shop.corvantix-bank.test";
constexpr std::uint32_t kPinDialog = 28000;
constexpr std::uint32_t kTransferDialog = 204;

// The card in the second reader: the same bank's card with another serial
// number.
card_emulator::CardProfile secondProfile() {
    auto profile = card_test::testProfile();
    profile.serial.back() ^= 0x0F;
    return profile;
}

bool isTac(const Bytes& command) {
    return command.size() > 1 && command[1] == 0xE2;
}

class TwoSessions : public CardPageProgram {
protected:
    void SetUp() override {
        CardPageProgram::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        second = rig.insertCard(card_emulator::kDefaultPort + 1, secondProfile());
        ASSERT_NE(second, nullptr) << rig.why();
        readerA = rig.readers()[0];
        readerB = rig.readers()[1];
    }

    // A new session of the page: its id.
    std::string open(const std::string& origin = kPage) {
        std::optional<Reply> opened;
        for (int i = 0; i < 200 && resultOf(opened = echoReply("", origin)) == "<closed>"; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(resultOf(opened), "0") << origin;
        return opened && opened->count("SessionID") != 0 ? opened->at("SessionID") : "";
    }
    std::string in(const std::string& id, const std::string& function, const std::string& more = "",
                   const std::string& origin = kPage) {
        return resultOf(postReply(kPorts[0], false,
                                  R"({"FunctionName":")" + function + R"(","SessionId":")" + id +
                                      "\"" + more + "}",
                                  origin));
    }
    std::string connect(const std::string& id, const std::string& name,
                        const std::string& origin = kPage) {
        return in(id, "ConnectCard", R"(,"readerName":")" + name + "\"", origin);
    }
    std::string verifyPin(const std::string& id, const std::string& name, const std::string& pin,
                          const std::string& list = "") {
        return in(id, "VerifyPIN",
                  R"(,"bReaderName":")" + name + R"(","bAdvReaderList":")" + list + R"(","PIN":")" +
                      pin + R"(","iFlags":"0","iReplugTime":"0")");
    }
    static std::vector<Bytes> sent(const CardEmulator& on) {
        std::vector<Bytes> commands;
        for (const auto& e : on.exchanges()) {
            commands.push_back(e.command);
        }
        return commands;
    }
    // The status words a card answered its TAC commands with.
    static std::vector<std::uint16_t> tacAnswers(const CardEmulator& on) {
        std::vector<std::uint16_t> words;
        for (const auto& e : on.exchanges()) {
            if (isTac(e.command) && e.response.size() >= 2) {
                const auto n = e.response.size();
                words.push_back(
                    static_cast<std::uint16_t>(e.response[n - 2] << 8 | e.response[n - 1]));
            }
        }
        return words;
    }
    // Sessions a and b, each connected to its own reader, the cards' logs
    // cleared.
    void connectBoth() {
        a = open();
        b = open();
        ASSERT_EQ(connect(a, readerA), "0");
        ASSERT_EQ(connect(b, readerB), "0");
        card->clearLog();
        second->clearLog();
    }
    // Pulls the card out and puts it back.
    void replug(CardEmulator& which) {
        ASSERT_TRUE(rig.removeCard(which)) << rig.why();
        ASSERT_TRUE(rig.reinsertCard(which)) << rig.why();
    }

    corvantix_user::Client user;
    CardEmulator* second = nullptr;
    std::string readerA;
    std::string readerB;
    std::string a;
    std::string b;
};

// A holds the first reader, B the second one exclusively: A's PIN, reads
// and TACs go to A's card alone, and B's to B's.
TEST_F(TwoSessions, EachSessionsCallsReachOnlyItsOwnCard) {
    ASSERT_NO_FATAL_FAILURE(connectBoth());

    EXPECT_EQ(verifyPin(a, readerA, card_test::kPin), "0") << "B's hold cost A its card";
    EXPECT_EQ(in(a, "GetSN"), toHex(card->serial()));
    EXPECT_EQ(in(b, "GetSN"), toHex(second->serial()));
    const std::uint32_t tsn = card->tsn();
    Bytes answer = card_test::expectedTacAnswer(tsn, card_test::ascii("ABC"), true);
    answer.resize(answer.size() - 2);
    EXPECT_EQ(in(a, "WRITE_RECORD_W_SNUM_TAC", R"(,"bData":"ABC","ip1p2":"0","iFlags":"0")"),
              toHex(answer))
        << "signed with A's card and its serial number";

    const std::vector<Bytes> expectedA = {card_test::kSelectApplication, card_test::kVerify,
                                          card_test::kSelectApplication, card_test::kReadSerial,
                                          card_test::getTacCommand(card_test::ascii("ABC"), true)};
    EXPECT_EQ(sent(*card), expectedA);
    EXPECT_EQ(sent(*second),
              (std::vector<Bytes>{card_test::kSelectApplication, card_test::kReadSerial}))
        << "only B's own read reached B's card";
    EXPECT_EQ(second->triesLeft(), 3);
}

// A's confirmation waits for A's card to be pulled out and put back;
// B's card doing so enables nothing.
TEST_F(TwoSessions, AConfirmationFollowsOnlyItsOwnSessionsReader) {
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    const std::uint32_t tsn = card->tsn();

    auto transfer =
        std::async(std::launch::async, [&] { return in(a, "DoTransferTAC", kTransferArguments); });
    const auto dialog = user.waitForDialog(kTransferDialog, 10s);
    ASSERT_TRUE(dialog) << "no confirmation";
    ASSERT_NO_FATAL_FAILURE(replug(*second));
    // The watcher has had its time: OK stays off.
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(user.click(*dialog, 1).ok) << "B's card enabled A's confirmation";
    ASSERT_NO_FATAL_FAILURE(replug(*card));
    bool confirmed = false;
    for (int i = 0; i < 50 && !confirmed; ++i) {
        confirmed = user.click(*dialog, 1).ok;
        if (!confirmed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(confirmed) << "A's own card never enabled OK";
    ASSERT_EQ(transfer.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(transfer.get(), "0");

    const Bytes record = transferRecord();
    EXPECT_EQ(in(a, "GetTSAC"), toHex(card_test::expectedTac(tsn, record, false)));
    EXPECT_EQ(sent(*card).back(), card_test::getTacCommand(record, false));
    EXPECT_TRUE(sent(*second).empty()) << "A's transfer reached B's card";
}

// A VerifyPIN that names B's reader still waits for A's own card to be
// pulled out and put back: B's card doing so ends nothing.
TEST_F(TwoSessions, AReplugIsWatchedOnTheSessionsOwnReader) {
    ASSERT_NO_FATAL_FAILURE(connectBoth());

    auto verified = std::async(std::launch::async, [&] {
        return in(a, "VerifyPIN",
                  R"(,"bReaderName":")" + readerB + R"(","bAdvReaderList":"","PIN":")" +
                      card_test::kPin + R"(","iFlags":")" + std::to_string(0x30000) +
                      R"(","iReplugTime":"30")");
    });
    bool prompted = false;
    for (int i = 0; i < 100 && !prompted; ++i) {
        prompted = !user.listDialogs().empty();
        if (!prompted) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(prompted) << "no replug prompt";
    ASSERT_NO_FATAL_FAILURE(replug(*second));
    EXPECT_EQ(verified.wait_for(3s), std::future_status::timeout) << "B's card ended A's replug";
    ASSERT_NO_FATAL_FAILURE(replug(*card));
    ASSERT_EQ(verified.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(verified.get(), "0");
    EXPECT_EQ(sent(*card).back(), card_test::kVerify);
    EXPECT_TRUE(sent(*second).empty()) << "A's VerifyPIN reached B's card";
}

// A page of another session connects the card after A verified its PIN and
// disconnected: neither the serial-number TAC nor GET TAC (with a keypad
// list of the page's own making, so no PIN is asked) is signed.
TEST_F(TwoSessions, APinVerifiedInOneSessionSignsNothingForTheNext) {
    const std::string a = open();
    ASSERT_EQ(connect(a, readerA), "0");
    ASSERT_EQ(verifyPin(a, readerA, card_test::kPin), "0");
    ASSERT_EQ(in(a, "DisconnectCard"), "0");

    const std::string b = open(kShopPage);
    ASSERT_EQ(connect(b, readerA, kShopPage), "0");
    card->clearLog();
    const std::uint32_t tsn = card->tsn();
    EXPECT_EQ(
        in(b, "WRITE_RECORD_W_SNUM_TAC", R"(,"bData":"ABC","ip1p2":"0","iFlags":"0")", kShopPage),
        "");
    EXPECT_EQ(in(b, "GetErrorCode", "", kShopPage), "5001");

    const std::string list = control_test::encipherList("Virtual PCD");
    ASSERT_FALSE(list.empty());
    ASSERT_EQ(in(b, "DetectAdvReader",
                 R"(,"bReader":")" + readerA + R"(","bAdvReaderList":")" + list +
                     R"(","iFlags":"8388608","iReplugTime":"0")",
                 kShopPage),
              "0");
    EXPECT_EQ(in(b, "GetTAC", R"(,"bData":"ABC","iFlags":"0")", kShopPage), "");
    EXPECT_EQ(in(b, "GetErrorCode", "", kShopPage), "5001");

    EXPECT_EQ(tacAnswers(*card), (std::vector<std::uint16_t>{0x6982, 0x6982}))
        << "the card signed for a PIN of another session";
    EXPECT_EQ(card->tsn(), tsn);
    for (const auto& d : user.listDialogs()) {
        ADD_FAILURE() << "a dialog showed: " << d.find("template")->asNumber().value_or(-1);
    }
}

// After an inquiry whose PIN the user typed on screen, a page enciphers a
// keypad-reader list that names the plain reader and asks for a transfer
// without prompts: the card refuses it and no confirmation was skipped for
// a TAC. A list tested for another reader does not count for the
// connected one either: its PIN is asked on screen, never sent as an
// empty block.
TEST_F(TwoSessions, APageMadeKeypadListGetsNoTacFromAPlainReader) {
    const std::string a = open();
    ASSERT_EQ(connect(a, readerA), "0");
    auto inquiry = std::async(std::launch::async, [&] {
        return in(a, "DoInquiryTAC",
                  R"(,"PIN":"","bTermainalDeviceCheckID":"CHK00001",)"
                  R"("bAccountNo":"0012345678901234","bPCode":"2500","iFlags":"0")");
    });
    const auto pinDialog = user.waitForDialog(kPinDialog, 10s);
    ASSERT_TRUE(pinDialog) << "no PIN dialog";
    for (const char digit : card_test::kPin) {
        ASSERT_TRUE(user.press(*pinDialog, std::string(1, digit)));
    }
    ASSERT_TRUE(user.click(*pinDialog, 1));
    ASSERT_EQ(inquiry.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(inquiry.get(), "0");
    const std::string inquiryTac = in(a, "GetTSAC");
    ASSERT_EQ(inquiryTac.size(), 16u);

    const std::string list = control_test::encipherList("Virtual PCD");
    ASSERT_FALSE(list.empty());
    ASSERT_EQ(in(a, "DetectAdvReader",
                 R"(,"bReader":")" + readerA + R"(","bAdvReaderList":")" + list +
                     R"(","iFlags":"8388608","iReplugTime":"0")"),
              "0");
    card->clearLog();
    const std::uint32_t tsn = card->tsn();
    std::string transfer = kTransferArguments;
    transfer.replace(transfer.find(R"("PIN":"246810")"), 14, R"("PIN":"")");
    transfer.replace(transfer.find(R"("bAmount":"1500")"), 16, R"("bAmount":"999999999999")");
    transfer.replace(transfer.find(R"("iFlags":"0")"), 12, R"("iFlags":"8388608")");
    EXPECT_EQ(in(a, "DoTransferTAC", transfer), "5001");
    EXPECT_EQ(tacAnswers(*card), std::vector<std::uint16_t>{0x6982});
    EXPECT_EQ(card->tsn(), tsn) << "the card signed the transfer";
    EXPECT_EQ(in(a, "GetTSAC"), inquiryTac);

    // Tested for reader B, the list says nothing of A's reader.
    card->clearLog();
    auto verified = std::async(std::launch::async, [&] { return verifyPin(a, readerB, "", list); });
    const auto asked = user.waitForDialog(kPinDialog, 10s);
    EXPECT_TRUE(asked) << "no PIN dialog for the connected plain reader";
    if (asked) {
        ASSERT_TRUE(user.click(*asked, 2));
    }
    ASSERT_EQ(verified.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(verified.get(), "5070");
    EXPECT_EQ(card->triesLeft(), 3) << "an empty PIN block cost the card a try";
    EXPECT_EQ(second->triesLeft(), 3);
    EXPECT_TRUE(sent(*second).empty());
}

} // namespace
