#pragma once

// A page's calls reaching the card: the real service, the real adapter and
// the real card control registered in the sandbox, a private pcscd with the
// virtual readers and the emulated card, all inside the test's own
// namespaces.

#include "tests/card/CardTestData.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace service_program {

// A transfer of 1500 from 004/0012345678901234 to 812/0098765432109876 with
// the card's PIN, as DoTransferTAC's arguments.
inline const std::string kTransferArguments =
    R"(,"PIN":"246810","bTermainalDeviceID":"TERM0001",)"
    R"("bTermainalDeviceCheckID":"CHK00001","bOutBankNo":"004",)"
    R"("bOutAccountNo":"0012345678901234","bInBankNo":"812",)"
    R"("bInAccountNo":"0098765432109876","bAmount":"1500","bPCode":"2541",)"
    R"("bServerDataTime":"20240102030405","iFlags":"0")";

// The record that transfer has the card sign.
inline card_emulator::Bytes transferRecord() {
    return card_test::ascii("2541"
                            "00000000150000"
                            "TERM0001"
                            "CHK00001"
                            "20240102030405"
                            "0098765432109876"
                            "0012345678901234");
}

class CardPageProgram : public ServiceProgram {
protected:
    CardPageProgram() : ServiceProgram(Adapter::RealControl) {}
    void SetUp() override {
        // pcscd and the card first, while this process has no other thread;
        // the service then starts inside the same namespaces.
        ASSERT_TRUE(rig.start()) << rig.why();
        card = rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile());
        ASSERT_NE(card, nullptr) << rig.why();
        enableLog();
        // The control's own log, read by the tests that look for secrets.
        box.write("Windows/Tavelo.ini",
                  "[Tavelo]\nLog File=" + (box.root() / "tavelo.log").string() + "\nLog Level=5\n");
        start();
    }
    void TearDown() override {
        ServiceProgram::TearDown();
        if (HasFailure()) {
            std::fprintf(stderr, "service log:\n%s\npcscd:\n%s\n", log().c_str(),
                         rig.pcscdLog().c_str());
        }
    }
    // A function of the open session, with more arguments as JSON members.
    std::string call(const std::string& function, const std::string& more = "") {
        return resultOf(postReply(kPorts[0], false,
                                  R"({"FunctionName":")" + function + R"(","SessionId":")" +
                                      session + "\"" + more + "}"));
    }
    // Echo until the adapter answers; the session's id.
    void openSession() {
        std::optional<Reply> opened;
        for (int i = 0; i < 200 && resultOf(opened = echoReply()) == "<closed>"; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(resultOf(opened), "0") << "the adapter creates the real control";
        session = opened->at("SessionID");
    }
    // A session with the card in the first reader connected, and the card's
    // log cleared of what that took.
    void connectCard() {
        ASSERT_NO_FATAL_FAILURE(openSession());
        reader = rig.readers()[0];
        ASSERT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
        card->clearLog();
    }
    std::vector<card_emulator::Bytes> commands() const {
        std::vector<card_emulator::Bytes> sent;
        for (const auto& e : card->exchanges()) {
            sent.push_back(e.command);
        }
        return sent;
    }
    // The control's log and the service's, as one text.
    std::string logs() const {
        std::string all = log();
        for (const auto& e : std::filesystem::directory_iterator(box.root())) {
            if (e.path().filename().string().starts_with("tavelo")) {
                all += testing_support::Sandbox::read(e.path());
            }
        }
        return all;
    }

    // None of the texts in the service's log or the control's.
    void expectNotLogged(std::initializer_list<std::string_view> secrets) const {
        const std::string all = logs();
        for (const std::string_view secret : secrets) {
            EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in a log";
        }
    }

    testing_support::CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::string session;
    std::string reader;
};

} // namespace service_program
