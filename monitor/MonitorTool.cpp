#include "monitor/MonitorTool.h"

#include "platform/folders/Folders.h"

#include <cstdio>

namespace {

constexpr std::string_view kDisplayNameFile = "DisplayName.txt";

// Two digits, a leading "0" where needed.
std::string twoDigits(int value) {
    std::string text = std::to_string(value);
    return text.size() < 2 ? std::string(2 - text.size(), '0') + text : text;
}

} // namespace

bool isDisplayNameFile(std::optional<std::string_view> path) {
    return path && path->size() >= kDisplayNameFile.size() && path->ends_with(kDisplayNameFile);
}

std::string getTimeText(const std::tm& local) {
    return std::to_string(local.tm_year + 1900) + "-" + twoDigits(local.tm_mon + 1) + "-" +
           twoDigits(local.tm_mday) + " " + twoDigits(local.tm_hour) + "-" +
           twoDigits(local.tm_min) + "-" + twoDigits(local.tm_sec);
}

std::string getTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) {
        return "Unknow time";
    }
    return getTimeText(local);
}

void makeFolderChain(std::string_view path) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            const auto folder = path.substr(0, i);
            if (!folder.empty()) {
                std::error_code ec; // an existing or unmakeable folder is passed over
                std::filesystem::create_directory(platform::nativePath(folder), ec);
            }
        }
    }
}

std::optional<std::filesystem::path> getDesktopPath() {
    auto desktop = platform::folderPath(platform::Folder::Desktop);
    if (desktop.empty()) {
        return std::nullopt;
    }
    return desktop;
}
