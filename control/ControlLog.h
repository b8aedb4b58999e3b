#pragma once

// The control's own diagnostic log: one text file named in "Tavelo.ini",
// with the day's date in its name, one line per call.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kLogFatal = 1;
inline constexpr int kLogError = 2;
inline constexpr int kLogWarn = 3;
inline constexpr int kLogInfo = 4;
inline constexpr int kLogDebug = 5;

// Reads the configuration once: -1 when already initialised, else the ini
// reader's result for "Log Level" (0 when found).
int Log_Init(const char* section, const char* iniName);
// 0 when written, -2 when level is above the configured one, -3 when the
// file cannot be opened.
int Log_Write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// One line: label, length in decimal, the bytes as upper-case hex.
int Log_HexDump(int level, const char* label, const std::uint8_t* data, std::size_t length);

// ---- The steps of a line, exposed for tests ----------------------------------

// Formats in memory and hands the whole text to fd in one write(), so lines
// of several threads appending to one file never mix. Bytes written, or -1.
int Log_FilePrintf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Today's local date, "YYYYMMDD".
std::string Log_DateText();
// "YYYY-MM-DD hh:mm:ss (n)", local time and the milliseconds since Log_Init.
std::string Log_TimeStamp();
// The name with "_" and the date put in front of the last element's ending
// ("D:\x\card.txt" -> "D:\x\card_20240302.txt"), or after it when it has none.
std::string Log_DatedName(std::string_view name, std::string_view date);
// The dated file name as configured (written the Windows way), and the level;
// empty and 0 before Log_Init.
std::string Log_FileName();
int Log_Level();
// Back to the state at process start. Not for use while other threads log.
void Log_ResetForTest();
