#include "common/Tool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

namespace {

struct NumberCase {
    std::optional<std::string> text;
    bool strict;
    std::int32_t value;
    int status;
};

TEST(StringToLong, ValuesAndConversionStatus) {
    const NumberCase cases[] = {
        {"-12", true, -12, kResultSuccess},
        {"1-2", true, 0, kResultNotNumber},
        {"", true, 0, kResultNotNumber},
        {std::nullopt, true, 0, kResultNoText},
        {"-", true, 0, kResultNotNumber},
        {" 12", true, 0, kResultNotNumber},
        {"+12", true, 0, kResultNotNumber},
        {"12abc", false, 12, kResultSuccess},
        {"  7", false, 7, kResultSuccess},
        {"abc", false, 0, kResultNotNumber},
        {"2147483647", true, 2147483647, kResultSuccess},
        {"-2147483648", true, INT32_MIN, kResultSuccess},
        {"2147483648", true, 0, kResultNotNumber},
        {"-2147483649", false, 0, kResultNotNumber},
        {"99999999999999999999", false, 0, kResultNotNumber},
        {"0804", true, 804, kResultSuccess},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("<null>"));
        EXPECT_EQ(stringToLong(c.text, c.strict), c.value);
        EXPECT_EQ(conversionStatus(), c.status);
        EXPECT_EQ(isConvertError(), c.status != kResultSuccess);
    }
}

TEST(HexStringToLong, Base16WithoutStrictTest) {
    EXPECT_EQ(hexStringToLong("1A2B3C"), 0x1A2B3C);
    EXPECT_FALSE(isConvertError());
    EXPECT_EQ(hexStringToLong("7fffffff"), 0x7FFFFFFF);
    EXPECT_EQ(hexStringToLong("FFFFFFFF"), 0); // beyond 32-bit signed
    EXPECT_TRUE(isConvertError());
    EXPECT_EQ(hexStringToLong("  ff zz"), 0xFF);
    EXPECT_FALSE(isConvertError());
    EXPECT_EQ(hexStringToLong("zz"), 0);
    EXPECT_TRUE(isConvertError());
    EXPECT_EQ(hexStringToLong(std::nullopt), 0);
    EXPECT_EQ(conversionStatus(), kResultNoText);
}

TEST(CompareVersion, Results) {
    struct Case {
        std::optional<std::string> a, b;
        int result;
    };
    const Case cases[] = {
        {"1.0.22.0804", "1.0.22.804", 0},
        {"1.0.22.0804", "1,0,22,0804", 0},
        {"1.0.9", "1.0.10", -1},
        {"1.0.10", "1.0.9", 1},
        {"1.0", "1.0.0", 3},
        {"1.0.", "1.0.1", kResultBadArgument},
        {"1.0.1", "1..1", kResultBadArgument},
        {"1.0.a", "1.0.b", 2},
        {"1.0.a", "1.0.a", 0},
        {"1.0.5", "1.0.b", 2},
        {"1 .0", "1.0", 0},
        {"1,0,18,719", "1.0.18.700", 1},
        {std::nullopt, "1.0", kResultNotAvailable},
        {"1.0", std::nullopt, kResultNotAvailable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a.value_or("<null>") + " vs " + c.b.value_or("<null>"));
        EXPECT_EQ(compareVersion(c.a, c.b), c.result);
    }
}

// One thread decodes time values (a failing and a good one in turn) while
// another compares versions: neither may read the status the other's
// conversion left behind.
TEST(ConversionStatus, EachThreadReadsItsOwn) {
    constexpr int kComparisons = 200000;
    std::atomic<bool> decoding{false};
    std::atomic<bool> stop{false};
    long decodes = 0;
    long decoderWrong = 0;
    std::thread decoder([&] {
        decoding = true;
        for (bool fail = true; !stop; fail = !fail) {
            const std::int32_t value = hexStringToLong(fail ? "zz" : "1A");
            if (isConvertError() != fail || value != (fail ? 0 : 0x1A)) {
                ++decoderWrong;
            }
            ++decodes;
        }
    });
    while (!decoding) {
        std::this_thread::yield();
    }
    long comparerWrong = 0;
    for (int i = 0; i < kComparisons; ++i) {
        if (compareVersion("1,0,18,719", "1.0.18.700") != 1) {
            ++comparerWrong;
        }
    }
    stop = true;
    decoder.join();
    EXPECT_GT(decodes, 0);
    EXPECT_EQ(comparerWrong, 0) << "of " << kComparisons << " comparisons";
    EXPECT_EQ(decoderWrong, 0) << "of " << decodes << " decodings";
}

TEST(SplitString, EntriesIncludingEmptyOnes) {
    using List = std::vector<std::string>;
    EXPECT_EQ(splitString("a,b,", ","), (List{"a", "b", ""}));
    EXPECT_EQ(splitString("a,,b", ","), (List{"a", "", "b"}));
    EXPECT_EQ(splitString(",a", ","), (List{"", "a"}));
    EXPECT_EQ(splitString("abc", ","), (List{"abc"}));
    EXPECT_EQ(splitString("a::b", "::"), (List{"a", "b"}));
    EXPECT_TRUE(splitString("", ",").empty());
    EXPECT_TRUE(splitString("abc", "").empty());
}

TEST(GetJsonValue, FlatLookup) {
    struct Case {
        std::string json, key;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {R"({"From":"x"})", "from", "x"},     {R"({"From":"x","To":"y"})", "TO", "y"},
        {R"({"a":1,"b":true})", "b", "true"}, {R"({"m":"say \"hi\""})", "m", R"(say "hi")"},
        {R"({"a":"1"})", "b", std::nullopt},  {"not json at all {", "a", std::nullopt},
        {R"({"a":)", "a", std::nullopt},      {"", "a", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(getJsonValue(c.json, c.key), c.value);
    }
    EXPECT_EQ(getJsonValue(std::nullopt, "a"), std::nullopt);
}

TEST(GetJsonValue, MoreThanSixtyFourTokensIsRefused) {
    std::string json = "{";
    for (int i = 0; i < 40; ++i) {
        json += (i ? "," : "") + ("\"k" + std::to_string(i) + "\":\"v\"");
    }
    json += "}";
    EXPECT_EQ(getJsonValue(json, "k0"), std::nullopt);
}

TEST(Base64, EncodeKnownAnswersAndRoundTrip) {
    const std::pair<std::string, std::string> known[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"0", "MA=="},
    };
    for (const auto& [plain, coded] : known) {
        EXPECT_EQ(base64Encode(plain), coded);
        EXPECT_EQ(base64Decode(coded), plain);
    }
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64, DecodeStopsAtFirstCharacterOutsideAlphabet) {
    EXPECT_EQ(base64Decode("Zm9v=Zm9v"), "foo");
    EXPECT_EQ(base64Decode("Zm9v Zm9v"), "foo");
    EXPECT_EQ(base64Decode("Zm9v%2BZm9v"), "foo");
    EXPECT_EQ(base64Decode("=Zm9v"), "");
}

TEST(Base64, EscapedFormDecodesPercentSequences) {
    // "{\"a\":\">>>?\"}" holds "+" and "/" in its Base64 form.
    const std::string plain = "{\"a\":\">>>???\"}";
    const std::string coded = base64Encode(plain);
    ASSERT_NE(coded.find_first_of("+/="), std::string::npos);
    std::string escaped = replaceString(coded, "+", "%2B");
    escaped = replaceString(escaped, "/", "%2F");
    escaped = replaceString(escaped, "=", "%3D");
    EXPECT_EQ(decodeEscapedBase64(escaped), plain);
    EXPECT_EQ(decodeEscapedBase64(coded), plain);
}

TEST(Base64, EscapedFormStopsWhereAPlainDecodeWould) {
    const std::pair<std::string, std::string> cases[] = {
        {"%2BAAA", std::string("\xF8\0\0", 3)},
        {"Zm8%3DZm9v", "fo"},     // an escaped "=" ends the text as "=" does
        {"Zm9v%2bZm9v", "foo"},   // escapes are upper case only
        {"Zm9v%41Zm9v", "foo"},   // no other escape
        {"Zm9v%2", "foo"},        // a cut escape
        {"Zm9v%252BZm9v", "foo"}, // "%25" is no escape, so neither is what follows
    };
    for (const auto& [text, plain] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodeEscapedBase64(text), plain);
    }
}

TEST(GenerateSessionId, ShapeAndVariety) {
    const std::regex shape("^[0-9A-Z]{8}_SID$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto id = generateSessionId();
        EXPECT_TRUE(std::regex_match(id, shape)) << id;
        seen.insert(id);
    }
    EXPECT_GT(seen.size(), 195u);
}

TEST(Texts, ReplaceStartsWithSubStringAlign) {
    EXPECT_EQ(replaceString("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replaceString("a.exe.exe", ".exe", ""), "a");
    EXPECT_EQ(replaceString("abc", "", "x"), "abc");
    EXPECT_EQ(removeExeExtension("VondelCorvantix.exe"), "VondelCorvantix");
    EXPECT_EQ(removeExeExtension("X.EXE"), "X.EXE");

    EXPECT_TRUE(startsWith(std::nullopt, "abc"));
    EXPECT_FALSE(startsWith("a", std::nullopt));
    EXPECT_FALSE(startsWith("abcd", "abc"));
    EXPECT_TRUE(startsWith("localhost:", "localhost:56417"));
    EXPECT_FALSE(startsWith("localhost:", "LOCALHOST:56417"));

    EXPECT_EQ(subString("abcdef", 1, 4), "bcd");
    EXPECT_EQ(subString("abc", 2, 10), "c");
    EXPECT_EQ(subString("abc", 5, 6), "");
    EXPECT_EQ(toLowerString("AbC-Ä"), "abc-Ä");

    EXPECT_EQ(rightAlignText("12345678"), std::string(8, ' ') + "12345678");
    EXPECT_EQ(rightAlignText("")->size(), 16u);
    EXPECT_EQ(rightAlignText(std::string(17, '1')), std::nullopt);
    EXPECT_EQ(rightAlignText(std::nullopt), std::nullopt);
}

TEST(Texts, HexToBytes) {
    EXPECT_EQ(hexToBytes("00FFa1"), std::string("\x00\xFF\xA1", 3));
    EXPECT_EQ(hexToBytes("ABC"), "\xAB");
    EXPECT_EQ(hexToBytes("zz41"), std::string("\x00\x41", 2));
}

} // namespace
