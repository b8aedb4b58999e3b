#include "platform/shell/Locale.h"

#include <cstdlib>
#include <string_view>

namespace platform::shell {
namespace {

struct Country {
    std::string_view code;
    std::string_view name;
};

constexpr Country kCountries[] = {
    {"US", "United States"}, {"GB", "United Kingdom"}, {"AU", "Australia"},
    {"CA", "Canada"},        {"NZ", "New Zealand"},    {"IE", "Ireland"},
    {"IN", "India"},         {"SG", "Singapore"},      {"ZA", "South Africa"},
    {"CN", "China"},         {"TW", "Taiwan"},         {"HK", "Hong Kong SAR"},
    {"MO", "Macao SAR"},     {"JP", "Japan"},          {"DE", "Germany"},
    {"AT", "Austria"},       {"CH", "Switzerland"},    {"FR", "France"},
    {"BE", "Belgium"},       {"ES", "Spain"},          {"MX", "Mexico"},
    {"IT", "Italy"},         {"KR", "Korea"},          {"BR", "Brazil"},
    {"PT", "Portugal"},      {"RU", "Russia"},         {"NL", "Netherlands"},
};

struct Language {
    std::string_view code;
    std::string_view name;
    std::string_view home; // the country when none is given
    std::string_view codePage;
};

constexpr Language kLanguages[] = {
    {"en", "English", "US", "1252"}, {"ja", "Japanese", "JP", "932"},
    {"de", "German", "DE", "1252"},  {"fr", "French", "FR", "1252"},
    {"es", "Spanish", "ES", "1252"}, {"it", "Italian", "IT", "1252"},
    {"ko", "Korean", "KR", "949"},   {"pt", "Portuguese", "BR", "1252"},
    {"ru", "Russian", "RU", "1251"}, {"nl", "Dutch", "NL", "1252"},
};

std::string countryName(std::string_view code) {
    for (const auto& c : kCountries) {
        if (c.code == code) {
            return std::string(c.name);
        }
    }
    return std::string(code);
}

std::string_view variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

std::string chineseName(std::string_view country) {
    const bool traditional = country == "TW" || country == "HK" || country == "MO";
    if (traditional) {
        return "Chinese (Traditional)_" + countryName(country) + ".950";
    }
    return "Chinese (Simplified)_" + countryName(country.empty() ? "CN" : country) + ".936";
}

} // namespace

std::string userLocaleName() {
    std::string_view posix;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        posix = variable(name);
        if (!posix.empty()) {
            break;
        }
    }
    // language[_territory][.codeset][@modifier]
    const std::string_view head = posix.substr(0, posix.find_first_of(".@"));
    const std::size_t underscore = head.find('_');
    const std::string_view language = head.substr(0, underscore);
    const std::string_view country =
        underscore == std::string_view::npos ? std::string_view() : head.substr(underscore + 1);
    if (language.empty() || language == "C" || language == "POSIX") {
        return "C";
    }
    if (language == "zh") {
        return chineseName(country);
    }
    for (const auto& l : kLanguages) {
        if (l.code == language) {
            return std::string(l.name) + "_" + countryName(country.empty() ? l.home : country) +
                   "." + std::string(l.codePage);
        }
    }
    return "Other_" + std::string(posix);
}

} // namespace platform::shell
