// Domain lists from a page cannot crash or stall the service: through the
// real program over HTTPS, a list over its bounds is refused and a hostile
// wildcard list is checked against a long origin in a blink.

#include "service/CorvantixValue.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <map>
#include <string>

namespace {

using namespace std::chrono_literals;
using namespace service_program;

class DomainList : public ServiceProgram {
protected:
    void SetUp() override {
        pid = start();
        ASSERT_TRUE(ready());
        const auto opened = echoReply();
        ASSERT_TRUE(opened.has_value());
        ASSERT_EQ(opened->count("SessionID"), 1u);
        sessionId = opened->at("SessionID");
    }

    // The decoded "result", or nullopt when the service closed the
    // connection without an answer.
    std::optional<std::string> result(const std::string& json, const std::string& origin = kPage) {
        const auto reply = postReply(kPorts[0], false, json, origin);
        if (!reply) {
            return std::nullopt;
        }
        const auto found = reply->find("result");
        return found != reply->end() ? found->second : std::string();
    }
    std::optional<std::string> set(const std::string& channel, const std::string& list,
                                   const std::string& value) {
        return result(R"({"FunctionName":"setCorvantixValue","SessionId":")" + sessionId +
                      R"(","channel":")" + channel + R"(","domain_list":")" + list +
                      R"(","value":")" + value + R"(","timeout":"0"})");
    }
    // A read by a page of the origin, through a session of its own: a
    // session answers only the page that opened it.
    std::optional<std::string> get(const std::string& channel, const std::string& origin) {
        auto& id = sessions[origin];
        if (id.empty()) {
            const auto opened = origin == kPage ? std::nullopt : echoReply("", origin);
            id = origin == kPage ? sessionId : opened ? opened->at("SessionID") : "";
        }
        return result(R"({"FunctionName":"getCorvantixValue","SessionId":")" + id +
                          R"(","channel":")" + channel + "\"}",
                      origin);
    }

    pid_t pid = -1;
    std::string sessionId;
    std::map<std::string, std::string> sessions;
};

TEST_F(DomainList, OverlongListIsRefusedAndTheServiceLivesOn) {
    ASSERT_EQ(set("c", "www.corvantix-bank.test", "kept"), "0");
    // One entry of 200,000 characters (its expression once overflowed the
    // stack), and as many short entries.
    std::string oneEntry;
    while (oneEntry.size() < 200000) {
        oneEntry += "a.";
    }
    std::string manyEntries;
    while (manyEntries.size() < 200000) {
        manyEntries += "host" + std::to_string(manyEntries.size()) + ".corvantix-bank.test;";
    }
    manyEntries.resize(200000);
    for (const auto* list : {&oneEntry, &manyEntries}) {
        ASSERT_EQ(list->size(), 200000u);
        EXPECT_EQ(set("c", *list, "lost"), std::to_string(kResultBadArgument));
        EXPECT_EQ(set("d", *list, "lost"), std::to_string(kResultBadArgument));

        // Nothing changed, and reads from any origin are answered.
        EXPECT_EQ(get("c", kPage), "kept");
        EXPECT_EQ(get("c", "https://a.a.a.test"), "");
        EXPECT_EQ(get("c", "https://host0.corvantix-bank.test"), "");
        EXPECT_EQ(get("d", kPage), "");
        EXPECT_EQ(echo(), "0");
    }
}

TEST_F(DomainList, WildcardListAgainstAManyLabelOriginAnswersPromptly) {
    ASSERT_EQ(set("c", "*.*.*.*.*.*.*.x", "v"), "0");
    std::string origin = "https://";
    for (int i = 0; i < 120; ++i) {
        origin += "a.";
    }
    origin += "test";
    ASSERT_LT(origin.size(), 512u);

    const auto began = std::chrono::steady_clock::now();
    auto answer = std::async(std::launch::async, [&] { return get("c", origin); });
    if (answer.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "no answer within 5 s";
        kill(pid, SIGKILL); // ends the request, so the reader returns
    }
    EXPECT_EQ(answer.get(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);

    // Still serving, promptly, every daemon.
    const auto after = std::chrono::steady_clock::now();
    for (const int port : kPorts) {
        EXPECT_EQ(echo(port), "0") << port;
    }
    EXPECT_EQ(get("c", "https://a.b.c.d.e.f.g.x"), "v");
    EXPECT_LT(std::chrono::steady_clock::now() - after, 5s);
}

TEST_F(DomainList, ListedOriginsReadAndOthersDoNot) {
    ASSERT_EQ(set("c", " .corvantix-bank.test ; shop.test/", "secret"), "0");
    struct Case {
        std::string origin;
        std::string result;
    };
    const Case cases[] = {
        {kPage, "secret"},
        {"https://pay.www.corvantix-bank.test:8443", "secret"},
        {"https://SHOP.test", "secret"},
        {"http://shop.test/", "secret"},
        {"https://corvantix-bank.test", ""},
        {"https://www.shop.test", ""},
        {"https://evil.test", ""},
        {"https://www.corvantix-bank.test.evil.test", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.origin);
        EXPECT_EQ(get("c", c.origin), c.result);
    }
}

} // namespace
