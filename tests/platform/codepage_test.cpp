// Code page 950 and UTF-16 both ways, the ANSI code page as 950, UTF-8, and
// what a character one side lacks does under each rule.

#include "platform/codepage/CodePage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::codePageToUtf16;
using platform::kCodePageAnsi;
using platform::kCodePageBig5;
using platform::kCodePageUtf8;
using platform::Unmappable;
using platform::utf16ToCodePage;

struct Row {
    const char* what;
    std::u16string wide;
    std::string bytes;
};

TEST(CodePage950, ConvertsBothWays) {
    const std::vector<Row> rows = {
        {"empty", u"", ""},
        {"ASCII", u"Virtual PCD 00 00", "Virtual PCD 00 00"},
        {"two Big5 characters", u"\u4E2D\u6587", "\xA4\xA4\xA4\xE5"},
        {"a trail byte in the ASCII range", u"A\u4E00B",
         "A\xA4\x40"
         "B"},
        {"the euro sign of the Windows extension", u"\u20AC", "\xA3\xE1"},
        {"an ideograph of the extension", u"\u7881", "\xF9\xD6"},
        {"a full-width solidus", u"\uFF0F", "\xA1\xFE"},
    };
    for (const auto& row : rows) {
        for (const auto page : {kCodePageBig5, kCodePageAnsi}) {
            EXPECT_EQ(utf16ToCodePage(page, row.wide), row.bytes) << row.what << " " << page;
            EXPECT_EQ(codePageToUtf16(page, row.bytes), row.wide) << row.what << " " << page;
        }
    }
}

TEST(CodePage950, AnUnmappableCharacterFailsOrBecomesAQuestionMark) {
    const std::vector<Row> rows = {
        {"a Latin letter Big5 lacks", u"caf\u00E9", "caf?"},
        {"a character beyond the BMP is one character", u"a\U0001F600b", "a?b"},
        {"a lone high surrogate", std::u16string(u"a") + char16_t(0xD800) + u"b", "a?b"},
        {"a lone low surrogate at the end", std::u16string(u"a") + char16_t(0xDC00), "a?"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(utf16ToCodePage(kCodePageBig5, row.wide), std::nullopt) << row.what;
        EXPECT_EQ(utf16ToCodePage(kCodePageBig5, row.wide, Unmappable::Replace), row.bytes)
            << row.what;
    }
}

TEST(CodePage950, MalformedBig5FailsOrBecomesTheReplacementCharacter) {
    const std::vector<Row> rows = {
        {"a lead byte with a trail byte out of range", u"\uFFFD A",
         "\xA4\x20"
         "A"},
        {"a byte that starts nothing", u"x\uFFFDy", "x\xFFy"},
        {"a lead byte cut off at the end", u"\u4E2D\uFFFD", "\xA4\xA4\xA4"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(codePageToUtf16(kCodePageBig5, row.bytes), std::nullopt) << row.what;
        EXPECT_EQ(codePageToUtf16(kCodePageBig5, row.bytes, Unmappable::Replace), row.wide)
            << row.what;
    }
}

TEST(CodePage950, LongTextGrowsTheOutput) {
    std::u16string wide;
    std::string bytes;
    for (int i = 0; i < 5000; ++i) {
        wide += u"\u4E2Da";
        bytes += "\xA4\xA4"
                 "a";
    }
    EXPECT_EQ(utf16ToCodePage(kCodePageBig5, wide), bytes);
    EXPECT_EQ(codePageToUtf16(kCodePageBig5, bytes), wide);
}

TEST(CodePageOthers, Utf8AndUnknownPages) {
    const std::u16string wide = u"\u4E2D\U0001F600";
    EXPECT_EQ(utf16ToCodePage(kCodePageUtf8, wide), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(codePageToUtf16(kCodePageUtf8, "\xE4\xB8\xAD\xF0\x9F\x98\x80"), wide);
    EXPECT_EQ(utf16ToCodePage(1252, u"abc"), std::nullopt);
    EXPECT_EQ(codePageToUtf16(936, "abc"), std::nullopt);
}

} // namespace
