#include "common/Message.h"
#include "common/ToolLog.h"
#include "tests/message/MessageTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

using message_test::contains;
using message_test::hasLineEnding;
using message_test::inOrder;

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

class MessageFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(setLog("MsgTest")); }

    message_test::LoggedSandbox logs;
};

TEST_F(MessageFixture, FreshnessAcceptsZeroToTwoSecondsOnly) {
    const std::int64_t now = computeTimeValue(localTime(2024, 5, 15, 10, 20, 30));
    struct Case {
        std::int64_t age;
        bool fresh;
    };
    const Case cases[] = {{-1, false}, {0, true}, {1, true}, {2, true}, {3, false}, {now, false}};
    logs.newLines();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age);
        const std::int64_t stamped = now - c.age;
        const auto message =
            createCorvantixMessage("CorvantixWorker", kChannelService, kInstructionStop, stamped);
        EXPECT_EQ(verifyCorvantixMessage(message, now), c.fresh);
        const auto lines = logs.newLines();
        if (c.fresh) {
            EXPECT_TRUE(hasLineEnding(lines, "[Normal] CorvantixMessage verify state: Success"));
            EXPECT_FALSE(contains(lines, "Replay attack"));
        } else {
            EXPECT_TRUE(inOrder(
                lines, {"[Warning] CorvantixMessage now time value: " + timeValueText(now),
                        "[Warning] CorvantixMessage message time value: " + timeValueText(stamped),
                        "[Warning] CorvantixMessage verify fail: Replay attack"}));
            EXPECT_FALSE(contains(lines, "verify state"));
        }
    }
}

TEST_F(MessageFixture, TimeValuesOfEveryLengthReadBack) {
    struct Case {
        std::tm when;
        std::int64_t value;
        const char* text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {localTime(2015, 1, 1, 0, 0, 0), 86400, "15180", {"151", "80", "", ""}},
        {localTime(2023, 12, 31, 23, 59, 59), 255052799, "f33cbff", {"f33", "cbff", "", ""}},
        {localTime(2024, 1, 1, 0, 0, 0), 284688000, "10f7fe80", {"10f", "7fe8", "0", ""}},
        // Before 2015 the value is negative and fills all 16 places.
        {localTime(2014, 1, 1, 0, 0, 0),
         -31449600,
         "fffffffffe201e00",
         {"fff", "ffff", "ffe2", "01e00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(computeTimeValue(c.when), c.value);
        EXPECT_EQ(timeValueText(c.value), c.text);
        const auto json = corvantixMessageToJson(
            createCorvantixMessage("CorvantixWorker", kChannelMonitor, kInstructionStart, c.value));
        ASSERT_TRUE(json);
        const auto parsed = parseCorvantixMessage(*json);
        EXPECT_EQ(std::vector<std::string>({*parsed.t0, *parsed.t1, *parsed.t2, *parsed.t3}),
                  c.pieces);
        EXPECT_EQ(messageTimeValue(parsed), c.value);
        EXPECT_TRUE(verifyCorvantixMessage(parsed, c.value + 2));
        EXPECT_FALSE(verifyCorvantixMessage(parsed, c.value + 3));
    }
}

TEST_F(MessageFixture, MidnightAtAMonthsEndIsAReplay) {
    // The month does not enter the value, so it falls at every month's end.
    EXPECT_EQ(computeTimeValue(localTime(2024, 2, 1, 0, 0, 0)),
              computeTimeValue(localTime(2024, 1, 1, 0, 0, 0)));
    struct Case {
        std::tm stamped;
        std::tm verified;
        bool fresh;
    };
    const Case cases[] = {
        {localTime(2024, 1, 31, 23, 59, 59), localTime(2024, 2, 1, 0, 0, 0), false},
        {localTime(2023, 4, 30, 23, 59, 59), localTime(2023, 5, 1, 0, 0, 0), false},
        {localTime(2024, 1, 30, 23, 59, 59), localTime(2024, 1, 31, 0, 0, 0), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamped.tm_mday);
        const auto message =
            createCorvantixMessage("VondelCorvantixMonitor.exe", kChannelService,
                                   kInstructionSuicide, computeTimeValue(c.stamped));
        logs.newLines();
        EXPECT_EQ(verifyCorvantixMessage(message, computeTimeValue(c.verified)), c.fresh);
        EXPECT_EQ(contains(logs.newLines(), "CorvantixMessage verify fail: Replay attack"),
                  !c.fresh);
    }
}

TEST_F(MessageFixture, HashIsTheKnownDigestAndTheJsonHasItsOneLineForm) {
    const auto message =
        createCorvantixMessage("CorvantixWorker", kChannelService, kInstructionStart, 0x110b04ee);
    // SHA-512 of "CorvantixWorker", "VondelCorvantix.exe", "110b04ee", the 71
    // salt bytes and "CorvantixInstruction_Start", computed independently.
    const std::string expected = "AA78F0447F8E39E841157C76284D7D8AA9646109536F8F55BB2EBFCEC24928FD"
                                 "6FDBF4637AEAF6451111136531D479A26C78A8218451A4C0EDDAC36C35043044";
    EXPECT_EQ(message.hashValue, expected);
    EXPECT_EQ(hashCorvantixMessage(message), expected);
    EXPECT_EQ(corvantixMessageToJson(message),
              "{\"From\":\"CorvantixWorker\", \"To\":\"VondelCorvantix.exe\", "
              "\"Instruction\":\"CorvantixInstruction_Start\", \"Message\":\"\", "
              "\"TimeValue\":\"110b04ee\", \"HashValue\":\"" +
                  expected + "\"}");
    auto incomplete = message;
    incomplete.hashValue.reset();
    EXPECT_EQ(corvantixMessageToJson(incomplete), std::nullopt);
}

TEST_F(MessageFixture, KeysMatchInAnyCase) {
    const std::int64_t now = computeTimeValue(localTime(2024, 3, 9, 8, 7, 6));
    const auto sent =
        createCorvantixMessage("CorvantixWorker", kChannelWatchdog, kInstructionSuicide, now);
    const std::string json = "{\"from\":\"" + *sent.from + "\", \"TO\":\"" + *sent.to +
                             "\", \"iNsTrUcTiOn\":\"" + *sent.instruction +
                             "\", \"MESSAGE\":\"\", \"timevalue\":\"" + joinTimeValue(sent) +
                             "\", \"Hashvalue\":\"" + *sent.hashValue + "\"}";
    const auto parsed = parseCorvantixMessage(json);
    EXPECT_EQ(parsed.from, sent.from);
    EXPECT_EQ(parsed.to, sent.to);
    EXPECT_EQ(parsed.instruction, sent.instruction);
    EXPECT_EQ(parsed.message, "");
    EXPECT_EQ(joinTimeValue(parsed), joinTimeValue(sent));
    EXPECT_EQ(parsed.hashValue, sent.hashValue);
    EXPECT_TRUE(verifyCorvantixMessage(parsed, now));
}

// Everything but freshness that must make a message fail.
TEST_F(MessageFixture, AlteredOrIncompleteMessagesFail) {
    const std::int64_t now = computeTimeValue(localTime(2024, 6, 1, 12, 0, 0));
    const auto good =
        createCorvantixMessage("CorvantixWorker", kChannelMonitorTray, kInstructionRestart, now);
    ASSERT_TRUE(verifyCorvantixMessage(good, now));

    struct Case {
        const char* name;
        void (*alter)(CorvantixMessage&);
    };
    const Case cases[] = {
        {"lower-case hash",
         [](CorvantixMessage& m) {
             for (char& c : *m.hashValue) {
                 c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
             }
         }},
        {"other sender", [](CorvantixMessage& m) { m.from = "Intruder"; }},
        {"other receiver", [](CorvantixMessage& m) { m.to = std::string(kChannelService); }},
        {"other instruction",
         [](CorvantixMessage& m) { m.instruction = std::string(kInstructionSuicide); }},
        {"text added", [](CorvantixMessage& m) { m.message = "x"; }},
        {"no Message", [](CorvantixMessage& m) { m.message.reset(); }},
        {"no Instruction", [](CorvantixMessage& m) { m.instruction.reset(); }},
        {"no HashValue", [](CorvantixMessage& m) { m.hashValue.reset(); }},
        {"hash cut short", [](CorvantixMessage& m) { m.hashValue->pop_back(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = good;
        c.alter(message);
        logs.newLines();
        EXPECT_FALSE(verifyCorvantixMessage(message, now));
        EXPECT_TRUE(
            hasLineEnding(logs.newLines(), "[Warning] CorvantixMessage verify state: Fail"));
    }
}

TEST_F(MessageFixture, TextsThatAreNotMessagesGiveNoFields) {
    for (const auto& text : {std::optional<std::string_view>(), std::optional<std::string_view>(""),
                             std::optional<std::string_view>("not json"),
                             std::optional<std::string_view>("{\"Other\":\"x\"}")}) {
        const auto parsed = parseCorvantixMessage(text);
        EXPECT_FALSE(parsed.from || parsed.to || parsed.instruction || parsed.message ||
                     parsed.t0 || parsed.hashValue);
        EXPECT_FALSE(verifyCorvantixMessage(parsed));
    }
}

} // namespace
