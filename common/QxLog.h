#pragma once

// The log library: one settings record per process, every line appended to
// the shared log file under the machine-wide mutex "Global\QxLog".

#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kLogFileNameMax = 127;
inline constexpr const char* kLogDefaultFile = "C:\\QxLog.log";
inline constexpr const char* kLogMutexName = "Global\\QxLog";

struct LogSettings {
    std::string fileName; // as configured, at most kLogFileNameMax characters
    int level = 0;
    bool enabled = false;
    int maxSize = 0;  // bytes; 0 or less: no limit
    int rollOver = 0; // only grows
    bool mutexOpen = false;
};

// Reads "Log File", "Log MaxSize" and "Log Level" from the section. -1 when
// logging is already enabled; else the reader's result for "Log Level".
int logConfigure(std::string_view section, const std::filesystem::path& iniPath);

// Level 0 turns logging off; a non-zero level with a file name sets both.
int logSetTarget(std::optional<std::string_view> fileName, int level);

// -2 when the level is above the configured one, else writes one line and 0.
int logPrint(int level, int reserved, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int logPrintV(int level, int reserved, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// The steps of a line, exposed for tests.
struct LogFileName {
    std::string name;  // the dated (and numbered) file name
    std::string stamp; // "YYYY-MM-DD hh:mm:ss.mmm"
};
std::optional<LogFileName> logMakeFileName();
const LogSettings& logSettings();
const char* logLevelTag(int level);

// Back to the state at process start (for tests); the memory target stays
// as it was set.
void logResetForTest();

// The memory target, for fuzzing and tests: while on, every line is
// composed as for the file but kept in memory among the last
// kLogMemoryLines; no file is opened and the machine-wide mutex is not
// taken. Switching it either way empties the lines kept.
inline constexpr std::size_t kLogMemoryLines = 64;
void logSetMemoryTarget(bool on);
// The lines kept, oldest first, without their line ends.
std::vector<std::string> logMemoryLines();
// Every line kept since the target was last switched.
std::uint64_t logMemoryLineCount();
