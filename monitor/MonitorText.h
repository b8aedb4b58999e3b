#pragma once

// The monitor's texts in its four languages, the language chosen from the
// user's locale, the configuration file's text, and the About box's text.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

enum Language : std::int32_t {
    Language_TradChinese = 1,
    Language_English = 2,
    Language_Japan = 4,
    Language_SimpChinese = 8,
};

enum class Text {
    TurnedOn,
    TurnedOff,
    Restarted,
    Start,
    Stop,
    Restart,
    About,
    Language,
    Quit,
    TradChinese,
    English,
    Japanese,
    SimpChinese,
    SystemHint,
    Screenshots,
    ScreenshotDone,
    DebugOff,
    DebugOn,
    Version,
    SwitchTo,
    AboutShort,
    AboutLong,
    Count,
};

// The language a locale name selects (logged as it is chosen).
std::int32_t languageOfLocale(std::string_view localeName);
// From the user's locale.
std::int32_t detectLanguage();

// The current language and the texts loaded for it. Loading keeps the texts
// as they are for an id that is not one of the four.
std::int32_t currentLanguage();
void setCurrentLanguage(std::int32_t language);
void loadLanguageText();
std::u16string_view text(Text which);
// A text of the table in a given language (the loaded one when unknown).
std::u16string_view textIn(std::int32_t language, Text which);

// ---- Configuration file ----------------------------------------------------

inline constexpr std::string_view kConfigFileName = "VondelCorvantixConfig";

struct MonitorSettings {
    bool screenshot = false;
    bool silent = false;
    bool autoCheckUpdate = true;
    friend bool operator==(const MonitorSettings&, const MonitorSettings&) = default;
};

// The three lines, in order, each ended by "\n".
std::string buildConfigText(const MonitorSettings& settings);

struct ConfigRead {
    MonitorSettings settings;
    bool rewrite = false; // the file lacks a key (or is missing or empty)
};
// Each key's "=false" wins over its "=true"; a key with neither keeps its
// default and asks for the file to be written again.
ConfigRead parseConfigText(const std::optional<std::string>& fileText);

// Reads the file, and writes it once when it lacks anything.
MonitorSettings readConfigFile(const std::filesystem::path& path);

// ---- About box -------------------------------------------------------------

inline constexpr std::u16string_view kAboutCaption = u"VondelCorvantix Monitor";
inline constexpr std::u16string_view kServiceVersion = u"1.0.22.0804";
inline constexpr std::u16string_view kMonitorVersion = u"1.0.20.0309";
inline constexpr std::u16string_view kPublisher = u"Vondel Software";

// "<display name> <version label><version> \n" per component found under
// the folder; the walk stops entering folders once one is listed.
std::u16string listInstalledComponents(const std::filesystem::path& folder);

// The About text of the loaded language with every placeholder filled.
std::u16string aboutText(bool debugMode, std::u16string_view components);
