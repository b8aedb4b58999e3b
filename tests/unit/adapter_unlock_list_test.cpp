#include "adapter/AdapterUnlockList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kDomain(kAdapterBankDomain);

TEST(AdapterUnlockList, OneWildcardEntryUnderAReservedDomain) {
    EXPECT_EQ(kAdapterUnlockList.find(';'), std::string_view::npos);
    EXPECT_TRUE(kAdapterUnlockList.starts_with("*."));
    EXPECT_TRUE(kAdapterBankDomain.ends_with(".test"));
    EXPECT_EQ("*." + kDomain, kAdapterUnlockList);
}

TEST(AdapterUnlockList, HostsBelowTheBankDomainUnlock) {
    struct Case {
        std::string origin;
        bool unlocks;
    };
    const Case cases[] = {
        {"https://www." + kDomain, true},
        {"https://pay.www." + kDomain, true},
        {"https://www." + kDomain + ":56417", true},
        {"https://www." + kDomain + "/", true},
        {"https://WWW." + kDomain, true},
        {"https://" + kDomain, false},
        {"https://" + kDomain + ":443", false},
        {"https://evil" + kDomain, false},
        {"https://www." + kDomain + ".evil.test", false},
        {"https://www." + kDomain + "/page.html", false},
        {"https://www." + kDomain + "/?next=1", false},
        {"https://www." + kDomain + "?next=1", false},
        {"https://other.test", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.origin);
        UrlAllowList list;
        setAdapterUnlockURL(list);
        list.checkUnlockURL(c.origin);
        EXPECT_EQ(list.unlocked(), c.unlocks);
    }
}

TEST(AdapterUnlockList, EachCopyKeepsItsOwnListAndUnlock) {
    // Two loaded copies: one unlocked by its page, the other refused.
    UrlAllowList first;
    UrlAllowList second;
    setAdapterUnlockURL(first);
    setAdapterUnlockURL(second);
    first.checkUnlockURL("https://www." + kDomain);
    second.checkUnlockURL("https://other.test");
    EXPECT_TRUE(first.unlocked());
    EXPECT_FALSE(second.unlocked());

    // The list is built once and kept: later pages are checked against it.
    second.checkUnlockURL("https://shop." + kDomain);
    EXPECT_TRUE(second.unlocked());

    // Once unlocked a copy stays unlocked, whatever a later page is.
    first.checkUnlockURL("https://other.test");
    first.checkUnlockURL("no url at all");
    EXPECT_TRUE(first.unlocked());
}

} // namespace
