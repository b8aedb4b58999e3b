#pragma once

// The control's log lines that begin with the source file's name, the line
// and the function: "<file> <line> <function> <text>".

#include "control/ControlLog.h"

constexpr const char* controlLogFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

#define CTL_LOG(level, format, ...)                                                                \
    Log_Write((level), "%s %d %s " format, controlLogFileName(__FILE__), __LINE__,                 \
              __func__ __VA_OPT__(, ) __VA_ARGS__)
