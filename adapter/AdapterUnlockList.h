#pragma once

// The adapter's built-in allow-list: the pages that may unlock a loaded copy
// of the adapter. One wildcard entry for every host below the bank's web
// domain; the domain is a reserved test name, as no real bank stands behind
// this system. Test pages are served from hosts below it.

#include "common/UrlAllowList.h"

#include <string_view>

inline constexpr std::string_view kAdapterUnlockList = "*.corvantix-bank.test";

// The card control's built-in page patterns: the same hosts, in the form its
// pattern table reads (entries split at ";", one leading "*" dropped).
inline constexpr std::string_view kControlUrlPatterns = "*.corvantix-bank.test";

// The bank's web domain itself (the entry without its "*.").
inline constexpr std::string_view kAdapterBankDomain = kAdapterUnlockList.substr(2);

// Builds a copy's allow-list from the built-in list; clears its unlocked flag.
inline void setAdapterUnlockURL(UrlAllowList& list) {
    list.setUnlockURL(kAdapterUnlockList);
}
