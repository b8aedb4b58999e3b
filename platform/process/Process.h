#pragma once

// Starting programs the way the original platform starts them hidden: no
// terminal, no standard streams, no inherited descriptors. Program names keep
// their written form ("VondelCorvantixWorker.exe"); ".exe" is dropped when
// the file is looked up.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

// The running program's file, and its folder.
std::optional<std::filesystem::path> executableFile();
std::optional<std::filesystem::path> executableFolder();

// Splits a command line into words: blanks separate, double quotes group,
// a backslash before a quote keeps the quote.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Finds a program: a name with "/" is taken as it is; a bare name is looked
// for in the running program's folder first, then along PATH.
std::optional<std::filesystem::path> findProgram(std::string_view name);

// Starts argv[0] (looked up with findProgram) with the rest as arguments,
// standard streams on /dev/null. The pid, or nullopt when it cannot start.
std::optional<pid_t> startHidden(const std::vector<std::string>& argv);
// The same with the variables given ("NAME=value") set on top of this
// process's environment; without a pid, error is the errno value why not.
std::optional<pid_t> startHidden(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment, int& error);

// Waits for a started program; its exit code, or 128 + the signal that ended it.
int waitForExit(pid_t pid);

// Lets a started program run on; it is reaped when it ends.
void detach(pid_t pid);

struct CapturedRun {
    int exitCode = -1; // as waitForExit gives it
    std::string out;   // what it wrote on standard output
};
// Runs a program as startHidden does, but keeps its standard output;
// nullopt when it cannot start.
std::optional<CapturedRun> runCaptured(const std::vector<std::string>& argv);

// Deletes the file after the delay from a process of its own that outlives
// the caller (it holds nothing of the caller's open). False when that
// process cannot be made.
bool deleteFileLater(const std::filesystem::path& file, std::chrono::milliseconds delay);

} // namespace platform
