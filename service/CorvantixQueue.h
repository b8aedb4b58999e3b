#pragma once

// The path table: the one adapter a page may have the service load, named by
// a path identifier or by its folder and component names.

#include <cstddef>
#include <string>
#include <string_view>

// Pages name the adapter by this identifier (compared without regard to case).
inline constexpr std::string_view kCorvantixPathId = "7C3E9A15D2B84F60A1E5C7D93B2F4E86";

inline constexpr std::size_t kPathNameSize = 64;
inline constexpr std::size_t kInstallerNameSize = 512;

// 0 when pathId is the table's (libDir and comName then become the table's),
// else 1 with both left as they were.
int lookupPathId(std::string_view pathId, std::string& libDir, std::string& comName);

// True when both names are the table's, in any case; logs the comparison.
bool checkPathTable(std::string_view libDir, std::string_view comName);

// Drops the characters that could leave a folder or reach a shell, keeping at
// most size - 1 characters; exactly ".." becomes empty.
std::string sanitizeName(std::string_view text, std::size_t size);
