#include "platform/ui/Resources.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace platform::ui {
namespace {

struct Table {
    std::mutex mutex;
    // Languages in the order registered; the first is the default.
    std::vector<std::pair<LanguageId, std::map<std::uint32_t, std::u16string>>> strings;
    std::map<std::uint32_t, BitmapInfo> bitmaps;
    std::optional<LanguageId> systemLanguage;
};

Table& table() {
    static Table instance;
    return instance;
}

std::optional<LanguageId> languageFromEnvironment() {
    const char* text = std::getenv("CORVANTIX_UI_LANGUAGE");
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (*end != '\0' || value == 0 || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<LanguageId>(value);
}

} // namespace

void registerStrings(LanguageId language, const std::vector<StringEntry>& entries) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.strings.begin();
    while (it != t.strings.end() && it->first != language) {
        ++it;
    }
    if (it == t.strings.end()) {
        t.strings.emplace_back(language, std::map<std::uint32_t, std::u16string>());
        it = std::prev(t.strings.end());
    }
    for (const auto& entry : entries) {
        it->second.insert_or_assign(entry.id, std::u16string(entry.text));
    }
}

void clearStrings() {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.strings.clear();
}

std::optional<std::u16string> loadString(std::uint32_t id, std::optional<LanguageId> language) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    const auto lookIn =
        [&](const std::map<std::uint32_t, std::u16string>& texts) -> std::optional<std::u16string> {
        const auto found = texts.find(id);
        if (found == texts.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    if (language) {
        for (const auto& [lang, texts] : t.strings) {
            if (lang == *language) {
                if (auto text = lookIn(texts)) {
                    return text;
                }
            }
        }
        for (const auto& [lang, texts] : t.strings) {
            if (lang != *language && primaryLanguage(lang) == primaryLanguage(*language)) {
                if (auto text = lookIn(texts)) {
                    return text;
                }
            }
        }
    }
    for (const auto& [lang, texts] : t.strings) {
        if (auto text = lookIn(texts)) {
            return text;
        }
    }
    return std::nullopt;
}

void registerBitmap(std::uint32_t id, BitmapInfo info) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.bitmaps.insert_or_assign(id, info);
}

void unregisterBitmap(std::uint32_t id) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.bitmaps.erase(id);
}

std::optional<BitmapInfo> findBitmap(std::uint32_t id) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.bitmaps.find(id);
    if (it == t.bitmaps.end()) {
        return std::nullopt;
    }
    return it->second;
}

LanguageId systemDefaultLanguage() {
    auto& t = table();
    {
        std::lock_guard lock(t.mutex);
        if (t.systemLanguage) {
            return *t.systemLanguage;
        }
    }
    return languageFromEnvironment().value_or(kLanguageEnglishUs);
}

void setSystemLanguage(std::optional<LanguageId> language) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.systemLanguage = language;
}

} // namespace platform::ui
