#pragma once

// The adapter library's two entry points, as the service binds them by name.
// The text returned belongs to the library until its next call.

#include "common/Json.h"

extern "C" {
using CallMethodFn = const char* (*)(const char* jsonText);
using CallJsonMapMethodFn = const char* (*)(const JsonMap* map, const char* functionName);
}

inline constexpr const char* kCallMethodName = "callMethod";
inline constexpr const char* kCallJsonMapMethodName = "callJsonMapMethod";
