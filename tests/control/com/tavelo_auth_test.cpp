// The two ways a caller shows it is authorised, through the class: the
// server challenge, answered here as the bank's server would (openssl
// deciphers M under the key the two shares make and enciphers n + 1), and
// the page check against the built-in patterns.

#include "control/ServerAuthKey.h"
#include "tests/control/com/TaveloClass.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

using namespace tavelo_class;
using testing_support::utf8;

std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

// The challenge key as the server holds it: the shares combined.
std::string serverKeyHex() {
    std::string key;
    for (std::size_t i = 0; i < tavelo::kServerKeyShareA.size(); i += 2) {
        const auto a = std::stoul(std::string(tavelo::kServerKeyShareA.substr(i, 2)), nullptr, 16);
        const auto b = std::stoul(std::string(tavelo::kServerKeyShareB.substr(i, 2)), nullptr, 16);
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(a ^ b));
        key += digits;
    }
    return key;
}

const std::string kZeroIv = "0000000000000000";

std::string serverDecipher(const std::string& base64) {
    return shell("printf '%s' '" + base64 + "' | openssl enc -d -des-ede3-cbc -a -A -K " +
                 serverKeyHex() + " -iv " + kZeroIv);
}

std::string serverEncipher(const std::string& plain) {
    return shell("printf '%s' '" + plain + "' | openssl enc -des-ede3-cbc -a -A -K " +
                 serverKeyHex() + " -iv " + kZeroIv);
}

const std::filesystem::path& controlLogFolder() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tavelo-auth-" + std::to_string(getpid()));
    return path;
}

class TaveloAuth : public TaveloClass {
protected:
    void SetUp() override {
        std::filesystem::create_directories(controlLogFolder());
        box.write("Windows/Tavelo.ini",
                  "[Tavelo]\nLog File=" + (controlLogFolder() / "control.log").string() +
                      "\nLog Level=5\n");
        TaveloClass::SetUp();
    }
    void TearDown() override {
        TaveloClass::TearDown();
        std::stringstream all;
        std::error_code error;
        for (const auto& file : std::filesystem::directory_iterator(controlLogFolder(), error)) {
            std::ifstream in(file.path());
            all << in.rdbuf();
        }
        std::filesystem::remove_all(controlLogFolder(), error);
        for (const std::string& secret : {std::string(tavelo::kServerKeyShareA),
                                          std::string(tavelo::kServerKeyShareB), serverKeyHex()}) {
            EXPECT_EQ(all.str().find(secret), std::string::npos) << "a key in the log";
        }
        for (const auto& answer : answers) {
            EXPECT_EQ(all.str().find(answer), std::string::npos) << answer << " in the log";
        }
    }

    std::optional<std::string> challenge() {
        BstrString result;
        EXPECT_EQ(control->GetServerAuth(result.receive()), S_OK);
        EXPECT_EQ(errorCode(), 0);
        if (result.get() == nullptr) {
            return std::nullopt;
        }
        return utf8(result.get());
    }
    // The server's answer to M: n deciphered, n + 1 enciphered.
    std::string answer(const std::string& m, int* n = nullptr) {
        const std::string plain = serverDecipher(m);
        EXPECT_FALSE(plain.empty()) << "M does not decipher: " << m;
        EXPECT_EQ(plain.find_first_not_of("0123456789"), std::string::npos) << plain;
        const int number = plain.empty() ? -1 : std::stoi(plain);
        EXPECT_GE(number, 0);
        EXPECT_LE(number, 32767);
        if (n != nullptr) {
            *n = number;
        }
        std::string m1 = serverEncipher(std::to_string(number + 1));
        answers.insert(m1);
        return m1;
    }
    std::int32_t respond(const std::optional<std::string>& response) {
        std::int32_t rc = -1;
        const BstrString value = response ? text(*response) : BstrString();
        EXPECT_EQ(control->VerifyServerResponse(value.get(), &rc), S_OK);
        EXPECT_EQ(errorCode(), rc);
        return rc;
    }
    std::int32_t verifyUrl(const std::optional<std::string>& url) {
        std::int32_t rc = -1;
        const BstrString value = url ? text(*url) : BstrString();
        EXPECT_EQ(control->VerifyURL(value.get(), 0, &rc), S_OK);
        EXPECT_EQ(errorCode(), rc);
        return rc;
    }

    std::set<std::string> answers;
};

TEST_F(TaveloAuth, TheServersAnswerToTheChallengeAuthorises) {
    EXPECT_EQ(respond("anything"), 5907) << "no challenge yet";
    EXPECT_EQ(respond(std::nullopt), 5005);
    EXPECT_EQ(respond(""), 5005);

    const auto m = challenge();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size(), 12u);
    const std::string m1 = answer(*m);
    EXPECT_EQ(m1.size(), 12u);
    EXPECT_EQ(respond(*m), 5907) << "M itself is no answer";
    EXPECT_EQ(verifyUrl("https://evil.test"), 5907) << "not authorised yet";
    EXPECT_EQ(respond(m1), 0);
    EXPECT_EQ(respond(m1), 0) << "the same answer passes again";
    // Authorised: every page passes, even none.
    EXPECT_EQ(verifyUrl("https://evil.test"), 0);
    EXPECT_EQ(verifyUrl(std::nullopt), 0);
}

TEST_F(TaveloAuth, ANewChallengeRetiresTheOldAnswer) {
    std::set<int> numbers;
    std::set<std::string> challenges;
    std::string oldAnswer;
    std::string m;
    for (int i = 0; i < 8; ++i) {
        const auto next = challenge();
        ASSERT_TRUE(next);
        int n = -1;
        const std::string m1 = answer(*next, &n);
        numbers.insert(n);
        challenges.insert(*next);
        if (i == 0) {
            oldAnswer = m1;
        }
        m = *next;
    }
    EXPECT_GT(numbers.size(), 1u) << "the challenge does not change";
    EXPECT_EQ(challenges.size(), numbers.size()) << "one challenge per number";
    EXPECT_EQ(respond(oldAnswer), 5907) << "an earlier pair's answer";
    EXPECT_EQ(respond(answer(m)), 0) << "the last pair's answer";
}

struct UrlCase {
    const char* url;
    std::int32_t expected;
};

// Each row on a new object: a pass authorises it for good.
TEST_F(TaveloAuth, PagesBelowTheBankDomainPass) {
    const UrlCase rows[] = {
        {"https://www.corvantix-bank.test", 0},
        {"https://www.corvantix-bank.test/", 0},
        {"https://pay.corvantix-bank.test:8443/a/b?c=d", 0},
        {"https://shop-2.corvantix-bank.test\\path", 0},
        {"http://www.corvantix-bank.test", 0},
        {"https:///\\www.corvantix-bank.test/x", 0},
        {"ftp://www.corvantix-bank.test", 0},      // any scheme, as long as it names a host
        {"https://corvantix-bank.test", 5907},     // the bare domain
        {"https://.corvantix-bank.test", 5907},    // an empty label
        {"https://a.b.corvantix-bank.test", 5907}, // one label only
        {"https://www.corvantix-bank.test.evil.test", 5907},
        {"https://wwwcorvantix-bank.test", 5907},
        {"https://evil.co", 5907},
        {"https://x.c", 5907},
        {"https://x.", 5907},
        {"https://x", 5907},
        {"https://www.corvantix-bank.test:@evil.com", 5907},
        {"https://www.corvantix-bank.test@evil.com", 5907},
        {"https://user@www.corvantix-bank.test", 5907},
        {"https://evil.com#.corvantix-bank.test", 5907},
        {"https://evil#.corvantix-bank.test", 5907},
        {"https://evil?.corvantix-bank.test", 5907},
        {"https://e%2e.corvantix-bank.test", 5907},
        {"https://", 5907},
        {"https://:443/x", 5907},
        {"file:///etc/passwd", 5907},
        {"www.corvantix-bank.test", 5907}, // no "://"
        {"javascript:alert(1)//.corvantix-bank.test", 5907},
    };
    for (const auto& row : rows) {
        control.reset();
        ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                                   reinterpret_cast<void**>(control.receive())),
                  S_OK);
        EXPECT_EQ(verifyUrl(row.url), row.expected) << row.url;
    }
}

TEST_F(TaveloAuth, TheKeptPageIsCheckedWhenNoneIsGiven) {
    EXPECT_EQ(verifyUrl(std::nullopt), 5907) << "no page kept";
    EXPECT_EQ(verifyUrl(""), 5907);
    EXPECT_EQ(verifyUrl("https://evil.test"), 5907);
    EXPECT_EQ(verifyUrl(std::nullopt), 5907) << "the refused page is kept";
    control.reset();
    ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                               reinterpret_cast<void**>(control.receive())),
              S_OK);
    // Longer than the 1023 characters kept: the host stays in front.
    EXPECT_EQ(verifyUrl("https://www.corvantix-bank.test/" + std::string(2000, 'a')), 0);
}

} // namespace
