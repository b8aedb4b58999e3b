#pragma once

// "-watchdog": waits for the monitor to end and then resets everything. One
// watchdog runs per user (its mutex); it receives on its own channel, where
// the quit instruction ends it, and publishes a user-switch flag of its own,
// so a session lock or disconnect does not end it.

#include "worker/WorkerContext.h"

#include <chrono>

inline constexpr std::string_view kWatchdogChannel = "VondelCorvantixWatchdog";

// The monitor counts as ended only once its instance mutex was seen held, or
// after this long without it: a watchdog started together with a new
// monitor may look before that monitor holds its mutex.
inline constexpr auto kMonitorStartGrace = std::chrono::seconds(10);

// A monitor that cannot start (the shell down) would be reset for ever: the
// resets in a row after which no monitor came are counted in this variable,
// which each reset passes on to the next watchdog. Such a watchdog waits
// for its monitor the grace time times 2^count; at the bound it waits the
// grace time and then resets no more. A monitor seen starts the count anew.
inline constexpr std::string_view kResetsVariable = "CORVANTIX_WATCHDOG_RESETS";
inline constexpr int kResetsWithoutMonitorMax = 4;

// The option; the exit code (0).
int runWatchdog(WorkerContext& context);
