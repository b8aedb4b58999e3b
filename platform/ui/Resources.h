#pragma once

// Texts and bitmaps by id, and the system's language.
//
// The string table holds texts by id, each registered under a language
// (a language id: primary language in the low 10 bits, sublanguage above).
// A dialog module registers its whole table at load time, in as many
// languages as it carries; a lookup names the language it wants and falls
// back to the table's other languages in a fixed order (see loadString).
//
// A bitmap is present when it was registered; drawing one that is absent
// draws nothing, as a missing resource does.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::ui {

using LanguageId = std::uint16_t;

constexpr LanguageId makeLanguageId(std::uint16_t primary, std::uint16_t sub) {
    return static_cast<LanguageId>((sub << 10) | primary);
}
constexpr std::uint16_t primaryLanguage(LanguageId id) {
    return id & 0x3FF;
}
constexpr std::uint16_t subLanguage(LanguageId id) {
    return id >> 10;
}

inline constexpr std::uint16_t kLangNeutral = 0x00;
inline constexpr std::uint16_t kLangChinese = 0x04;
inline constexpr std::uint16_t kLangGerman = 0x07;
inline constexpr std::uint16_t kLangEnglish = 0x09;
inline constexpr std::uint16_t kLangJapanese = 0x11;

inline constexpr std::uint16_t kSublangDefault = 0x01;
inline constexpr std::uint16_t kSublangChineseTraditional = 0x01; // Taiwan
inline constexpr std::uint16_t kSublangChineseSimplified = 0x02;  // PRC
inline constexpr std::uint16_t kSublangChineseHongKong = 0x03;
inline constexpr std::uint16_t kSublangChineseSingapore = 0x04;
inline constexpr std::uint16_t kSublangChineseMacau = 0x05;

inline constexpr LanguageId kLanguageEnglishUs = makeLanguageId(kLangEnglish, 0x01);     // 1033
inline constexpr LanguageId kLanguageChineseTaiwan = makeLanguageId(kLangChinese, 0x01); // 1028
inline constexpr LanguageId kLanguageChinesePrc = makeLanguageId(kLangChinese, 0x02);    // 2052
inline constexpr LanguageId kLanguageJapanese = makeLanguageId(kLangJapanese, 0x01);     // 1041
inline constexpr LanguageId kLanguageGerman = makeLanguageId(kLangGerman, 0x01);         // 1031

struct StringEntry {
    std::uint32_t id;
    std::u16string_view text;
};

// Adds texts to the table of a language (a text of an id already there is
// replaced). The first language registered is the table's default.
void registerStrings(LanguageId language, const std::vector<StringEntry>& entries);
// Empties the whole table (every language).
void clearStrings();

// The text of an id: from the language asked for, else from a language of
// the same primary language, else from the default language, else from any
// other in the order registered; nullopt when no language has the id.
std::optional<std::u16string> loadString(std::uint32_t id, std::optional<LanguageId> language = {});

struct BitmapInfo {
    int width = 0;
    int height = 0;
};

void registerBitmap(std::uint32_t id, BitmapInfo info);
void unregisterBitmap(std::uint32_t id);
std::optional<BitmapInfo> findBitmap(std::uint32_t id);

// The system's default language: CORVANTIX_UI_LANGUAGE (a number, decimal
// or 0x hexadecimal) when set, else English (United States); a test sets
// another with setSystemLanguage (nullopt goes back to the environment).
LanguageId systemDefaultLanguage();
void setSystemLanguage(std::optional<LanguageId> language);

} // namespace platform::ui
