#include "common/UrlAllowList.h"

#include "common/Tool.h"
#include "common/ToolLog.h"

#include <algorithm>
#include <cctype>
#include <exception>

namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The classes of the checks below are ASCII only, whatever the locale.
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c);
}

char lowerCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return lowerCase(c); });
    return out;
}

// What "*" cannot stand for.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isPatternCharacter(char c) {
    return isLetterOrDigit(c) || c == '-' || c == '.' || c == '*';
}

bool startsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
    return text.size() >= lowerPrefix.size() &&
           lowerCase(text.substr(0, lowerPrefix.size())) == lowerPrefix;
}

// Whether the whole text matches the pattern, both in lower case; "*" stands
// for any run, every other character for itself. The pieces between the
// stars are placed leftmost one after the other, which finds a match when
// there is one: time bounded by the pattern times the text, no recursion.
bool wildcardMatch(std::string_view pattern, std::string_view text) {
    const std::size_t firstStar = pattern.find('*');
    if (firstStar == std::string_view::npos) {
        return pattern == text;
    }
    const std::size_t lastStar = pattern.rfind('*');
    const std::string_view head = pattern.substr(0, firstStar);
    const std::string_view tail = pattern.substr(lastStar + 1);
    if (text.size() < head.size() + tail.size() || !text.starts_with(head) ||
        !text.ends_with(tail)) {
        return false;
    }
    const std::string_view between =
        text.substr(head.size(), text.size() - head.size() - tail.size());
    std::size_t at = 0;
    std::size_t from = firstStar + 1;
    while (from <= lastStar) {
        const std::size_t star = pattern.find('*', from);
        const std::string_view piece = pattern.substr(from, star - from);
        const std::size_t found = between.find(piece, at);
        if (found == std::string_view::npos) {
            return false;
        }
        at = found + piece.size();
        from = star + 1;
    }
    return true;
}

// The host text of an origin: every "http://" and "https://" (in lower case
// only) taken out, then everything from the first ":" on. An origin has no
// line break, so that is all a port-removing ":.*" would take.
std::string hostText(std::string_view url) {
    std::string host;
    for (std::size_t at = 0; at < url.size();) {
        const std::string_view rest = url.substr(at);
        if (rest.starts_with("https://")) {
            at += 8;
        } else if (rest.starts_with("http://")) {
            at += 7;
        } else {
            host.push_back(url[at++]);
        }
    }
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        host.resize(colon);
    }
    return host;
}

} // namespace

bool isOriginUrl(std::string_view url) {
    std::string_view rest = url;
    if (startsWithNoCase(rest, "https://")) {
        rest.remove_prefix(8);
    } else if (startsWithNoCase(rest, "http://")) {
        rest.remove_prefix(7);
    } else {
        return false;
    }
    // Labels: each the longest run of letters, digits and hyphens, since
    // nothing that may follow one is such a character.
    std::size_t at = 0;
    for (;;) {
        const std::size_t from = at;
        while (at < rest.size() && (isLetterOrDigit(rest[at]) || rest[at] == '-')) {
            ++at;
        }
        if (at == from || at - from > 63 || rest[from] == '-' || rest[at - 1] == '-') {
            return false;
        }
        if (at == rest.size() || rest[at] != '.') {
            break;
        }
        ++at;
    }
    if (at < rest.size() && rest[at] == '/') {
        ++at;
    }
    if (at < rest.size() && rest[at] == ':') {
        const std::size_t digits = ++at;
        while (at < rest.size() && isDigit(rest[at])) {
            ++at;
        }
        if (at == digits) {
            return false;
        }
    }
    return at == rest.size();
}

bool hostMatchesEntry(std::string_view entry, std::string_view host) {
    std::string_view pattern = entry;
    if (!pattern.empty() && pattern.back() == '/') {
        pattern.remove_suffix(1);
    }
    // Nothing else may stand in an entry, and nothing in one matches a blank.
    if (!std::all_of(pattern.begin(), pattern.end(), isPatternCharacter) ||
        std::any_of(host.begin(), host.end(), isBlank)) {
        return false;
    }
    const std::string lowerPattern = lowerCase(pattern);
    const std::string lowerHost = lowerCase(host);
    if (wildcardMatch(lowerPattern, lowerHost)) {
        return true;
    }
    return lowerHost.ends_with('/') &&
           wildcardMatch(lowerPattern, std::string_view(lowerHost).substr(0, lowerHost.size() - 1));
}

std::string trimLeft(std::string_view text) {
    std::size_t from = 0;
    while (from < text.size() && isSpace(text[from])) {
        ++from;
    }
    return std::string(text.substr(from));
}

std::string trimRight(std::string_view text) {
    std::size_t to = text.size();
    while (to > 0 && isSpace(text[to - 1])) {
        --to;
    }
    return std::string(text.substr(0, to));
}

void UrlAllowList::setUnlockURL(std::string_view listText) {
    // A new list never inherits the unlock of the one it replaces, also when
    // the build below fails.
    entries_.clear();
    unlocked_ = false;
    try {
        const auto parts = splitString(listText, ";");
        logNormal("Enable url check list", "");
        std::vector<std::string> entries;
        for (const auto& part : parts) {
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
            entries.push_back(std::move(entry));
        }
        for (const auto& entry : entries) {
            logNormal("Url check list: ", entry);
        }
        entries_ = std::move(entries);
    } catch (const std::exception& e) {
        logWarning("setUnlockURL exception: ", e.what());
    } catch (...) {
        logWarning("setUnlockURL exception: ", "Unknown exception");
    }
}

void UrlAllowList::checkUnlockURL(std::string_view url) {
    try {
        if (url.size() > kUnlockUrlMaxLength || !isOriginUrl(url)) {
            logWarning("[Warning] ", "Input domain is not url");
            return;
        }
        if (unlocked_ || entries_.empty()) {
            return;
        }
        logNormal("Unlock original domain input: ", url);
        // A scheme in capitals stays, and the host text is then the scheme word.
        const std::string host = hostText(url);
        unlocked_ = std::any_of(entries_.begin(), entries_.end(), [&](const std::string& entry) {
            return hostMatchesEntry(entry, host);
        });
    } catch (const std::exception& e) {
        logWarning("unlock exception: ", e.what());
    } catch (...) {
        logWarning("unlock exception: ", "Unknown exception");
    }
}
