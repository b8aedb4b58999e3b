#include "monitor/MonitorText.h"

#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "common/ToolText.h"
#include "monitor/MonitorTool.h"
#include "platform/shell/Locale.h"

#include <array>
#include <atomic>
#include <clocale>
#include <system_error>

namespace {

constexpr std::size_t kTextCount = static_cast<std::size_t>(Text::Count);
constexpr std::size_t kListMax = 511;

#define RIGHTS u"Copyright (C) =ThisYear= =Publisher=. All rights reserved. \n"

// Columns: Traditional Chinese, English, Japanese, Simplified Chinese.
constexpr std::array<std::array<std::u16string_view, 4>, kTextCount> kTexts = {{
    {u"已啟動", u"turned on", u"起動している", u"已启动"},
    {u"已關閉", u"turned off", u"停止している", u"已关闭"},
    {u"已重新啟動", u"already restarted", u"再起動している", u"已重新启动"},
    {u"啟動", u"Start", u"起動する", u"启动"},
    {u"停止", u"Stop", u"停止する", u"停止"},
    {u"重新啟動", u"Restart", u"再起動する", u"重新启动"},
    {u"關於", u"About", u"バージョン情報", u"关于"},
    {u"語言", u"Language", u"語言", u"語言"},
    {u"離開", u"Quit", u"中止", u"退出"},
    {u"繁體中文", u"TradChinese", u"繁体字中国語", u"繁体中文"},
    {u"英文", u"English", u"英語", u"英文"},
    {u"日文", u"Japanese", u"日本語", u"日文"},
    {u"簡體中文", u"SimpChinese", u"簡体字中国語", u"简体中文"},
    {u"系統提示", u"System hint", u"システムメッセージ", u"系统提示"},
    {u"螢幕截圖", u"Screenshots", u"スクリーンショット", u"萤幕截图"},
    {u"已成功輸出 ==FileName== 至桌面", u"Output ==FileName== to desktop success",
     u"デスクトップに ==FileName== を出力完了", u"已成功輸出 ==FileName== 至桌面"},
    {u"關閉除錯模式", u"Turn off debug mode", u"デバッグモードを停止する", u"关闭除错模式"},
    {u"開啟除錯模式", u"Turn on debug mode", u"デバッグモードを起動する", u"开启除错模式"},
    {u"版本：", u"Version:", u"バージョン：", u"版本："},
    {u"切換至", u"Switch to", u"に切り替え", u"切换至"},
    {u"=InstallerVersion=" RIGHTS, u"=InstallerVersion=" RIGHTS, u"=InstallerVersion=" RIGHTS,
     u"=InstallerVersion=" RIGHTS},
    {u"=InstallerVersion==CorvantixName= 主程式版本：=ServerVersion= \nMonitor "
     u"版本：=MonitorVersion= "
     u"\n" RIGHTS,
     u"=InstallerVersion==CorvantixName= program version: =ServerVersion= \nMonitor version: "
     u"=MonitorVersion= \n" RIGHTS,
     u"=InstallerVersion==CorvantixName= プログラムバージョン：=ServerVersion= \nMonitor "
     u"バージョン：=MonitorVersion= \n" RIGHTS,
     u"=InstallerVersion==CorvantixName= 主程式版本：=ServerVersion= \nMonitor "
     u"版本：=MonitorVersion= "
     u"\n" RIGHTS},
}};

#undef RIGHTS

std::atomic<std::int32_t> current{Language_TradChinese};
// The column of the texts loaded; Traditional Chinese until the first load.
std::atomic<int> loadedColumn{0};

std::optional<int> columnOf(std::int32_t language) {
    switch (language) {
    case Language_TradChinese:
        return 0;
    case Language_English:
        return 1;
    case Language_Japan:
        return 2;
    case Language_SimpChinese:
        return 3;
    default:
        return std::nullopt;
    }
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::u16string replaced(std::u16string text, std::u16string_view pattern,
                        std::u16string_view replacement) {
    for (std::size_t at = text.find(pattern); at != std::u16string::npos;
         at = text.find(pattern, at + replacement.size())) {
        text.replace(at, pattern.size(), replacement);
    }
    return text;
}

std::string fileText(const std::filesystem::path& path) {
    return readFileText(path).value_or("").substr(0, kListMax);
}

void addComponentLine(const std::filesystem::path& path, std::u16string& list) {
    const std::string name = path.string();
    std::filesystem::path version =
        name.substr(0, name.size() - std::string_view("DisplayName.txt").size()) + "Version.txt";
    // Component texts are written in Big5.
    const auto displayName = multiByteToText(950, fileText(path)).value_or(u"");
    const auto versionText = multiByteToText(950, fileText(version)).value_or(u"");
    list += displayName + u" " + std::u16string(text(Text::Version)) + versionText + u" \n";
    if (list.size() > kListMax) {
        list.resize(kListMax);
    }
}

// Links are passed by, whatever they point at: a link back up would make
// the walk endless.
void walkComponents(const std::filesystem::path& folder, std::u16string& list) {
    if (!list.empty()) {
        return;
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const auto& path = it->path();
        std::error_code kind;
        if (it->is_symlink(kind)) {
            continue;
        }
        if (isDisplayNameFile(path.string())) {
            addComponentLine(path, list);
        } else if (it->is_directory(kind)) {
            walkComponents(path, list);
        }
    }
}

} // namespace

std::int32_t languageOfLocale(std::string_view localeName) {
    const std::string name = toLowerString(localeName.substr(0, 511));
    logNormal("Detect language: ", name);
    if (contains(name, "chinese")) {
        if (contains(name, "simplified")) {
            logNormal("Language: ", "Language_SimpChinese");
            return Language_SimpChinese;
        }
        logNormal("Language: ", "Language_TradChinese");
        return Language_TradChinese;
    }
    if (contains(name, "english")) {
        logNormal("Language: ", "Language_English");
        return Language_English;
    }
    if (name.starts_with("ja")) {
        logNormal("Language: ", "Language_Japan");
        return Language_Japan;
    }
    logNormal("Language (default): ", "Language_English");
    return Language_English;
}

std::int32_t detectLanguage() {
    std::setlocale(LC_ALL, "");
    return languageOfLocale(platform::shell::userLocaleName());
}

std::int32_t currentLanguage() {
    return current;
}

void setCurrentLanguage(std::int32_t language) {
    current = language;
}

void loadLanguageText() {
    if (const auto column = columnOf(current)) {
        loadedColumn = *column;
    }
}

std::u16string_view text(Text which) {
    return kTexts[static_cast<std::size_t>(which)][static_cast<std::size_t>(loadedColumn.load())];
}

std::u16string_view textIn(std::int32_t language, Text which) {
    const int column = columnOf(language).value_or(loadedColumn.load());
    return kTexts[static_cast<std::size_t>(which)][static_cast<std::size_t>(column)];
}

std::string buildConfigText(const MonitorSettings& settings) {
    const auto word = [](bool value) { return value ? "true" : "false"; };
    return std::string("isScreenShot=") + word(settings.screenshot) + "\n" +
           "silentmode=" + word(settings.silent) + "\n" +
           "autocheckupdate=" + word(settings.autoCheckUpdate) + "\n";
}

ConfigRead parseConfigText(const std::optional<std::string>& fileText) {
    ConfigRead read;
    if (!fileText || fileText->empty()) {
        read.rewrite = true;
        return read;
    }
    const auto setting = [&](std::string_view key, bool& value) {
        const std::string name(key);
        if (contains(*fileText, name + "=false")) {
            value = false;
        } else if (contains(*fileText, name + "=true")) {
            value = true;
        } else {
            read.rewrite = true;
        }
    };
    setting("isScreenShot", read.settings.screenshot);
    setting("silentmode", read.settings.silent);
    setting("autocheckupdate", read.settings.autoCheckUpdate);
    return read;
}

MonitorSettings readConfigFile(const std::filesystem::path& path) {
    const ConfigRead read = parseConfigText(readFileText(path));
    // Written once, after every key was read, so a present key is never lost.
    if (read.rewrite && !writeTextFile(path, buildConfigText(read.settings))) {
        logWarning("Write config file: ", "Fail");
    }
    return read.settings;
}

std::u16string listInstalledComponents(const std::filesystem::path& folder) {
    std::u16string list;
    walkComponents(folder, list);
    return list;
}

std::u16string aboutText(bool debugMode, std::u16string_view components) {
    std::u16string about(text(debugMode ? Text::AboutLong : Text::AboutShort));
    about = replaced(about, u"=CorvantixName=", u"VondelCorvantix");
    about = replaced(about, u"=ServerVersion=", kServiceVersion);
    about = replaced(about, u"=MonitorVersion=", kMonitorVersion);
    about = replaced(about, u"=Publisher=", kPublisher);
    about = replaced(about, u"=ThisYear=", u"2022");
    about = replaced(about, u"=InstallerVersion=", components);
    return about.substr(0, 511);
}
