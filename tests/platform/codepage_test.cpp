// Code page conversions over iconv: the pages the programs use, what becomes
// of text a page cannot carry, and the ANSI code page's setting.

#include "platform/codepage/CodePage.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using platform::codePageToUtf16;
using platform::InvalidInput;
using platform::utf16ToCodePage;

struct RoundTrip {
    const char* name;
    std::uint32_t codePage;
    std::string bytes;
    std::u16string text;
};

void PrintTo(const RoundTrip& row, std::ostream* out) {
    *out << row.name;
}

class CodePageRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(CodePageRoundTrip, ConvertsBothWays) {
    const auto& row = GetParam();
    EXPECT_EQ(codePageToUtf16(row.codePage, row.bytes, InvalidInput::Fail), row.text);
    EXPECT_EQ(utf16ToCodePage(row.codePage, row.text, InvalidInput::Fail), row.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CodePageRoundTrip,
    ::testing::Values(RoundTrip{"Big5", 950, "\xA4\xA4\xA4\xE5 ABC", u"中文 ABC"},
                      RoundTrip{"Big5Version", 950, "\xAA\xA9\xA5\xBB\xA1\x47", u"版本："},
                      RoundTrip{"Utf8", 65001, "\xE4\xB8\xAD\xF0\x9F\x98\x80", u"中\U0001F600"},
                      RoundTrip{"Western", 1252, "caf\xE9 \x80", u"café €"},
                      RoundTrip{"AnsiIsBig5ByDefault", 0, "\xA4\xA4", u"中"},
                      RoundTrip{"Empty", 950, "", u""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodePage, InvalidBytesBecomeTheReplacementCharacterOrFail) {
    EXPECT_EQ(codePageToUtf16(65001, "a\xFF"
                                     "b"),
              u"a\uFFFDb");
    EXPECT_FALSE(codePageToUtf16(65001,
                                 "a\xFF"
                                 "b",
                                 InvalidInput::Fail));
    // A Big5 lead byte with nothing after it.
    EXPECT_EQ(codePageToUtf16(950, "ab\xA4"), u"ab\uFFFD");
    EXPECT_FALSE(codePageToUtf16(950, "ab\xA4", InvalidInput::Fail));
}

TEST(CodePage, CharactersThePageLacksBecomeAQuestionMarkOrFail) {
    // A character beyond Big5, given as a surrogate pair: one mark for the pair.
    EXPECT_EQ(utf16ToCodePage(950, u"a\U0001F600b"), "a?b");
    EXPECT_FALSE(utf16ToCodePage(950, u"a\U0001F600b", InvalidInput::Fail));
    const std::u16string lone{u'x', char16_t(0xD800), u'y'};
    EXPECT_EQ(utf16ToCodePage(65001, lone), "x?y");
    EXPECT_EQ(utf16ToCodePage(1252, u"中"), "?");
}

TEST(CodePage, UnknownPagesFail) {
    EXPECT_TRUE(platform::isCodePageKnown(950));
    EXPECT_TRUE(platform::isCodePageKnown(0));
    EXPECT_FALSE(platform::isCodePageKnown(4242));
    EXPECT_FALSE(codePageToUtf16(4242, "abc"));
    EXPECT_FALSE(utf16ToCodePage(4242, u"abc"));
}

TEST(CodePage, LongTextsConvertWhole) {
    std::u16string text;
    std::string big5;
    for (int i = 0; i < 20000; ++i) {
        text += u"中文";
        big5 += "\xA4\xA4\xA4\xE5";
    }
    EXPECT_EQ(utf16ToCodePage(950, text), big5);
    EXPECT_EQ(codePageToUtf16(950, big5), text);
}

TEST(CodePage, AnsiCodePageFollowsItsSetting) {
    EXPECT_EQ(platform::ansiCodePage(), 950u);
    setenv("CORVANTIX_ANSI_CODE_PAGE", "1252", 1);
    EXPECT_EQ(platform::ansiCodePage(), 1252u);
    EXPECT_EQ(codePageToUtf16(0, "\xE9"), u"é");
    setenv("CORVANTIX_ANSI_CODE_PAGE", "nonsense", 1);
    EXPECT_EQ(platform::ansiCodePage(), 950u);
    unsetenv("CORVANTIX_ANSI_CODE_PAGE");
}

} // namespace
