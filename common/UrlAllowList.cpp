#include "common/UrlAllowList.h"

#include "common/Tool.h"

#include <cctype>
#include <exception>
#include <regex>

namespace {

constexpr auto kSyntax = std::regex::ECMAScript;
constexpr auto kNoCase = std::regex::ECMAScript | std::regex::icase;

// An http or https origin: a dotted IPv4 address or a host name of labels of
// 1 to 63 letters, digits and inner hyphens, an optional "/" and port.
const std::regex& urlExpression() {
    static const std::regex expression(
        R"(^https?:\/\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*))\/?(:\d+)?$)",
        kNoCase);
    return expression;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

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
        for (auto& entry : entries) {
            logNormal("Url check list: ", entry);
            entry = replaceString(replaceString(entry, "*", "\\S*"), ".", "\\.");
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
        const std::string text(url);
        if (text.size() > kUnlockUrlMaxLength || !std::regex_match(text, urlExpression())) {
            logWarning("[Warning] ", "Input domain is not url");
            return;
        }
        if (unlocked_ || entries_.empty()) {
            return;
        }
        logNormal("Unlock original domain input: ", text);
        std::string alternatives;
        for (const auto& entry : entries_) {
            std::string_view pattern = entry;
            if (!pattern.empty() && pattern.back() == '/') {
                pattern.remove_suffix(1);
            }
            alternatives.append("(").append(pattern).append("\\/?)|");
        }
        alternatives.pop_back();

        // Scheme and everything from the first ":" go; a scheme in capitals
        // stays, and the text then left is the scheme word.
        std::string host = std::regex_replace(text, std::regex(R"(https?:\/\/)", kSyntax), "");
        host = std::regex_replace(host, std::regex(":.*", kSyntax), "");
        if (std::regex_match(host, std::regex(alternatives, kNoCase))) {
            unlocked_ = true;
        }
    } catch (const std::exception& e) {
        logWarning("unlock exception: ", e.what());
    } catch (...) {
        logWarning("unlock exception: ", "Unknown exception");
    }
}
