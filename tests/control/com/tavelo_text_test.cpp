// The control's text conversions: BSTR arguments into code page 950 (Big5),
// refusing what the code page lacks instead of writing "?", and results
// back, where bytes Big5 cannot map become U+FFFD.

#include "control/TaveloText.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

namespace {

using tavelo::BstrToMultiByte;

BstrString wideText(std::u16string_view text) {
    return BstrString::copyOf(text);
}

struct Big5Row {
    const char* name;
    std::u16string wide;
    std::string big5;
};

const Big5Row kBig5[] = {
    {"ASCII", u"Virtual PCD 00 00", "Virtual PCD 00 00"},
    {"two characters", u"\u4e2d\u6587", "\xa4\xa4\xa4\xe5"},
    {"mixed", u"\u8b80\u5361\u6a5f 1", "\xc5\xaa\xa5\x64\xbe\xf7 1"},
    {"test", u"\u6e2c\u8a66", "\xb4\xfa\xb8\xd5"},
    {"empty", u"", ""},
};

TEST(TaveloText, Big5TextsBothWays) {
    unsetenv("CORVANTIX_ANSI_CODE_PAGE"); // code page 0 is then 950
    for (const auto& row : kBig5) {
        const BstrString wide = wideText(row.wide);
        std::size_t length = 99;
        int code = -1;
        const auto text = BstrToMultiByte(950, wide.get(), -1, length, code);
        ASSERT_TRUE(text) << row.name;
        EXPECT_EQ(code, 0) << row.name;
        EXPECT_EQ(length, row.big5.size()) << row.name;
        // The text, its terminator and one more zero byte.
        EXPECT_EQ(text->substr(0, length), row.big5) << row.name;
        ASSERT_EQ(text->size(), length + 1) << row.name;
        EXPECT_EQ(text->c_str()[length], '\0');
        EXPECT_EQ(text->c_str()[length + 1], '\0');

        for (const std::uint32_t codePage : {950u, 0u}) {
            std::int32_t errorCode = 77;
            const BstrString back = BstrString::attach(
                tavelo::MultiByteToBstr(codePage, row.big5.data(), row.big5.size(), errorCode));
            ASSERT_NE(back.get(), nullptr) << row.name;
            EXPECT_EQ(back.view(), row.wide) << row.name;
            EXPECT_EQ(errorCode, 77) << "success leaves the code";
        }
    }
}

TEST(TaveloText, WhatCodePage950LacksIsRefused) {
    const struct {
        const char* name;
        std::u16string wide;
    } rows[] = {
        {"Hangul", u"\ud55c\uae00"},
        {"an emoji after Big5 text", u"\u4e2d\U0001F600"},
        {"Cyrillic with ASCII", u"PCD \u0416"},
    };
    for (const auto& row : rows) {
        const BstrString wide = wideText(row.wide);
        std::size_t length = 99;
        int code = 0;
        EXPECT_FALSE(BstrToMultiByte(950, wide.get(), -1, length, code)) << row.name;
        EXPECT_EQ(code, 5901) << row.name;
        EXPECT_EQ(length, 0u);
    }
}

// Results are card data: what Big5 cannot map is replaced, never refused.
TEST(TaveloText, BytesThatAreNoBig5TextBecomeTheReplacement) {
    const struct {
        const char* name;
        std::string bytes;
        std::u16string wide;
    } rows[] = {
        {"a lead byte at the end", "\xa4", u"\ufffd"},
        {"a binary tail", std::string("AB\x00\xff\x80\xa4\x40\x7f\x01\x02", 10),
         std::u16string(u"AB\0\ufffd\u0080\u4e00\x7f\x01\x02", 9)},
        {"a lead byte with no trail", "\xff\xfe", u"\ufffd\ufffd"},
    };
    for (const auto& row : rows) {
        std::int32_t errorCode = 77;
        const BstrString text = BstrString::attach(
            tavelo::MultiByteToBstr(950, row.bytes.data(), row.bytes.size(), errorCode));
        ASSERT_NE(text.get(), nullptr) << row.name;
        EXPECT_EQ(text.view(), row.wide) << row.name;
        EXPECT_EQ(errorCode, 77) << row.name;
    }
}

TEST(TaveloText, NullAndLengths) {
    std::size_t length = 5;
    int code = -1;
    EXPECT_FALSE(BstrToMultiByte(950, nullptr, -1, length, code));
    EXPECT_EQ(code, 0) << "a null BSTR is no failure";

    const BstrString withNul = wideText(std::u16string(u"ab\0cd", 5));
    auto text = BstrToMultiByte(950, withNul.get(), -1, length, code);
    ASSERT_TRUE(text);
    EXPECT_EQ(length, 2u) << "-1 reads up to the first NUL";
    text = BstrToMultiByte(950, withNul.get(), 1, length, code);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, std::string("a\0", 2));

    std::int32_t errorCode = 3;
    EXPECT_EQ(tavelo::MultiByteToBstr(950, nullptr, 0, errorCode), nullptr);
    EXPECT_EQ(errorCode, 3);
    const BstrString empty = BstrString::attach(tavelo::MultiByteToBstr(950, "", 0, errorCode));
    EXPECT_NE(empty.get(), nullptr) << "an empty text is an empty BSTR";
    EXPECT_EQ(errorCode, 3);
    EXPECT_EQ(tavelo::MultiByteToBstr(12345, "x", 1, errorCode), nullptr);
    EXPECT_EQ(errorCode, 5901) << "an unknown code page";

    std::size_t wideLength = 9;
    EXPECT_FALSE(tavelo::MultiByteToWideAlloc(950, "", 0, wideLength));
    EXPECT_EQ(wideLength, 0u);
    const auto wide = tavelo::MultiByteToWideAlloc(950, "\xa4\xa4X", 3, wideLength);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, u"\u4e2dX");
    EXPECT_EQ(wideLength, 2u);
}

TEST(TaveloText, FileVersionFitsOrFails) {
    std::array<char, 128> buffer{};
    ASSERT_EQ(tavelo::GetFileVersionText(buffer), 0);
    EXPECT_STREQ(buffer.data(), TAVELO_FILE_VERSION);
    const std::size_t needed = std::string_view(TAVELO_FILE_VERSION).size() + 1;
    std::array<char, 128> small{};
    EXPECT_EQ(tavelo::GetFileVersionText(std::span<char>(small.data(), needed - 1)), -1);
    EXPECT_EQ(tavelo::GetFileVersionText(std::span<char>(small.data(), needed)), 0);
}

} // namespace
