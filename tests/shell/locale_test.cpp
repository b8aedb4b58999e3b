// The user's locale under the names the programs compare, from the POSIX
// locale variables.

#include "platform/shell/Locale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

struct Environment {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* name;
};

class UserLocale : public ::testing::TestWithParam<Environment> {
protected:
    void SetUp() override {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            if (const char* value = std::getenv(name)) {
                saved_.emplace_back(name, value);
            }
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            unsetenv(name);
        }
        for (const auto& [name, value] : saved_) {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    static void put(const char* name, const char* value) {
        if (value != nullptr) {
            setenv(name, value, 1);
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_P(UserLocale, IsNamedAsTheProgramsCompareIt) {
    const auto& e = GetParam();
    put("LC_ALL", e.lcAll);
    put("LC_MESSAGES", e.lcMessages);
    put("LANG", e.lang);
    const std::string name = platform::shell::userLocaleName();
    EXPECT_EQ(name, e.name);
}

const Environment kEnvironments[] = {
    {nullptr, nullptr, "zh_CN.UTF-8", "Chinese (Simplified)_China.936"},
    {nullptr, nullptr, "zh_SG.GB2312", "Chinese (Simplified)_Singapore.936"},
    {nullptr, nullptr, "zh", "Chinese (Simplified)_China.936"},
    {nullptr, nullptr, "zh_TW.UTF-8", "Chinese (Traditional)_Taiwan.950"},
    {nullptr, nullptr, "zh_HK.Big5-HKSCS", "Chinese (Traditional)_Hong Kong SAR.950"},
    {nullptr, nullptr, "en_US.UTF-8", "English_United States.1252"},
    {nullptr, nullptr, "en_GB", "English_United Kingdom.1252"},
    {nullptr, nullptr, "en", "English_United States.1252"},
    {nullptr, nullptr, "ja_JP.UTF-8", "Japanese_Japan.932"},
    {nullptr, nullptr, "de_DE.UTF-8", "German_Germany.1252"},
    {nullptr, nullptr, "sr_RS@latin", "Other_sr_RS@latin"},
    {nullptr, nullptr, "jam_JM.UTF-8", "Other_jam_JM.UTF-8"},
    // The variables in their order of precedence; an empty one counts as unset.
    {"ja_JP.UTF-8", "en_US.UTF-8", "zh_TW.UTF-8", "Japanese_Japan.932"},
    {nullptr, "zh_CN.UTF-8", "en_US.UTF-8", "Chinese (Simplified)_China.936"},
    {"", "", "en_US.UTF-8", "English_United States.1252"},
    // No language at all.
    {nullptr, nullptr, nullptr, "C"},
    {nullptr, nullptr, "C.UTF-8", "C"},
    {"POSIX", nullptr, "ja_JP.UTF-8", "C"},
};

INSTANTIATE_TEST_SUITE_P(Variables, UserLocale, ::testing::ValuesIn(kEnvironments),
                         [](const ::testing::TestParamInfo<Environment>& info) {
                             std::string name = "case" + std::to_string(info.index) + "_";
                             for (const char c : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// The monitor's reading of a name: Chinese (simplified when it says so),
// English, or a name that begins with "ja"; anything else is the default.
std::string language(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.find("chinese") != std::string::npos) {
        return name.find("simplified") != std::string::npos ? "simplified" : "traditional";
    }
    if (name.find("english") != std::string::npos) {
        return "english";
    }
    return name.starts_with("ja") ? "japanese" : "default";
}

TEST(UserLocaleNames, LeadEachLanguageToItsOwnTexts) {
    struct Case {
        const char* lang;
        const char* language;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", "simplified"},  {"zh_TW.UTF-8", "traditional"},
        {"zh_MO.UTF-8", "traditional"}, {"en_AU.UTF-8", "english"},
        {"ja_JP.eucJP", "japanese"},    {"jam_JM.UTF-8", "default"},
        {"de_DE.UTF-8", "default"},     {"C", "default"},
    };
    const char* saved = std::getenv("LANG");
    const std::string keep = saved != nullptr ? saved : "";
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    for (const auto& c : cases) {
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(language(platform::shell::userLocaleName()), c.language) << c.lang;
    }
    if (saved != nullptr) {
        setenv("LANG", keep.c_str(), 1);
    } else {
        unsetenv("LANG");
    }
}

} // namespace
