#include "platform/text/TextCodec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::utf16ToUtf8;
using platform::utf8ToUtf16;

TEST(TextCodec, Utf8Utf16RoundTrip) {
    const std::string samples[] = {"plain", "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x92\xB3 card",
                                   std::string("a\0b", 3)};
    for (const auto& s : samples) {
        EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(s)), s);
    }
    EXPECT_EQ(utf8ToUtf16("\xE4\xB8\xAD"), u"\u4E2D");
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x92\xB3").size(), 2u);
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong form refused
}

} // namespace
