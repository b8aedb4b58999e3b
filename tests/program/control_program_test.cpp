// A page's requests over HTTPS reach the card: the real service, the real
// adapter and the real card control registered in the sandbox, a private
// pcscd with the virtual readers and the card emulator, all inside the
// test's own namespaces.

#include "tests/card/CardTestData.h"
#include "tests/program/CardPageProgram.h"
#include "tests/program/PageServer.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include "tools/CorvantixUser/UserClient.h"

#include "common/Tool.h"

#include <filesystem>
#include <future>
#include <map>
#include <thread>

namespace {

using namespace service_program;

class PageReachesTheCard : public CardPageProgram {
protected:
    // Waits for the confirmation dialog, reads its texts, finds OK refused
    // until the card was pulled out and put back, then confirms. The texts
    // by control id.
    std::map<int, std::string> confirmWithTheCardPulledAndPutBack(std::uint32_t dialogId) {
        std::map<int, std::string> texts;
        corvantix_user::Client user;
        const auto dialog = user.waitForDialog(dialogId, std::chrono::seconds(10));
        EXPECT_TRUE(dialog) << "no confirmation " << dialogId;
        if (!dialog) {
            return texts;
        }
        const auto shown = user.dump(*dialog);
        EXPECT_TRUE(shown) << shown.error;
        if (shown) {
            for (const auto& c : *shown.body.find("dialog")->find("controls")->asArray()) {
                if (const auto* text = c.find("text")->asString()) {
                    texts[static_cast<int>(c.find("id")->asNumber().value_or(-1))] = *text;
                }
            }
        }
        EXPECT_FALSE(user.click(*dialog, 1).ok) << "no OK before the card was pulled and put back";
        EXPECT_TRUE(rig.removeCard(*card)) << rig.why();
        EXPECT_TRUE(rig.reinsertCard(*card)) << rig.why();
        bool confirmed = false;
        for (int i = 0; i < 50 && !confirmed; ++i) {
            confirmed = user.click(*dialog, 1).ok;
            if (!confirmed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        EXPECT_TRUE(confirmed) << "OK never enabled";
        return texts;
    }
};

TEST_F(PageReachesTheCard, EchoReaderListConnectStatusDisconnect) {
    ASSERT_NO_FATAL_FAILURE(openSession());

    std::string listed;
    for (const auto& reader : rig.readers()) {
        listed += reader + ";";
    }
    EXPECT_EQ(call("GetReaderList"), listed);

    reader = rig.readers()[0];
    EXPECT_EQ(call("GetCardStatus"), "13");
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
    EXPECT_EQ(call("GetErrorCode"), "0");
    EXPECT_EQ(call("GetCardStatus"), "0");
    EXPECT_EQ(call("DisconnectCard"), "0");
    EXPECT_EQ(call("GetCardStatus"), "13");
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + rig.readers()[1] + "\""), "3005");
    EXPECT_EQ(call("VerifyURL", R"(,"bOutURL":"https://evil.test","iFlags":"0")"), "5907");
    EXPECT_EQ(call("VerifyURL", R"(,"bOutURL":"https://www.corvantix-bank.test","iFlags":"0")"),
              "0");
}

// The same road from a page in headless Chromium under the bank's domain,
// which trusts the service through the root in its own NSS database.
TEST_F(PageReachesTheCard, ABrowserPageListsConnectsAndDisconnects) {
    const auto home = box.root() / "Home";
    const auto nss = home / ".pki" / "nssdb";
    std::filesystem::create_directories(nss);
    setenv("HOME", home.c_str(), 1);
    ASSERT_EQ(testing_support::runProgram(
                  {"certutil", "-N", "-d", "sql:" + nss.string(), "--empty-password"}),
              0);
    ASSERT_EQ(
        testing_support::runProgram(
            {"certutil", "-A", "-d", "sql:" + nss.string(), "-n", "Corvantix Local Root", "-t",
             "C,,", "-i",
             (std::filesystem::path(CORVANTIX_SOURCE_DIR) / "certs" / "root-ecdsa.pem").string()}),
        0);
    ASSERT_TRUE(ready());

    std::string page = testing_support::Sandbox::read(std::filesystem::path(CORVANTIX_SOURCE_DIR) /
                                                      "tests/program/card_page.html");
    page = replaceString(page, "@PATH_ID@", kPathId);
    page = replaceString(page, "@READER@", rig.readers()[0]);
    const auto report = browseBankPage(page, box.root() / "profile");
    ASSERT_TRUE(report.has_value()) << "the page never reported";

    std::string listed;
    for (const auto& reader : rig.readers()) {
        listed += reader + ";";
    }
    EXPECT_EQ(*report, "echo=0\nGetReaderList=" + listed +
                           "\nConnectCard=0\nGetCardStatus=0\nDisconnectCard=0\nGetCardStatus=13");
}

// The card methods from the page to the card: the PIN typed on the control's
// keypad by the labels drawn on it, reads, a PIN change and a TAC.
TEST_F(PageReachesTheCard, CardMethods) {
    using card_emulator::toHex;
    ASSERT_NO_FATAL_FAILURE(connectCard());
    auto verified = std::async(std::launch::async, [&] {
        return call("VerifyPIN",
                    R"(,"bReaderName":")" + reader +
                        R"(","bAdvReaderList":"","PIN":"","iFlags":"0","iReplugTime":"0")");
    });
    corvantix_user::Client user;
    const auto dialog = user.waitForDialog(28000, std::chrono::seconds(10));
    ASSERT_TRUE(dialog) << "no PIN dialog";
    for (const char digit : card_test::kPin) {
        ASSERT_TRUE(user.press(*dialog, std::string(1, digit)));
    }
    ASSERT_TRUE(user.click(*dialog, 1));
    ASSERT_EQ(verified.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(verified.get(), "0");
    EXPECT_EQ(commands(), (std::vector<card_emulator::Bytes>{card_test::kSelectApplication,
                                                             card_test::kVerify}));

    EXPECT_EQ(call("GetSN"), toHex(card->serial()));
    EXPECT_EQ(call("GetAccount", R"(,"index":"1")"), toHex(card_test::kRecord1001_1));
    EXPECT_EQ(call("SelectEF", R"(,"EFID":"1001")"), "0");
    EXPECT_EQ(call("ReadRecord", R"(,"index":"2","iFlags":"0")"), "0098765432109876");
    EXPECT_EQ(call("SelectEF", R"(,"EFID":"1080")"), "0");
    EXPECT_EQ(call("ReadRecord", R"(,"index":"1","iFlags":"16777216")"),
              "303034|303030313233343536373839|1122334455667788");
    const std::string random = call("GenRandom");
    EXPECT_EQ(random.size(), 16u) << random;
    EXPECT_EQ(random.find_first_not_of("0123456789ABCDEF"), std::string::npos) << random;

    EXPECT_EQ(call("ChangePIN", R"(,"oldPIN":"246810","newPIN":"135792")"), "0");
    EXPECT_EQ(call("VerifyPIN",
                   R"(,"bReaderName":")" + reader +
                       R"(","bAdvReaderList":"","PIN":"246810","iFlags":"0","iReplugTime":"0")"),
              "30");
    EXPECT_EQ(call("VerifyPIN",
                   R"(,"bReaderName":")" + reader +
                       R"(","bAdvReaderList":"","PIN":"135792","iFlags":"0","iReplugTime":"0")"),
              "0");

    const std::uint32_t tsn = card->tsn();
    card_emulator::Bytes answer = card_test::expectedTacAnswer(tsn, card_test::ascii("ABC"), true);
    answer.resize(answer.size() - 2);
    EXPECT_EQ(
        call("WRITE_RECORD_W_SNUM_TAC", R"(,"bData":"414243","ip1p2":"0","iFlags":"16777216")"),
        toHex(answer));

    EXPECT_NE(logs().find("VerifyPIN"), std::string::npos) << "the control logged";
    expectNotLogged({"246810", "135792", "24 68 10", "13 57 92"});
}

// A transfer from the page: the user reads the accounts and the amount in
// the confirmation, pulls the card out and puts it back, and confirms; the
// TAC and TSN the page then reads are those the card's key gives over the
// record the test builds itself.
TEST_F(PageReachesTheCard, TransferConfirmedWithTheCardPulledAndPutBack) {
    using card_emulator::toHex;
    ASSERT_NO_FATAL_FAILURE(connectCard());
    const std::uint32_t counter = card->tsn();

    auto transfer =
        std::async(std::launch::async, [&] { return call("DoTransferTAC", kTransferArguments); });
    const auto shown = confirmWithTheCardPulledAndPutBack(204);
    EXPECT_EQ(shown.at(209), "004／0012345678901234");
    EXPECT_EQ(shown.at(211), "812／0098765432109876");
    EXPECT_EQ(shown.at(210), "1500");
    ASSERT_EQ(transfer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(transfer.get(), "0");

    const card_emulator::Bytes record = transferRecord();
    EXPECT_EQ(call("GetTSAC"), toHex(card_test::expectedTac(counter, record, false)));
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(counter));
    EXPECT_EQ(call("GetTSN"), digits);
    EXPECT_EQ(commands(),
              (std::vector<card_emulator::Bytes>{
                  card_test::kSelectApplication, card_test::kVerify, card_test::kReadSerial,
                  card_test::kSelectApplication, card_test::kReadSerial, card_test::kVerify,
                  card_test::getTacCommand(record, false)}));
    expectNotLogged({"246810", "24 68 10", card_test::kTacKey});
}

// The generic authorisation from a page on the transfer road: the user reads
// the lines of the confirmation (each cut at its second ":", empty ones
// left out), pulls the card out and puts it back, and confirms; the page's
// TAC is the card key's over the record the test builds from the fields.
TEST_F(PageReachesTheCard, GenericTransferConfirmedWithTheCardPulledAndPutBack) {
    using card_emulator::toHex;
    ASSERT_NO_FATAL_FAILURE(connectCard());
    const std::uint32_t counter = card->tsn();

    auto generated = std::async(std::launch::async, [&] {
        return call("GenerateTAC",
                    R"(,"bPIN":"246810","bPCode":"2561",)"
                    R"("GenTAC":"p:2561;amount:1500;;terminal:T0001;check:CHK00000000;)"
                    R"(bank:041;account:0004111122223333",)"
                    R"("UserConirmData":"Amount:1500:TWD;;To:0004111122223333","iFlags":"0")");
    });
    const auto shown = confirmWithTheCardPulledAndPutBack(207);
    EXPECT_EQ(shown.at(231), "Amount:1500\nTo:0004111122223333\n");
    ASSERT_EQ(generated.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(generated.get(), "0");

    const card_emulator::Bytes record = card_test::ascii("2561"
                                                         "00000000150000"
                                                         "T0001"
                                                         "CHK00000000"
                                                         "041"
                                                         "0004111122223333");
    EXPECT_EQ(call("GetTSAC"), toHex(card_test::expectedTac(counter, record, false)));
    EXPECT_EQ(commands(), (std::vector<card_emulator::Bytes>{
                              card_test::kSelectApplication, card_test::kReadSerial,
                              card_test::kSelectApplication, card_test::kReadSerial,
                              card_test::kVerify, card_test::getTacCommand(record, false)}));
    expectNotLogged({"246810", "24 68 10", card_test::kTacKey});
}

} // namespace
