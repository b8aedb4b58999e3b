#pragma once

// The page-origin allow-list: a ";"-separated list of host patterns ("*"
// any run of non-blank characters, a leading "." standing for "*.") checked
// against the host of an http or https origin. The service builds one from a
// stored value's domain list for each read; each loaded adapter copy keeps
// one built from its built-in list, so the list is a value its owner keeps.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Origins longer than this are refused before any expression sees them: no
// host name comes close, and the regular-expression engine recurses once per
// character, so a very long origin would overflow the stack.
inline constexpr std::size_t kUnlockUrlMaxLength = 512;

class UrlAllowList {
public:
    // Replaces the list with the expressions built from the list text and
    // clears the unlocked flag.
    void setUnlockURL(std::string_view listText);
    // Sets the unlocked flag when the URL is an origin whose host matches an
    // entry; never clears it.
    void checkUnlockURL(std::string_view url);
    // Empties the list; the unlocked flag stays as it is.
    void clear() { entries_.clear(); }

    bool unlocked() const { return unlocked_; }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<std::string> entries_; // regular-expression texts, in list order
    bool unlocked_ = false;
};

// White space as isspace sees it, removed from the start or the end.
std::string trimLeft(std::string_view text);
std::string trimRight(std::string_view text);
