// A page's requests over HTTPS reach the card: the real service, the real
// adapter and the real card control registered in the sandbox, a private
// pcscd with the virtual readers and the card emulator, all inside the
// test's own namespaces.

#include "tests/card/CardTestData.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace service_program;

std::string resultOf(const std::optional<Reply>& reply) {
    if (!reply) {
        return "<closed>";
    }
    const auto found = reply->find("result");
    return found != reply->end() ? found->second : "<none>";
}

class PageReachesTheCard : public ServiceProgram {
protected:
    PageReachesTheCard() : ServiceProgram(Adapter::RealControl) {}
    void SetUp() override {
        // pcscd and the card first, while this process has no other thread;
        // the service then starts inside the same namespaces.
        ASSERT_TRUE(rig.start()) << rig.why();
        ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile()), nullptr)
            << rig.why();
        enableLog();
        start();
    }
    void TearDown() override {
        ServiceProgram::TearDown();
        if (HasFailure()) {
            std::fprintf(stderr, "service log:\n%s\npcscd:\n%s\n", log().c_str(),
                         rig.pcscdLog().c_str());
        }
    }
    std::string call(const std::string& function, const std::string& more = "") {
        return resultOf(postReply(kPorts[0], false,
                                  R"({"FunctionName":")" + function + R"(","SessionId":")" +
                                      session + "\"" + more + "}"));
    }

    testing_support::CardRig rig;
    std::string session;
};

TEST_F(PageReachesTheCard, EchoReaderListConnectStatusDisconnect) {
    std::optional<Reply> opened;
    for (int i = 0; i < 200 && resultOf(opened) != "0"; ++i) {
        opened = echoReply();
        if (resultOf(opened) == "<closed>") {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else {
            break;
        }
    }
    ASSERT_EQ(resultOf(opened), "0") << "the adapter creates the real control";
    session = opened->at("SessionID");

    std::string listed;
    for (const auto& reader : rig.readers()) {
        listed += reader + ";";
    }
    EXPECT_EQ(call("GetReaderList"), listed);

    const std::string reader = rig.readers()[0];
    EXPECT_EQ(call("GetCardStatus"), "13");
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
    EXPECT_EQ(call("GetErrorCode"), "0");
    EXPECT_EQ(call("GetCardStatus"), "0");
    EXPECT_EQ(call("DisconnectCard"), "0");
    EXPECT_EQ(call("GetCardStatus"), "13");
    EXPECT_EQ(call("ConnectCard", R"(,"readerName":")" + rig.readers()[1] + "\""), "3005");
    EXPECT_EQ(call("VerifyURL", R"(,"bOutURL":"https://www.corvantix-bank.test","iFlags":"0")"),
              "5004");
}

} // namespace
