#include "platform/ui/JsonLine.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using platform::ui::JsonValue;
using platform::ui::parseJson;
using platform::ui::serializeJson;

struct RoundTrip {
    const char* name;
    std::string text;
    std::string canonical; // as written back
};

void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << c.name;
}

const RoundTrip kRoundTrips[] = {
    {"Object", R"( { "op" : "click", "window" : 42 , "on":true, "x":null } )",
     R"({"op":"click","window":42,"on":true,"x":null})"},
    {"Nested", R"({"a":[1,[2,{"b":[]}],{}],"c":-7})", R"({"a":[1,[2,{"b":[]}],{}],"c":-7})"},
    {"Escapes", R"("a\"b\\c\/d\n\t\r\b\f")", "\"a\\\"b\\\\c/d\\n\\t\\r\\u0008\\u000c\""},
    {"UnicodeEscape", R"("\u5bc6\u78bc")", "\"\xe5\xaf\x86\xe7\xa2\xbc\""},
    {"SurrogatePair", R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
    {"Utf8AsIs", "\"\xe5\xaf\x86\"", "\"\xe5\xaf\x86\""},
    {"Int64Edges", "[9223372036854775807,-9223372036854775808,0]",
     "[9223372036854775807,-9223372036854775808,0]"},
};

class JsonRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(JsonRoundTrip, ParsesAndWritesBack) {
    const auto parsed = parseJson(GetParam().text);
    ASSERT_TRUE(parsed.value) << parsed.error;
    EXPECT_EQ(serializeJson(*parsed.value), GetParam().canonical);
    // What it writes reads back the same.
    const auto again = parseJson(GetParam().canonical);
    ASSERT_TRUE(again.value);
    EXPECT_EQ(serializeJson(*again.value), GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(Values, JsonRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refused {
    const char* name;
    std::string text;
    const char* error;
};

void PrintTo(const Refused& c, std::ostream* os) {
    *os << c.name;
}

const Refused kRefused[] = {
    {"Empty", "", "value missing"},
    {"TrailingText", "{} x", "text after the value"},
    {"TwoValues", "1 2", "text after the value"},
    {"Fraction", "1.5", "only whole numbers are allowed"},
    {"Exponent", "1e3", "only whole numbers are allowed"},
    {"LeadingZero", "012", "leading zero"},
    {"TooBig", "9223372036854775808", "number out of range"},
    {"TooSmall", "-9223372036854775809", "number out of range"},
    {"BareMinus", "-", "unexpected character"},
    {"Unterminated", "\"abc", "unterminated string"},
    {"RawControl", "\"a\nb\"", "control character in a string"},
    {"BadEscape", R"("\x")", "bad escape"},
    {"ShortUnicode", R"("\u12")", "short \\u escape"},
    {"LoneHighSurrogate", R"("\ud83d")", "lone surrogate"},
    {"LoneLowSurrogate", R"("\ude00")", "lone surrogate"},
    {"InvalidUtf8", "\"\xc3\x28\"", "text is not UTF-8"},
    {"Overlong", "\"\xc0\xaf\"", "text is not UTF-8"},
    {"EncodedSurrogate", "\"\xed\xa0\x80\"", "text is not UTF-8"},
    {"DuplicateKey", R"({"a":1,"a":2})", "duplicate key"},
    {"KeyNotText", R"({1:2})", "expected a key"},
    {"MissingColon", R"({"a" 1})", "expected :"},
    {"TrailingComma", "[1,]", "unexpected character"},
    {"UnclosedArray", "[1", "expected , or ]"},
    {"UnclosedObject", R"({"a":1)", "expected , or }"},
    {"MisspeltWord", "nul", "unknown word"},
    {"TooDeep", std::string(40, '[') + std::string(40, ']'), "nested too deeply"},
};

class JsonRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(JsonRefused, SaysWhy) {
    const auto parsed = parseJson(GetParam().text);
    EXPECT_FALSE(parsed.value);
    EXPECT_EQ(parsed.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Values, JsonRefused, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonValue, BuildsAndFindsMembers) {
    JsonValue value;
    value.set("a", 1).set("b", "two").set("a", 3);
    JsonValue list;
    list.push(true).push(JsonValue());
    value.set("c", std::move(list));
    EXPECT_EQ(serializeJson(value), R"({"a":3,"b":"two","c":[true,null]})");
    EXPECT_EQ(value.find("a")->asNumber(), 3);
    EXPECT_EQ(value.find("missing"), nullptr);
    EXPECT_FALSE(value.find("b")->asNumber());
    value.wipe();
    EXPECT_EQ(serializeJson(value).find("two"), std::string::npos);
}

} // namespace
