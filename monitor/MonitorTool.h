#pragma once

// Small helpers only the monitor uses: the component file test, the local
// time text of screenshot names, the folder chain of the debug INI file and
// the desktop folder.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// True when the path ends in "DisplayName.txt" exactly (letter case counts).
bool isDisplayNameFile(std::optional<std::string_view> path);

// "YYYY-MM-DD hh-mm-ss" of the local time, "Unknow time" when it cannot be had.
std::string getTimeText();
std::string getTimeText(const std::tm& local);

// Creates every folder along the path; the last part only when the path ends
// with a separator ("\" or "/"). Existing folders are fine.
void makeFolderChain(std::string_view path);

// The user's desktop folder (not created); nullopt when it cannot be had.
std::optional<std::filesystem::path> getDesktopPath();
