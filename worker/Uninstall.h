#pragma once

// Uninstall detection: after a component's uninstaller has run, the product
// stays when libraries of other components are still installed in the
// subfolders of the service's program folder, where the adapters are
// installed (the monitor is told to start), and is removed
// otherwise (its uninstaller runs silently, the data folder's libraries go,
// and the worker deletes itself).

#include "worker/WorkerContext.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Breadth-first below the folder: entries whose names match the pattern
// (shell wildcards); a matching folder is searched in turn, any other entry
// is listed. Links are listed, never followed. False, with a log line, when
// a folder cannot be searched.
bool listFiles(const std::filesystem::path& folder, std::string_view pattern,
               std::vector<std::filesystem::path>& list);

// The arguments of the text after the option: words split at blanks (at most
// 16; double quotes keep blanks inside a word and are dropped). A word that
// was quoted, holds ".exe" or names an existing file ends an argument; other
// words run up to and including the next such word, or to the last word,
// joined by single blanks, so that a program path with blanks is one argument.
std::vector<std::string> uninstallArguments(std::string_view text);

// The option "-uninstalldetect <uninstaller> <second argument>"; the exit code.
int uninstallDetect(WorkerContext& context, std::string_view argumentText);
