// The helpers of the monitor and the worker: bounded copies, the switchable
// conversion code page, the component file test and walk, the time texts,
// file and folder helpers, the wide log writer and the release of a named
// mutex.

#include "common/Message.h"
#include "common/QxLog.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "common/ToolText.h"
#include "common/Util.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTool.h"
#include "platform/text/TextCodec.h"
#include "tests/message/MessageTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using message_test::contains;

// "中文" in code page 950 and in UTF-8.
constexpr std::string_view kBig5 = "\xA4\xA4\xA4\xE5";
constexpr std::string_view kUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";

// ---- Bounded copies --------------------------------------------------------

struct CopyRow {
    const char* name;
    std::optional<std::string> source;
    std::size_t size;
    std::string expected;
};

void PrintTo(const CopyRow& row, std::ostream* out) {
    *out << row.name;
}

class CopyString : public ::testing::TestWithParam<CopyRow> {};

TEST_P(CopyString, KeepsWithinTheBufferAndTerminates) {
    const auto& row = GetParam();
    std::vector<char> buffer(row.size + 1, 'X'); // one guard place behind
    copyString(std::span<char>(buffer.data(), row.size), row.source);
    EXPECT_EQ(buffer.back(), 'X') << "written past the buffer";
    if (!row.source) {
        EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), std::string(row.size, 'X'));
        return;
    }
    EXPECT_EQ(buffer[row.size - 1], '\0');
    EXPECT_EQ(std::string(buffer.data()), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CopyString,
    ::testing::Values(
        CopyRow{"Short", "abc", 512, "abc"},
        CopyRow{"LongerThanTheBuffer", std::string(600, 'a'), 512, std::string(511, 'a')},
        CopyRow{"FillsAllButTheLastPlace", std::string(511, 'b'), 512, std::string(511, 'b')},
        CopyRow{"OneTooMany", std::string(512, 'c'), 512, std::string(511, 'c')},
        CopyRow{"OnePlace", "abc", 1, ""},
        CopyRow{"EndsAtItsZero", std::string("ab\0cd", 5), 16, "ab"},
        CopyRow{"NoSource", std::nullopt, 8, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Util, AppendsIntoTheRoomLeft) {
    TextBuffer buffer{};
    copyString(buffer, "abc");
    appendString(buffer, "def");
    EXPECT_EQ(bufferText(buffer), "abcdef");

    copyString(buffer, std::string(500, 'a'));
    appendString(buffer, std::string(20, 'b'));
    EXPECT_EQ(bufferText(buffer), std::string(500, 'a') + std::string(11, 'b'));
    appendString(buffer, "more"); // already full
    EXPECT_EQ(bufferText(buffer).size(), 511u);
    EXPECT_EQ(buffer.back(), '\0');
}

TEST(Util, WideCopiesKeepTheSameBounds) {
    WideTextBuffer buffer{};
    copyWString(buffer, std::u16string(600, u'中'));
    EXPECT_EQ(bufferText(buffer), std::u16string(511, u'中'));
    copyWString(buffer, u"ab");
    appendWString(buffer, u"文");
    EXPECT_EQ(bufferText(buffer), u"ab文");
    appendWString(buffer, std::nullopt);
    EXPECT_EQ(bufferText(buffer), u"ab文");
}

TEST(Util, CopiesThatTakeTheSourceFreeIt) {
    TextBuffer text{};
    std::optional<std::string> secret = std::string(600, 's');
    copyStringAndWipe(text, secret);
    EXPECT_FALSE(secret);
    EXPECT_EQ(bufferText(text), std::string(511, 's'));
    std::optional<std::string> none;
    copyStringAndWipe(text, none);
    EXPECT_EQ(bufferText(text), std::string(511, 's'));

    WideTextBuffer wide{};
    std::optional<std::u16string> name = u"元件";
    copyWStringAndFree(wide, name);
    EXPECT_FALSE(name);
    EXPECT_EQ(bufferText(wide), u"元件");
}

// ---- Conversions -----------------------------------------------------------

class Conversions : public ::testing::Test {
protected:
    void TearDown() override { setConversionCodePage(65001); }
};

TEST_F(Conversions, MultiByteToTextByCodePage) {
    EXPECT_EQ(multiByteToText(950, kBig5), u"中文");
    EXPECT_EQ(multiByteToText(65001, kUtf8), u"中文");
    EXPECT_EQ(multiByteToText(65001, ""), u"");
    EXPECT_FALSE(multiByteToText(65001, std::nullopt));
    EXPECT_FALSE(multiByteToText(4242, "abc")) << "an unknown code page converted";
}

TEST_F(Conversions, TextObjectsFollowTheSwitchableCodePage) {
    EXPECT_EQ(conversionCodePage(), 65001u);
    EXPECT_EQ(toTextObject(kUtf8), u"中文");
    setConversionCodePage(950);
    EXPECT_EQ(toTextObject(kBig5), u"中文");
    EXPECT_NE(toTextObject(kUtf8), u"中文");
    setConversionCodePage(65001);
    EXPECT_EQ(toTextObject(kUtf8), u"中文");
    EXPECT_EQ(toTextObject(std::nullopt), u"");
}

TEST_F(Conversions, WideReplaceLosesNothingInUtf8) {
    EXPECT_EQ(replaceWString(u"已成功輸出 ==FileName== 至桌面 ==FileName==", u"==FileName==",
                             u"VondelCorvantix 螢幕截圖 2024-02-03 09-05-07.png"),
              u"已成功輸出 VondelCorvantix 螢幕截圖 2024-02-03 09-05-07.png 至桌面 "
              u"VondelCorvantix 螢幕截圖 2024-02-03 09-05-07.png");
    EXPECT_EQ(replaceWString(u"no pattern here", u"=X=", u"y"), u"no pattern here");
    setConversionCodePage(950);
    EXPECT_EQ(replaceWString(u"版本：=V=", u"=V=", u"1.0"), u"版本：1.0");
}

// ---- Component files, time texts --------------------------------------------

struct NameRow {
    std::optional<std::string_view> path;
    bool expected;
};

TEST(MonitorTool, DisplayNameFilesByTheirExactEnding) {
    const NameRow rows[] = {
        {"C:\\ProgramData\\VondelCorvantix\\Bank\\DisplayName.txt", true},
        {"/data/Bank/DisplayName.txt", true},
        {"DisplayName.txt", true},
        {"/data/Bank/displayname.txt", false},
        {"/data/Bank/DisplayName.TXT", false},
        {"/data/Bank/DisplayName.txt.bak", false},
        {"ayName.txt", false},
        {std::nullopt, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isDisplayNameFile(row.path), row.expected) << row.path.value_or("(none)");
    }
}

TEST(MonitorTool, TimeTextPadsEveryFieldToTwoDigits) {
    std::tm local{};
    local.tm_year = 124;
    local.tm_mon = 1;
    local.tm_mday = 3;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 7;
    EXPECT_EQ(getTimeText(local), "2024-02-03 09-05-07");
    local.tm_mon = 11;
    local.tm_mday = 31;
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 59;
    EXPECT_EQ(getTimeText(local), "2024-12-31 23-59-59");
    EXPECT_TRUE(std::regex_match(getTimeText(), std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)")));
}

TEST(MonitorTool, TimeValueTextIsTheMessagesTimeValue) {
    const std::int64_t before = computeTimeValue();
    const std::string text = getTimeValue();
    const std::int64_t after = computeTimeValue();
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-9a-f]+"))) << text;
    const std::int64_t value = std::stoll(text, nullptr, 16);
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
}

// ---- The installed-component walk ---------------------------------------------

struct WalkRow {
    const char* name;
    std::function<void(const testing_support::Sandbox& box)> plant; // below "data"
    std::string listed; // "@" stands for the Version text
};

void PrintTo(const WalkRow& row, std::ostream* out) {
    *out << row.name;
}

class ComponentWalk : public ::testing::TestWithParam<WalkRow> {};

// Links are passed by: a loop of them cannot hold the About box, and what
// they point at is not listed.
TEST_P(ComponentWalk, FollowsNoLink) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto& row = GetParam();
    EXPECT_EXIT(
        {
            testing_support::Sandbox box;
            fs::create_directories(box.root() / "data");
            row.plant(box);
            // An endless walk ends here, with the signal.
            alarm(10);
            const std::string listed =
                platform::utf16ToUtf8(listInstalledComponents(box.root() / "data"));
            const std::string expected =
                replaceString(row.listed, "@", platform::utf16ToUtf8(text(Text::Version)));
            std::fprintf(stderr, "listed: \"%s\"\n", listed.c_str());
            std::_Exit(listed == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ComponentWalk,
    ::testing::Values(WalkRow{"LoopOfLinks",
                              [](const testing_support::Sandbox& box) {
                                  const fs::path data = box.root() / "data";
                                  fs::create_directories(data / "a");
                                  fs::create_directory_symlink(data, data / "a" / "up");
                                  fs::create_directory_symlink(data / "a", data / "a" / "self");
                              },
                              ""},
                      WalkRow{"ComponentBehindALinkedFolder",
                              [](const testing_support::Sandbox& box) {
                                  box.write("outside/C/DisplayName.txt", "C");
                                  box.write("outside/C/Version.txt", "1");
                                  fs::create_directory_symlink(box.root() / "outside/C",
                                                               box.root() / "data/C");
                              },
                              ""},
                      WalkRow{"LinkedDisplayNameFile",
                              [](const testing_support::Sandbox& box) {
                                  box.write("outside/DisplayName.txt", "C");
                                  fs::create_directories(box.root() / "data/C");
                                  fs::create_symlink(box.root() / "outside/DisplayName.txt",
                                                     box.root() / "data/C/DisplayName.txt");
                              },
                              ""},
                      WalkRow{"ComponentBesideALoop",
                              [](const testing_support::Sandbox& box) {
                                  const fs::path data = box.root() / "data";
                                  fs::create_directories(data / "a");
                                  fs::create_directory_symlink(data, data / "a" / "up");
                                  fs::create_directory_symlink(data / "a", data / "a" / "self");
                                  box.write("data/b/DisplayName.txt", "B");
                                  box.write("data/b/Version.txt", "2.0");
                              },
                              "B @2.0 \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Files, folders, log, mutex ----------------------------------------------

class MonitorFiles : public ::testing::Test {
protected:
    testing_support::Sandbox box;
};

TEST_F(MonitorFiles, WriteTextFileReplacesTheWholeFile) {
    const auto path = box.root() / "config";
    EXPECT_TRUE(writeTextFile(path, "isScreenShot=false\nsilentmode=true\n"));
    EXPECT_TRUE(writeTextFile(path, "a\n"));
    EXPECT_EQ(testing_support::Sandbox::read(path), "a\n");
}

TEST_F(MonitorFiles, WriteTextFileRefusesWhatItCannotWrite) {
    const auto before = std::distance(fs::directory_iterator(box.root()), {});
    EXPECT_FALSE(writeTextFile(fs::path(), "text"));
    EXPECT_FALSE(writeTextFile(std::nullopt, "text"));
    EXPECT_FALSE(writeTextFile(box.root() / "none", std::nullopt));
    EXPECT_FALSE(writeTextFile(box.root() / "missing" / "file", "text"));
    EXPECT_EQ(std::distance(fs::directory_iterator(box.root()), {}), before);
}

TEST_F(MonitorFiles, MakeFolderChainMakesEveryFolderAlongThePath) {
    const std::string root = box.root().string();
    makeFolderChain(root + "/Temp/a/b/");
    EXPECT_TRUE(fs::is_directory(root + "/Temp/a/b"));
    makeFolderChain(root + "/x/y/last");
    EXPECT_TRUE(fs::is_directory(root + "/x/y"));
    EXPECT_FALSE(fs::exists(root + "/x/y/last")) << "the last part has no separator after it";
    makeFolderChain(root + "\\w\\v\\");
    EXPECT_TRUE(fs::is_directory(root + "/w/v"));
    makeFolderChain(root + "/Temp/a/b/"); // all there already
    EXPECT_TRUE(fs::is_directory(root + "/Temp/a/b"));
}

TEST(MonitorLog, WideTextIsWrittenWhateverTheWritersSwitch) {
    message_test::LoggedSandbox logged;
    // The log library on, the writers off.
    ASSERT_EQ(
        logConfigure("VondelCorvantix", logged.box.root() / "Windows" / "VondelCorvantix.ini"), 0);
    ASSERT_FALSE(logWritersOn());
    logNormal("Writers: ", "off");
    logTextW("Component: ", u"中文");
    logTextW("Nothing: ", std::nullopt);
    setConversionCodePage(950);
    logTextW("Big5: ", u"中文");
    setConversionCodePage(65001);
    const auto lines = logged.allLines();
    EXPECT_FALSE(contains(lines, "Writers: off"));
    EXPECT_TRUE(message_test::hasLineEnding(lines, "Component: " + std::string(kUtf8)));
    EXPECT_TRUE(message_test::hasLineEnding(lines, "Nothing: "));
    EXPECT_TRUE(message_test::hasLineEnding(lines, "Big5: " + std::string(kBig5)));
}

TEST_F(MonitorFiles, ReleasedMutexCanBeTakenAgain) {
    releaseMutexLock(nullptr);
    auto held = getMutexLock("VondelCorvantixWatchdog", 0);
    ASSERT_TRUE(held);
    EXPECT_FALSE(getMutexLock("VondelCorvantixWatchdog", 0));
    releaseMutexLock(std::move(held));
    EXPECT_TRUE(getMutexLock("VondelCorvantixWatchdog", 0));
}

} // namespace
