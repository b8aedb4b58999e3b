// The pattern table of the page check and the challenge's failures.

#include "control/ControlErrorCode.h"
#include "control/ServerAuth.h"
#include "control/ServerAuthKey.h"
#include "platform/cryptoapi/CryptoApi.h"

#include <gtest/gtest.h>

namespace {

using tavelo::UrlPatternTable;

TEST(SplitUrlPatterns, EntriesLoseOneStarAndTheTwentiethKeepsTheRest) {
    UrlPatternTable table;
    std::size_t count = 0;
    tavelo::SplitUrlPatterns("*.bank.test", table, count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(table[0], ".bank.test");

    tavelo::SplitUrlPatterns("**.a.test;b.test;;*", table, count);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(table[0], "*.a.test") << "one star only";
    EXPECT_EQ(table[1], "b.test");
    EXPECT_EQ(table[2], "");
    EXPECT_EQ(table[3], "");

    std::string text;
    for (int i = 0; i < 25; ++i) {
        text += (i == 0 ? "*." : ";*.") + std::to_string(i);
    }
    tavelo::SplitUrlPatterns(text, table, count);
    ASSERT_EQ(count, 20u);
    EXPECT_EQ(table[18], ".18");
    EXPECT_EQ(table[19], ".19;*.20;*.21;*.22;*.23;*.24");
}

TEST(SplitUrlPatterns, AnEntryTooLongForTheTableAllowsNothing) {
    UrlPatternTable table;
    std::size_t count = 0;
    const std::string longEntry = "." + std::string(48, 'a'); // 49: fits
    const std::string tooLong = "." + std::string(49, 'b');   // 50: does not
    tavelo::SplitUrlPatterns("*" + longEntry + ";*" + tooLong, table, count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(table[0], longEntry);
    EXPECT_EQ(table[1], "");
    // Also in the last place, where the rest of the text lands.
    std::string text;
    for (int i = 0; i < 19; ++i) {
        text += "*.x;";
    }
    tavelo::SplitUrlPatterns(text + "*" + tooLong + ";more", table, count);
    ASSERT_EQ(count, 20u);
    EXPECT_EQ(table[19], "");
    EXPECT_FALSE(tavelo::HostMatchesPattern("a", table[19]));
    EXPECT_FALSE(tavelo::HostMatchesPattern("", table[19]));
}

TEST(HostMatchesPattern, OneLabelBeforeADotEntryOrTheExactHost) {
    const struct {
        const char* host;
        const char* entry;
        bool expected;
    } rows[] = {
        {"www.bank.test", ".bank.test", true},
        {"a-1.bank.test", ".bank.test", true},
        {"bank.test", ".bank.test", false},
        {".bank.test", ".bank.test", false},
        {"a.b.bank.test", ".bank.test", false},
        {"www.bank.tes", ".bank.test", false},
        {"www.ban", ".bank.test", false},
        {"x_y.bank.test", ".bank.test", false},
        {"pay.bank.test", "pay.bank.test", true},
        {"pay.bank", "pay.bank.test", false},
        {"x.pay.bank.test", "pay.bank.test", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(tavelo::HostMatchesPattern(row.host, row.entry), row.expected)
            << row.host << " / " << row.entry;
    }
}

TEST(GetM, ASharesFailureHandsNothingOut) {
    std::string m = "kept";
    std::string m1 = "kept1";
    EXPECT_EQ(tavelo::GetM("zz", tavelo::kServerKeyShareB, m, m1), kCtlBadHex);
    EXPECT_EQ(tavelo::GetM(tavelo::kServerKeyShareA, "0011", m, m1), kCtlBadArgument)
        << "a share of the wrong length";
    EXPECT_EQ(m, "kept");
    EXPECT_EQ(m1, "kept1");
    ASSERT_EQ(tavelo::GetM(tavelo::kServerKeyShareA, tavelo::kServerKeyShareB, m, m1), kCtlOk);
    EXPECT_EQ(m.size(), 12u);
    EXPECT_EQ(m1.size(), 12u);
    EXPECT_NE(m, m1);
}

// A challenge that fails leaves no earlier pair behind: the answer to the
// old M no longer authorises.
TEST(ServerGetAuth, AFailedChallengeClearsTheKeptPair) {
    tavelo::TaveloState state;
    std::string auth;
    ASSERT_EQ(tavelo::ServerGetAuth(state, auth), kCtlOk);
    ASSERT_FALSE(state.m_szServerM.empty());
    const std::string oldAnswer = state.m_szServerM1;
    ASSERT_FALSE(oldAnswer.empty());

    capi::testing::failNextCall("CryptEncrypt", 0x80090005);
    std::string none;
    EXPECT_NE(tavelo::ServerGetAuth(state, none), kCtlOk);
    capi::testing::clearFailures();
    EXPECT_EQ(none, "");
    EXPECT_EQ(state.m_szServerM, "");
    EXPECT_EQ(state.m_szServerM1, "");
    EXPECT_EQ(tavelo::ServerVerifyResponse(state, oldAnswer), kCtlNotAuthorised);
    EXPECT_FALSE(state.m_bAuthorized);
}

// The platform refusing to encipher is the library's 5063: the methods
// report the general failure, and no challenge is kept.
TEST(GetM, APlatformRefusalIsTheGeneralFailure) {
    std::string m = "kept";
    std::string m1 = "kept1";
    capi::testing::failNextCall("CryptEncrypt", capi::NTE_FAIL);
    EXPECT_EQ(tavelo::GetM(tavelo::kServerKeyShareA, tavelo::kServerKeyShareB, m, m1), kCtlFailed);
    EXPECT_EQ(m, "kept");
    EXPECT_EQ(m1, "kept1");

    tavelo::TaveloState state;
    state.m_szServerM = "an earlier M";
    state.m_szServerM1 = "an earlier M1";
    std::string auth = "kept";
    capi::testing::failNextCall("CryptEncrypt", capi::NTE_FAIL);
    EXPECT_EQ(tavelo::ServerGetAuth(state, auth), kCtlFailed);
    EXPECT_EQ(auth, "kept");
    EXPECT_TRUE(state.m_szServerM.empty());
    EXPECT_TRUE(state.m_szServerM1.empty());
    capi::testing::clearFailures();

    ASSERT_EQ(tavelo::ServerGetAuth(state, auth), kCtlOk) << "the refusal was once";
    EXPECT_EQ(auth, state.m_szServerM);
}

} // namespace
