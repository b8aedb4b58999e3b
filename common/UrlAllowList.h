#pragma once

// The page-origin allow-list: a ";"-separated list of host patterns ("*"
// any run of non-blank characters, a leading "." standing for "*.") checked
// against the host of an http or https origin. The service builds one from a
// stored value's domain list for each read; each loaded adapter copy keeps
// one built from its built-in list, so the list is a value its owner keeps.
// Patterns are matched by hand, never as regular expressions: a check takes
// time bounded by the entry times the host and no stack that grows with
// either, whatever the list holds.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Origins longer than this are refused unread: no host name comes close (a
// DNS name has at most 253 characters), and it bounds the work of a check.
inline constexpr std::size_t kUnlockUrlMaxLength = 512;

class UrlAllowList {
public:
    // Replaces the list with the entries of the list text and clears the
    // unlocked flag.
    void setUnlockURL(std::string_view listText);
    // Sets the unlocked flag when the URL is an origin whose host matches an
    // entry; never clears it.
    void checkUnlockURL(std::string_view url);
    // Empties the list; the unlocked flag stays as it is.
    void clear() { entries_.clear(); }

    bool unlocked() const { return unlocked_; }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<std::string> entries_; // as logged, in list order
    bool unlocked_ = false;
};

// Whether the text is an http or https origin: "http://" or "https://" in
// any letter case, a host name of labels of 1 to 63 letters, digits and inner
// hyphens joined by single dots (a dotted IPv4 address is such a name), an
// optional "/", an optional ":" and port of digits, and nothing else.
bool isOriginUrl(std::string_view url);

// Whether the host text matches one entry as setUnlockURL keeps it: "*" any
// run of non-blank characters, every other character itself in either letter
// case; one trailing "/" of the entry is dropped and one of the host is
// optional. An entry holding any other character than letters, digits, "-",
// "." and "*" (its one trailing "/" aside) matches nothing.
bool hostMatchesEntry(std::string_view entry, std::string_view host);

// White space as isspace sees it, removed from the start or the end.
std::string trimLeft(std::string_view text);
std::string trimRight(std::string_view text);
