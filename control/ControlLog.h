#pragma once

// The control's own diagnostic log: one text file named in "Tavelo.ini",
// with the day's date in its name, one line per call.

#include <cstddef>
#include <cstdint>
#include <string>

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
