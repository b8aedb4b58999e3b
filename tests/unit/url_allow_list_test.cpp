#include "common/Tool.h"
#include "common/UrlAllowList.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

bool allows(std::string_view list, std::string_view origin) {
    UrlAllowList allowList;
    allowList.setUnlockURL(list);
    allowList.checkUnlockURL(origin);
    return allowList.unlocked();
}

struct OriginCase {
    const char* list;
    const char* origin;
    bool allowed;
};

void expectCases(const std::vector<OriginCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("list \"") + c.list + "\", origin \"" + c.origin + "\"");
        EXPECT_EQ(allows(c.list, c.origin), c.allowed);
    }
}

TEST(UrlAllowList, LeadingDotAllowsEveryDepthBelowTheDomainButNotTheDomain) {
    expectCases({
        {".bank.test", "https://www.bank.test", true},
        {".bank.test", "https://a.b.c.bank.test", true},
        {".bank.test", "https://www.bank.test:8443", true},
        {".bank.test", "https://www.bank.test/", true},
        {".bank.test", "http://www.bank.test", true},
        {".bank.test", "https://bank.test", false},
        {".bank.test", "https://bank.test:443", false},
        {".bank.test", "https://evilbank.test", false},
        {".bank.test", "https://www.bank.test.evil.test", false},
        {".bank.test", "https://www.bank-test", false},
        {"*.bank.test", "https://x.bank.test", true},
        {"*.bank.test", "https://bank.test", false},
    });
}

TEST(UrlAllowList, PlainHostAllowsExactlyThatHostWithAnyPort) {
    expectCases({
        {"www.bank.test", "https://www.bank.test", true},
        {"www.bank.test", "https://www.bank.test/", true},
        {"www.bank.test", "https://www.bank.test:1", true},
        {"www.bank.test", "https://www.bank.test/:56417", true},
        {"www.bank.test", "http://www.bank.test:80", true},
        {"www.bank.test", "https://a.www.bank.test", false},
        {"www.bank.test", "https://www.bank.tes", false},
        {"www.bank.test", "https://www.bank.testx", false},
        {"www.bank.test/", "https://www.bank.test", true},
        {"www.bank.test/", "https://www.bank.test/", true},
        // A dot in an entry matches a dot and nothing else.
        {"www.bank.test", "https://wwwxbank.test", false},
        {"www.bank.test", "https://www-bank-test", false},
        {"127.0.0.1", "http://127.0.0.1:8080", true},
        {"127.0.0.1", "http://127x0x0x1", false},
        {"127.0.0.1", "http://127.0.0.2", false},
    });
}

TEST(UrlAllowList, HostLetterCaseDoesNotMatter) {
    expectCases({
        {"www.bank.test", "https://WWW.Bank.TEST", true},
        {"WWW.BANK.TEST", "https://www.bank.test:8443", true},
        {".Bank.Test", "https://Www.bAnK.tEsT", true},
    });
}

TEST(UrlAllowList, OnlyAnOriginPassesTheUrlExpression) {
    expectCases({
        {"www.bank.test", "https://www.bank.test/path", false},
        {"www.bank.test", "https://www.bank.test/?q=1", false},
        {"www.bank.test", "https://www.bank.test?q=1", false},
        {"www.bank.test", "https://www.bank.test:8443/x", false},
        {"www.bank.test", "https://www.bank.test#top", false},
        {"www.bank.test", "https://user@www.bank.test", false},
        {"www.bank.test", "ftp://www.bank.test", false},
        {"www.bank.test", "www.bank.test", false},
        {"www.bank.test", "https://www.bank.test ", false},
        {"www.bank.test", " https://www.bank.test", false},
        {"www.bank.test", "https://www.bank.test\n", false},
        {"www.bank.test", "https://-www.bank.test", false},
        {"www.bank.test", "", false},
        {"*", "https://a..b", false},
        {"*", "https://a_b", false},
    });
}

TEST(UrlAllowList, SchemeInCapitalsLeavesTheSchemeWordAsHost) {
    // The origin passes the expression, but only a lower-case scheme is cut
    // away: everything from the first ":" goes, and the scheme word remains.
    expectCases({
        {"www.bank.test", "HTTPS://www.bank.test", false},
        {"www.bank.test", "Https://www.bank.test", false},
        {".bank.test", "HTTP://www.bank.test:8080", false},
        {"https", "HTTPS://www.other.test", true},
        {"http", "HTTP://anything.test", true},
        {"https", "https://www.other.test", false},
    });
}

TEST(UrlAllowList, EmptyListsAllowNothing) {
    for (const char* list : {"", " ", ";", ";;;", " ; \t;\n ; ", "\r\n"}) {
        SCOPED_TRACE(std::string("list \"") + list + "\"");
        UrlAllowList allowList;
        allowList.setUnlockURL(list);
        EXPECT_TRUE(allowList.empty());
        allowList.checkUnlockURL("https://www.bank.test");
        EXPECT_FALSE(allowList.unlocked());
    }
}

TEST(UrlAllowList, EntriesAreTrimmedAndDotsAtEitherEndBecomeWildcards) {
    const char* list = "  one.test ;\t.two.test\n;;three.test.";
    expectCases({
        {list, "https://one.test", true},
        {list, "https://two.test", false},
        {list, "https://x.two.test:8443", true},
        {list, "https://three.test", false},
        {list, "https://three.test.x.y", true},
        {list, "https://four.test", false},
    });
    // A lone "*" allows every origin that passes the expression.
    expectCases({
        {"*", "https://anything.test:1", true},
        {"*", "http://10.0.0.1", true},
        {"*", "https://anything.test/path", false},
    });
}

TEST(UrlAllowList, UnlockIsOnlyClearedByRebuildingTheList) {
    UrlAllowList allowList;
    allowList.setUnlockURL(".bank.test");
    allowList.checkUnlockURL("https://other.test");
    EXPECT_FALSE(allowList.unlocked());
    allowList.checkUnlockURL("https://www.bank.test");
    EXPECT_TRUE(allowList.unlocked());

    // Later checks, failing or not even URLs, leave the unlock in place.
    allowList.checkUnlockURL("https://other.test");
    allowList.checkUnlockURL("not a url");
    EXPECT_TRUE(allowList.unlocked());
    allowList.clear();
    EXPECT_TRUE(allowList.unlocked());

    allowList.setUnlockURL(".bank.test");
    EXPECT_FALSE(allowList.unlocked());
    allowList.checkUnlockURL("https://other.test");
    EXPECT_FALSE(allowList.unlocked());

    // An emptied list unlocks nothing more.
    allowList.clear();
    allowList.checkUnlockURL("https://www.bank.test");
    EXPECT_FALSE(allowList.unlocked());
}

TEST(UrlAllowList, OverlongOriginIsRefusedWithoutReachingTheExpression) {
    // Long enough to overflow the stack of the recursive matcher.
    std::string host;
    while (host.size() < 40000) {
        host += "a.";
    }
    host += "bank.test";
    UrlAllowList allowList;
    allowList.setUnlockURL(".bank.test");
    allowList.checkUnlockURL("https://" + host);
    EXPECT_FALSE(allowList.unlocked());

    // The longest origin still taken, and one character more.
    std::string longest = "https://";
    for (int i = 0; i < 7; ++i) {
        longest += std::string(63, 'x') + ".";
    }
    const std::string longer = longest + std::string(47, 'y') + ".bank.test";
    longest += std::string(46, 'y') + ".bank.test";
    ASSERT_EQ(longest.size(), kUnlockUrlMaxLength);
    allowList.checkUnlockURL(longer);
    EXPECT_FALSE(allowList.unlocked());
    allowList.checkUnlockURL(longest);
    EXPECT_TRUE(allowList.unlocked());
}

TEST(Trim, WhiteSpaceAtOneEnd) {
    struct Case {
        const char* text;
        const char* left;
        const char* right;
    };
    const Case cases[] = {
        {"", "", ""},
        {" \t\n\v\f\r", "", ""},
        {" \ta b\n ", "a b\n ", " \ta b"},
        {"a b", "a b", "a b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trimLeft(c.text), c.left);
        EXPECT_EQ(trimRight(c.text), c.right);
    }
}

// Logging into a sandbox, for the lines the list writes.
class UrlAllowListLog : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(box.root() / "logs");
        box.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (box.root() / "logs" / "t.log").string() +
                      "\nLog Level=5\n");
        ASSERT_TRUE(setLog("T"));
    }
    std::string logText() const {
        std::string text;
        for (const auto& file : fs::directory_iterator(box.root() / "logs")) {
            text += testing_support::Sandbox::read(file.path());
        }
        return text;
    }
    // Each line in the order given, each after the one before.
    void expectInOrder(const std::vector<std::string>& lines) const {
        const std::string text = logText();
        std::size_t at = 0;
        for (const auto& line : lines) {
            const auto found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << "\nin\n" << text;
            at = found + line.size();
        }
    }

    testing_support::Sandbox box;
};

TEST_F(UrlAllowListLog, BuildAndCheckWriteTheirLines) {
    UrlAllowList allowList;
    allowList.setUnlockURL(" .a.test ;b.test;c.");
    allowList.checkUnlockURL("https://a.test/x");
    allowList.checkUnlockURL("https://x.a.test:1");
    expectInOrder({
        "[T][Normal] Enable url check list\n",
        "[T][Normal] Url check list: *.a.test\n",
        "[T][Normal] Url check list: b.test\n",
        "[T][Normal] Url check list: c.*\n",
        "[T][Warning] [Warning] Input domain is not url\n",
        "[T][Normal] Unlock original domain input: https://x.a.test:1\n",
    });
    EXPECT_TRUE(allowList.unlocked());
}

TEST_F(UrlAllowListLog, BadEntryIsLoggedAndUnlocksNothing) {
    // Entries other than "*" and "." go into the expression as written; one
    // that does not compile must not escape as an exception.
    for (const char* list : {"(", "a[b", "x{2,1}"}) {
        SCOPED_TRACE(list);
        UrlAllowList allowList;
        allowList.setUnlockURL(list);
        EXPECT_NO_THROW(allowList.checkUnlockURL("https://www.bank.test"));
        EXPECT_FALSE(allowList.unlocked());
    }
    expectInOrder({"[T][Warning] unlock exception: ", "[T][Warning] unlock exception: ",
                   "[T][Warning] unlock exception: "});

    // A broken entry spoils the whole list, also for its good neighbours.
    UrlAllowList mixed;
    mixed.setUnlockURL("www.bank.test;(");
    mixed.checkUnlockURL("https://www.bank.test");
    EXPECT_FALSE(mixed.unlocked());
}

} // namespace
