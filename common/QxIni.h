#pragma once

// Plain section / key reader for INI files.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

inline constexpr int kIniFound = 0;
inline constexpr int kIniNoFile = 101;
inline constexpr int kIniNoSection = 102;
inline constexpr int kIniNoKey = 103;
inline constexpr int kIniCut = 104;

// Reads key in the first section of that name. out is emptied once the
// section is found (left alone after kIniNoFile and kIniNoSection) and holds
// at most outSize - 1 characters; a longer value is cut and gives kIniCut.
// Only a regular file of the user's or root's that nobody else may write is
// read: any other is as one that cannot be opened (kIniNoFile).
int iniGetString(std::string_view section, std::string_view key, std::string& out,
                 std::size_t outSize, const std::filesystem::path& path);

// The steps of the reader, exposed for the control's copy and for tests.
bool iniIsSection(std::string_view line, std::string_view name);
// The value's start when the line sets key, else npos.
std::size_t iniMatchKey(std::string_view line, std::string_view key);
std::string iniTrimValue(std::string_view value);
// Whether iniGetString would read the file at all.
bool iniTrusted(const std::filesystem::path& path);
