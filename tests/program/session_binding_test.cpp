// Sessions of the real service with the real adapter and the fake card
// control, tried by pages of other origins: a session answers only the page
// that opened it, an id given by a page captures no other session, and a page
// the adapter refuses never costs another page its session.

#include "common/Message.h"
#include "platform/window/MessageWindow.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace service_program;

const std::string kEvil = "https://evil.example";
const std::string kShopPage = "https://shop.corvantix-bank.test";
const std::string kSerial = "0012345678";

std::string request(const std::string& function, const std::string& sessionId,
                    const std::string& more = "") {
    return R"({"FunctionName":")" + function + R"(","SessionId":")" + sessionId + "\"" + more + "}";
}

// The objects the fake control made and destroyed, in order.
std::vector<int> objects(const char* event) {
    std::vector<int> out;
    for (const auto& call : fake_tavelo::calls()) {
        if (call.method == event) {
            out.push_back(call.object);
        }
    }
    return out;
}

class BankSessions : public ServiceProgram {
protected:
    BankSessions() : ServiceProgram(Adapter::Real) {}
    void SetUp() override {
        fake_tavelo::setScript("answer GetSN " + kSerial + "\n");
        enableLog();
        start();
        ASSERT_TRUE(ready()); // leaves one session open
    }

    // A session opened by an Echo of the page: its id, empty when refused.
    std::string open(const std::string& origin, const std::string& sessionId = "") {
        const auto reply = echoReply(sessionId, origin);
        if (resultOf(reply) != "0") {
            ADD_FAILURE() << "Echo from " << origin << " answered " << resultOf(reply);
            return "";
        }
        return sessionId.empty() ? reply->at("SessionID") : sessionId;
    }
    std::string call(const std::string& json, const std::string& origin = kPage) {
        return resultOf(postReply(kPorts[0], false, json, origin));
    }
};

TEST_F(BankSessions, AnotherOriginCannotUseOrEndAnOpenSession) {
    const std::string id = open(kPage);
    ASSERT_EQ(call(request("setCorvantixValue", id,
                           R"(,"channel":"c","domain_list":"www.corvantix-bank.test",)"
                           R"("value":"kept","timeout":"0")")),
              "0");
    fake_tavelo::clearCalls();

    const std::string attempts[] = {
        request("GetSN", id),
        request("GetSN", id + "-extra"),
        request("Echo", id),
        request("setCorvantixValue", id,
                R"(,"channel":"c","domain_list":"evil.example","value":"x","timeout":"0")"),
        request("getCorvantixValue", id, R"(,"channel":"c")"),
        request("CorvantixClose", id),
        request("CorvantixRelease", id),
        request("CorvantixForceRelease", id),
    };
    for (const auto& json : attempts) {
        EXPECT_EQ(call(json, kEvil), "61908") << json;
    }
    EXPECT_TRUE(fake_tavelo::methodCalls().empty()) << "a foreign page reached the control";
    EXPECT_NE(log().find("Session origin mismatch: " + kEvil), std::string::npos);

    // The session is as it was: open, unlocked, its value untouched.
    EXPECT_EQ(call(request("GetSN", id)), kSerial);
    EXPECT_EQ(call(request("getCorvantixValue", id, R"(,"channel":"c")")), "kept");
    EXPECT_TRUE(objects("Destroy").empty());
}

TEST_F(BankSessions, AnIdGivenByAPageCapturesNoOtherSession) {
    // Every id the service makes ends in "_SID"; a page that opened its
    // session under that very text must not receive later pages' requests.
    ASSERT_EQ(open(kShopPage, "_SID"), "_SID");
    const int shopObject = objects("Create").back();
    const std::string id = open(kPage);
    ASSERT_TRUE(id.ends_with("_SID")) << id;
    const int bankObject = objects("Create").back();
    ASSERT_NE(shopObject, bankObject);

    fake_tavelo::clearCalls();
    EXPECT_EQ(call(request("GetSN", id)), kSerial);
    const auto calls = fake_tavelo::methodCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().object, bankObject);

    // Closing the page's own session leaves the other one open.
    call(request("CorvantixForceRelease", id));
    EXPECT_EQ(objects("Destroy"), std::vector<int>{bankObject});
    EXPECT_EQ(call(request("GetSN", "_SID"), kShopPage), kSerial);
    EXPECT_EQ(fake_tavelo::methodCalls().back().object, shopObject);
}

TEST_F(BankSessions, ARefusedPageEvictsNothingAndTheNextBankPageEvictsTheOldest) {
    // ready() opened the first session; 31 more fill the table.
    std::vector<std::string> ids;
    for (int i = 1; i < 32; ++i) {
        ids.push_back(open(kPage));
        ASSERT_FALSE(ids.back().empty()) << i;
    }
    const auto created = objects("Create");
    ASSERT_EQ(created.size(), 32u);
    ASSERT_EQ(adapterCopies(), 32);

    // The adapter refuses a foreign page with the public PathID.
    EXPECT_EQ(resultOf(echoReply("", kEvil)), "61908");
    for (const int object : objects("Destroy")) {
        EXPECT_EQ(std::count(created.begin(), created.end(), object), 0)
            << "session object " << object << " was released";
    }
    EXPECT_EQ(adapterCopies(), 32);
    for (const auto& id : ids) {
        EXPECT_EQ(call(request("GetSN", id)), kSerial) << id;
    }
    EXPECT_EQ(objects("Create").size(), 33u); // only the refused page's own control

    // A bank page that passes takes the first-opened session's place.
    const std::string latest = open(kPage);
    ASSERT_FALSE(latest.empty());
    const auto destroyed = objects("Destroy");
    EXPECT_EQ(std::count(destroyed.begin(), destroyed.end(), created.front()), 1);
    EXPECT_EQ(adapterCopies(), 32);
    EXPECT_EQ(call(request("GetSN", latest)), kSerial);
    EXPECT_EQ(call(request("GetSN", ids.front())), kSerial);
    const auto temp = box.root() / "ProgramData" / "VondelCorvantix" / "Tempfile";
    EXPECT_TRUE(fs::exists(temp / "Session_0" / "VondelTaveloZynAdapter.so"));
    for (const auto& entry : fs::directory_iterator(temp)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("Session_spare")) << entry.path();
    }
}

class QuitPath : public ServiceProgram {};

TEST_F(QuitPath, ARequestWaitingWhileSessionsAreReleasedOpensNothing) {
    // Each release takes a while, so a page's request queues behind it.
    setenv("FAKE_ADAPTER_RELEASE_MS", "1500", 1);
    const pid_t pid = start();
    unsetenv("FAKE_ADAPTER_RELEASE_MS");
    ASSERT_TRUE(ready());
    ASSERT_EQ(adapterCopies(), 1);

    std::thread quit([] {
        const auto message =
            createCorvantixMessage("CorvantixMonitor", kChannelService, kInstructionSuicide);
        const auto json = *corvantixMessageToJson(message) + std::string(1, '\0');
        platform::sendCopyData(kChannelService, 0, json);
    });
    std::this_thread::sleep_for(400ms);
    const auto late = echoReply();
    quit.join();
    EXPECT_FALSE(late.has_value()) << "answered " << resultOf(late);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_EQ(adapterCopies(), 0);
}

TEST_F(QuitPath, ReceiversStartOnlyOnceTheSessionAreaIsReady) {
    enableLog();
    start();
    ASSERT_TRUE(ready());
    const std::string text = log();
    const auto area = text.find("Corvantix Version: ");
    const auto receivers = text.find("IPC mode: ");
    ASSERT_NE(area, std::string::npos);
    ASSERT_NE(receivers, std::string::npos);
    EXPECT_LT(area, receivers);
}

} // namespace
