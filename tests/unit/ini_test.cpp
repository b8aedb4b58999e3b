#include "common/QxIni.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

struct TrustCase {
    const char* name;
    mode_t mode;
    uid_t owner; // kOwnUid: the user's own
    bool read;
};

constexpr uid_t kOwnUid = static_cast<uid_t>(-1);

void PrintTo(const TrustCase& c, std::ostream* os) {
    *os << c.name;
}

class IniTrust : public ::testing::TestWithParam<TrustCase> {};

// An INI file configures the user's programs only when nobody but the user
// or root could have put it there or changed it.
TEST_P(IniTrust, OnlyAFileOfTheUsersOrRootsThatNobodyElseMayWriteIsRead) {
    const auto& c = GetParam();
    const uid_t owner = c.owner == kOwnUid ? geteuid() : c.owner;
    if (owner != geteuid() && geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file to another account";
    }
    testing_support::Sandbox box;
    const auto path = box.write("a.ini", "[S]\nk=v\n");
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
    std::string out = "untouched";
    EXPECT_EQ(iniGetString("S", "k", out, 128, path), c.read ? kIniFound : kIniNoFile);
    EXPECT_EQ(out, c.read ? "v" : "untouched");
    EXPECT_EQ(iniTrusted(path), c.read);
}

INSTANTIATE_TEST_SUITE_P(Cases, IniTrust,
                         ::testing::Values(TrustCase{"Own", 0644, kOwnUid, true},
                                           TrustCase{"OwnReadOnly", 0400, kOwnUid, true},
                                           TrustCase{"Roots", 0644, 0, true},
                                           TrustCase{"OwnGroupWritable", 0664, kOwnUid, false},
                                           TrustCase{"OwnWorldWritable", 0646, kOwnUid, false},
                                           TrustCase{"AnotherAccounts", 0644,
                                                     testing_support::kStrangerUid, false},
                                           TrustCase{"RootsWorldWritable", 0666, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniTrustKinds, APipeIsRefusedWithoutWaitingAndALinkToATrustedFileIsRead) {
    testing_support::Sandbox box;
    const auto pipe = box.root() / "pipe.ini";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::string out;
    EXPECT_EQ(iniGetString("S", "k", out, 128, pipe), kIniNoFile);

    const auto real = box.write("real.ini", "[S]\nk=v\n");
    const auto link = box.root() / "link.ini";
    std::filesystem::create_symlink(real, link);
    EXPECT_EQ(iniGetString("S", "k", out, 128, link), kIniFound);
    EXPECT_EQ(out, "v");
}

} // namespace
