#include "common/QxIni.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

struct IniCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    int result;
    const char* value;
};

void PrintTo(const IniCase& c, std::ostream* os) {
    *os << c.name;
}

class IniReader : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniReader, FindsKeysAsWritten) {
    const auto& c = GetParam();
    testing_support::Sandbox box;
    const auto path = box.write("a.ini", c.file);
    std::string out = "untouched";
    EXPECT_EQ(iniGetString(c.section, c.key, out, 128, path), c.result);
    EXPECT_EQ(out, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReader,
    ::testing::Values(
        IniCase{"plain", "[S]\nLog Level=5\n", "S", "Log Level", kIniFound, "5"},
        IniCase{"keyAnyCase", "[S]\nLOG LEVEL=5\n", "S", "log level", kIniFound, "5"},
        IniCase{"sectionAnyCase", "[vondelcorvantix]\nk=v\n", "VondelCorvantix", "k", kIniFound,
                "v"},
        IniCase{"indentedKey", "[S]\n   \tk=v\n", "S", "k", kIniFound, "v"},
        IniCase{"blankBeforeEquals", "[S]\nk =v\n", "S", "k", kIniNoKey, ""},
        IniCase{"comment", "[S]\n ;k=v\n", "S", "k", kIniNoKey, ""},
        IniCase{"blanksInsideBrackets", "  [  S  ]  \nk=v\n", "S", "k", kIniFound, "v"},
        IniCase{"emptyValue", "[S]\nk=\n", "S", "k", kIniFound, ""},
        IniCase{"doubleQuoted", "[S]\nk=\"C:\\a b.log\"  \n", "S", "k", kIniFound, "C:\\a b.log"},
        IniCase{"singleQuotedWithLead", "[S]\nk=  'x'y'\n", "S", "k", kIniFound, "x'y"},
        IniCase{"loneQuoteStays", "[S]\nk=\"abc\n", "S", "k", kIniFound, "\"abc"},
        IniCase{"unquotedKeepsBlanks", "[S]\nk= a b \r\n", "S", "k", kIniFound, " a b "},
        IniCase{"crlfEnding", "[S]\r\nk=v\r\n", "S", "k", kIniFound, "v"},
        IniCase{"noSection", "[T]\nk=v\n", "S", "k", kIniNoSection, "untouched"},
        IniCase{"stopsAtNextSection", "[S]\n[T]\nk=v\n", "S", "k", kIniNoKey, ""},
        IniCase{"onlyFirstSectionSearched", "[S]\na=1\n[S]\nk=v\n", "S", "k", kIniNoKey, ""},
        IniCase{"firstMatchWins", "[S]\nk=1\nk=2\n", "S", "k", kIniFound, "1"},
        IniCase{"keyPrefixDoesNotMatch", "[S]\nkey=1\n", "S", "ke", kIniNoKey, ""},
        IniCase{"lastLineWithoutLineFeed", "[S]\nk=v", "S", "k", kIniFound, "v"},
        IniCase{"emptyFile", "", "S", "k", kIniNoSection, "untouched"},
        IniCase{"emptyBracketsAreNoNamedSection", "[]\nk=v\n", "S", "k", kIniNoSection,
                "untouched"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniReaderLimits, MissingFileAndCutValue) {
    testing_support::Sandbox box;
    std::string out = "untouched";
    EXPECT_EQ(iniGetString("S", "k", out, 128, box.root() / "none.ini"), kIniNoFile);
    EXPECT_EQ(out, "untouched");

    const auto path = box.write("a.ini", "[S]\nk=" + std::string(300, 'x') + "\nshort=abc\n");
    EXPECT_EQ(iniGetString("S", "k", out, 128, path), kIniCut);
    EXPECT_EQ(out, std::string(127, 'x'));
    EXPECT_EQ(iniGetString("S", "short", out, 4, path), kIniFound);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(iniGetString("S", "short", out, 3, path), kIniCut);
    EXPECT_EQ(out, "ab");

    // Keys far into a file are read as near ones are.
    const auto large = box.write("large.ini", ";" + std::string(10000, 'c') + "\n[S]\n" +
                                                  std::string(9000, ';') + "\nk=far\n");
    EXPECT_EQ(iniGetString("S", "k", out, 128, large), kIniFound);
    EXPECT_EQ(out, "far");
    // A folder of that name is no file to read.
    std::filesystem::create_directories(box.root() / "folder.ini");
    out = "untouched";
    EXPECT_NE(iniGetString("S", "k", out, 128, box.root() / "folder.ini"), kIniFound);
}

} // namespace
