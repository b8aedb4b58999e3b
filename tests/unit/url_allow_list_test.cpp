#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/UrlAllowList.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The regular-expression construction the hand-written checks replaced, kept
// here only as the oracle they must agree with.
namespace oracle {

constexpr auto kSyntax = std::regex::ECMAScript;
constexpr auto kNoCase = std::regex::ECMAScript | std::regex::icase;

bool isOriginUrl(const std::string& url) {
    static const std::regex expression(
        R"(^https?:\/\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*))\/?(:\d+)?$)",
        kNoCase);
    return std::regex_match(url, expression);
}

// The entries of a list text, as logged.
std::vector<std::string> entriesOf(std::string_view listText) {
    std::vector<std::string> entries;
    for (const auto& part : splitString(listText, ";")) {
        std::string entry = trimRight(trimLeft(part));
        if (entry.empty()) {
            continue;
        }
        if (entry.front() == '.') {
            entry = "*" + entry;
        }
        if (entry.back() == '.') {
            entry.push_back('*');
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string alternatives(const std::vector<std::string>& entries) {
    std::string out;
    for (const auto& entry : entries) {
        std::string pattern = replaceString(replaceString(entry, "*", "\\S*"), ".", "\\.");
        if (!pattern.empty() && pattern.back() == '/') {
            pattern.pop_back();
        }
        out.append("(").append(pattern).append("\\/?)|");
    }
    out.pop_back();
    return out;
}

bool hostMatches(const std::vector<std::string>& entries, const std::string& host) {
    return std::regex_match(host, std::regex(alternatives(entries), kNoCase));
}

bool allows(std::string_view listText, const std::string& url) {
    if (url.size() > kUnlockUrlMaxLength || !isOriginUrl(url)) {
        return false;
    }
    const auto entries = entriesOf(listText);
    if (entries.empty()) {
        return false;
    }
    std::string host = std::regex_replace(url, std::regex(R"(https?:\/\/)", kSyntax), "");
    host = std::regex_replace(host, std::regex(":.*", kSyntax), "");
    return hostMatches(entries, host);
}

} // namespace oracle

// Runs the work in a child process that the alarm ends after the limit: its
// exit code, or nullopt when it was ended by a signal (the alarm, or a crash).
std::optional<int> exitCodeWithin(unsigned seconds, const std::function<int()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        _exit(work());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

// A host of the given number of labels "a" below "test", as an origin.
std::string manyLabelOrigin(int labels) {
    std::string origin = "https://";
    for (int i = 0; i < labels; ++i) {
        origin += "a.";
    }
    return origin + "test";
}

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

TEST_F(UrlAllowListLog, EntriesWithOtherCharactersMatchNothing) {
    // Once live regular-expression syntax; now such an entry matches no
    // host, throws nothing and spoils none of its neighbours.
    struct Case {
        const char* entry;
        const char* origin; // one the old expressions let in, where there was one
    };
    const Case cases[] = {
        {"(", "https://www.bank.test"},
        {"a[b", "https://www.bank.test"},
        {"x{2,1}", "https://www.bank.test"},
        {"(www|evil).bank.test", "https://evil.bank.test"},
        {"www.bank.test|evil.test", "https://evil.test"},
        {"ba?nk.test", "https://bnk.test"},
        {"[a-z]+.bank.test", "https://www.bank.test"},
        {"www.ba.k.test", "https://www.bank.test"},
        {"www_bank.test", "https://www_bank.test"},
        {"bank.test//", "https://bank.test/"},
        {"bank.test:443", "https://bank.test:443"},
        {"b a n k", "https://bank.test"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        UrlAllowList allowList;
        allowList.setUnlockURL(c.entry);
        EXPECT_FALSE(allowList.empty());
        EXPECT_NO_THROW(allowList.checkUnlockURL(c.origin));
        EXPECT_FALSE(allowList.unlocked());

        UrlAllowList mixed;
        mixed.setUnlockURL(std::string(c.entry) + ";www.bank.test");
        mixed.checkUnlockURL("https://www.bank.test");
        EXPECT_TRUE(mixed.unlocked());
    }
    const std::string text = logText();
    EXPECT_EQ(text.find("unlock exception: "), std::string::npos) << text;
    expectInOrder({"[T][Normal] Url check list: (www|evil).bank.test\n",
                   "[T][Normal] Unlock original domain input: https://evil.bank.test\n"});
}

// ---- The hand-written checks against the old expressions ------------------

bool oracleEntryMatches(const std::string& entry, const std::string& host) {
    return oracle::hostMatches({entry}, host);
}

TEST(HostMatchesEntry, AgreesWithTheOldExpressionsOnHandPickedCases) {
    struct Case {
        const char* entry; // as the list keeps it
        const char* host;
        bool matches;
    };
    const Case cases[] = {
        {"a.test", "a.test", true},
        {"a.test", "A.TEST", true},
        {"A.Test", "a.tEST", true},
        {"a.test", "a.test/", true},
        {"a.test", "a.test//", false},
        {"a.test", "axtest", false},
        {"a.test", "a.tes", false},
        {"a.test", "a.testx", false},
        {"a.test", "xa.test", false},
        {"a.test/", "a.test", true},
        {"a.test/", "a.test/", true},
        {"a.test/", "a.test//", false},
        {"*", "", true},
        {"*", "/", true},
        {"*", "a//", true},
        {"*", "*", true},
        {"*", "a b", false},
        {"*", "a\tb", false},
        {"a*", "a\nb", false},
        {"a.test", "a.test ", false},
        {"**", "xyz", true},
        {"*.a.test", "a.test", false},
        {"*.a.test", ".a.test", true},
        {"*.a.test", "x.y.a.test/", true},
        {"*.a.test", "x.a.test.evil", false},
        {"a.*", "a.", true},
        {"a.*", "a.b.c", true},
        {"a.*", "a./", true},
        {"a.*", "a", false},
        {"*a*", "bab", true},
        {"*a*", "bbb", false},
        {"*a*a", "aa", true},
        {"*a*a", "a", false},
        {"a*a", "a", false},
        {"a*a", "aba", true},
        {"*ab*ab", "abab", true},
        {"*ab*ab", "aab", false},
        {"*aa*aa", "aaa", false},
        {"*aa*aa", "aaaa", true},
        {"a-b", "a-b", true},
        {"a-b", "a_b", false},
        {"1.2.3.4", "1.2.3.4", true},
        {"1.2.3.4", "1x2x3x4", false},
        {"x*", "x*", true},
        {"x*", "X", true},
        {"-", "-", true},
        {"*.", "a.", true},
        {"*/", "", true},
        {"*/", "/", true},
        {"*/", "a/", true},
        {"/", "", true},
        {"/", "/", true},
        {"/", "//", false},
        {"*.x", "a.x/", true},
        {"*.*.*.*.*.*.*.x", "a.a.a.a.a.a.a.x", true},
        {"*.*.*.*.*.*.*.x", "a.a.a.a.a.a.x", false},
        {"*.*.*.*.*.*.*.x", "a.a.a.a.a.a.a.a.test", false},
        {"https", "HTTPS", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("entry \"") + c.entry + "\", host \"" + c.host + "\"");
        EXPECT_EQ(hostMatchesEntry(c.entry, c.host), c.matches);
        EXPECT_EQ(oracleEntryMatches(c.entry, c.host), c.matches);
    }
}

// Seeded, so every run draws the same cases.
class Draw {
public:
    explicit Draw(std::uint32_t seed) : engine_(seed) {}
    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
    }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    char from(std::string_view alphabet) { return alphabet[below(alphabet.size())]; }
    std::string text(std::string_view alphabet, std::size_t maxLength) {
        std::string out;
        const std::size_t length = below(maxLength + 1);
        for (std::size_t i = 0; i < length; ++i) {
            out.push_back(from(alphabet));
        }
        return out;
    }

private:
    std::mt19937 engine_;
};

// An entry of the alphabet, now and then with a trailing "/".
std::string drawEntry(Draw& draw) {
    std::string entry = draw.text("aB7-..**", 9);
    if (draw.chance(20)) {
        entry.push_back('/');
    }
    return entry;
}

// A host made from the entry (each "*" a short run, letters in either case,
// now and then one character changed), or drawn freely.
std::string drawHost(Draw& draw, std::string_view entry) {
    if (draw.chance(40)) {
        return draw.text("aAbB7-./*", 12);
    }
    std::string host;
    for (const char c : entry) {
        if (c == '*') {
            host += draw.text("aAB7-./", 3);
        } else if (c == 'a' && draw.chance(50)) {
            host.push_back('A');
        } else if (c == 'B' && draw.chance(50)) {
            host.push_back('b');
        } else {
            host.push_back(c);
        }
    }
    if (draw.chance(25) && !host.empty()) {
        host[draw.below(host.size())] = draw.from("aB7-./");
    }
    if (draw.chance(20)) {
        host.push_back('/');
    }
    return host;
}

TEST(HostMatchesEntry, AgreesWithTheOldExpressionsOnRandomEntriesAndHosts) {
    Draw draw(20240611);
    int matched = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string entry = drawEntry(draw);
        const std::string host = drawHost(draw, entry);
        const bool expected = oracleEntryMatches(entry, host);
        matched += expected;
        ASSERT_EQ(hostMatchesEntry(entry, host), expected)
            << "entry \"" << entry << "\", host \"" << host << "\"";
    }
    // Both answers are well represented.
    EXPECT_GT(matched, 4000);
    EXPECT_LT(matched, 16000);
}

// Whole lists and origins, through the class, against the old construction.
TEST(UrlAllowList, AgreesWithTheOldExpressionsOnRandomListsAndOrigins) {
    Draw draw(7);
    const char* schemes[] = {"https://", "http://", "https://", "HTTPS://", "Http://", "https:/"};
    const char* runs[] = {"", "a", "B1", "a.b", "x-y.Z.9"};
    int allowed = 0;
    for (int i = 0; i < 5000; ++i) {
        std::string list;
        const std::size_t count = 1 + draw.below(3);
        for (std::size_t e = 0; e < count; ++e) {
            list += draw.chance(20) ? " " : "";
            list += draw.text("ab1-..*", 8);
            list += draw.chance(20) ? "\t;" : ";";
        }
        // A host from one of the entries: each "*" some labels, letters now
        // and then in capitals, now and then one character changed.
        const auto entries = oracle::entriesOf(list);
        const std::string from = entries.empty() ? "a.test" : entries[draw.below(entries.size())];
        std::string host;
        for (const char c : from) {
            if (c == '*') {
                host += runs[draw.below(std::size(runs))];
            } else {
                host.push_back(c >= 'a' && c <= 'z' && draw.chance(30) ? c - 'a' + 'A' : c);
            }
        }
        if (draw.chance(20) && !host.empty()) {
            host[draw.below(host.size())] = draw.from("ab1-.");
        }
        std::string origin = schemes[draw.below(std::size(schemes))] + host;
        if (draw.chance(20)) {
            origin += "/";
        }
        if (draw.chance(20)) {
            origin += ":" + draw.text("0123456789", 5);
        }
        const bool expected = oracle::allows(list, origin);
        allowed += expected;
        UrlAllowList allowList;
        allowList.setUnlockURL(list);
        allowList.checkUnlockURL(origin);
        ASSERT_EQ(allowList.unlocked(), expected)
            << "list \"" << list << "\", origin \"" << origin << "\"";
    }
    EXPECT_GT(allowed, 500);
}

TEST(OriginUrl, AgreesWithTheOldExpressionOnEveryShortHost) {
    // Every text of up to five characters of this alphabet after each scheme.
    const std::string alphabet = "aZ5-./:_";
    std::vector<std::string> texts = {""};
    for (std::size_t from = 0, length = 0; length < 5; ++length) {
        const std::size_t to = texts.size();
        for (std::size_t i = from; i < to; ++i) {
            for (const char c : alphabet) {
                texts.push_back(texts[i] + c);
            }
        }
        from = to;
    }
    int origins = 0;
    for (const char* scheme : {"http://", "HTTPS://"}) {
        for (const auto& text : texts) {
            const std::string url = scheme + text;
            const bool expected = oracle::isOriginUrl(url);
            origins += expected;
            ASSERT_EQ(isOriginUrl(url), expected) << url;
        }
    }
    EXPECT_GT(origins, 1000);
}

// An origin-like text: a scheme, labels of lengths around the limits,
// numbers around 255, a "/" and a port, now and then a stray character.
std::string drawOriginLike(Draw& draw) {
    const char* schemes[] = {"http://", "https://", "HTTP://", "hTtPs://", "https://", "http://",
                             "ftp://",  "http:/",   "https:",  "",         "https//",  "httpss://"};
    std::string url = schemes[draw.below(std::size(schemes))];
    const std::size_t labels = draw.chance(5) ? 60 + draw.below(200) : 1 + draw.below(5);
    const std::size_t lengths[] = {0, 1, 2, 3, 5, 61, 62, 63, 64, 65};
    for (std::size_t i = 0; i < labels; ++i) {
        if (i > 0) {
            url += draw.chance(3) ? ".." : ".";
        }
        if (draw.chance(30)) {
            const char* numbers[] = {"0",   "00",  "000", "01",  "001", "199", "200", "249",
                                     "250", "255", "256", "260", "300", "999", "1000"};
            url += numbers[draw.below(std::size(numbers))];
            continue;
        }
        // Many labels stay short, to keep the old matcher within its stack.
        const std::size_t length = labels > 20       ? draw.below(3)
                                   : draw.chance(50) ? lengths[draw.below(std::size(lengths))]
                                                     : draw.below(12);
        for (std::size_t c = 0; c < length; ++c) {
            url.push_back(draw.chance(10) ? '-' : draw.from("aZq09"));
        }
    }
    const char* ends[] = {"",     "",        "/",   "//",  ":",    ":8",
                          ":443", ":056417", ":8a", "::1", "/:80", ":80/"};
    url += ends[draw.below(std::size(ends))];
    if (draw.chance(15)) {
        static constexpr char kStray[] = "_@%?#=+ \t\n\r\x01\x7f\x80\xc3\xa9\xff\0:/.-";
        const std::string_view stray(kStray, sizeof kStray - 1);
        const std::size_t at = draw.below(url.size() + 1);
        url.insert(at, 1, stray[draw.below(stray.size())]);
    }
    if (draw.chance(5) && !url.empty()) {
        url.erase(draw.below(url.size()), 1);
    }
    return url;
}

TEST(OriginUrl, AgreesWithTheOldExpressionOnRandomOrigins) {
    Draw draw(1234567);
    int origins = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string url = drawOriginLike(draw);
        const bool expected = oracle::isOriginUrl(url);
        origins += expected;
        ASSERT_EQ(isOriginUrl(url), expected) << url;
    }
    EXPECT_GT(origins, 2000);
    EXPECT_LT(origins, 18000);
}

// ---- Hostile lists ---------------------------------------------------------

TEST(UrlAllowList, ManyWildcardsAgainstManyLabelsAnswerPromptly) {
    // Each used to backtrack through every way of cutting the host, for far
    // longer than a minute; the check must answer within a blink.
    const std::string origin = manyLabelOrigin(120);
    ASSERT_LT(origin.size(), kUnlockUrlMaxLength);
    struct Case {
        std::string list;
        bool unlocks;
    };
    const Case cases[] = {
        {"*.*.*.*.*.*.*.x", false},
        {"*.*.*.*.*.*.*.test", true},
        {"*a*a*a*a*a*a*a*a*a*a*b", false},
        {"*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.*.x;" + std::string(255, '*'),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        const auto began = std::chrono::steady_clock::now();
        const auto code = exitCodeWithin(10, [&] {
            UrlAllowList allowList;
            allowList.setUnlockURL(c.list);
            allowList.checkUnlockURL(origin);
            return allowList.unlocked() ? 1 : 0;
        });
        ASSERT_TRUE(code.has_value()) << "ended by a signal: stalled or crashed";
        EXPECT_EQ(*code, c.unlocks ? 1 : 0);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
    }
}

TEST(UrlAllowList, VeryLongListsCheckWithoutOverflowingTheStack) {
    // Once one expression of all entries: a long entry overflowed the stack
    // of the expression compiler, many entries went over its state limit.
    std::string oneEntry;
    while (oneEntry.size() < 200000) {
        oneEntry += "a.";
    }
    std::string manyEntries;
    while (manyEntries.size() < 200000) {
        manyEntries += "host" + std::to_string(manyEntries.size()) + ".bank.test;";
    }
    for (const auto& list : {oneEntry + "*;www.bank.test", manyEntries + "www.bank.test"}) {
        SCOPED_TRACE(list.substr(0, 20));
        const auto code = exitCodeWithin(10, [&] {
            UrlAllowList allowList;
            allowList.setUnlockURL(list);
            allowList.checkUnlockURL("https://other.test");
            const bool refused = !allowList.unlocked();
            allowList.checkUnlockURL("https://www.bank.test:8443");
            return refused && allowList.unlocked() ? 0 : 1;
        });
        EXPECT_EQ(code, 0);
    }
}

} // namespace
