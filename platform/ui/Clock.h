#pragma once

// The clock of the dialog layer: timers, sleeps, modal ceilings and the
// wall-clock time the dialogs read all run on it. It is the real clock, or a
// manual one that stands still until a test advances it.
//
// An advance walks from deadline to deadline (timers, sleeps, ceilings):
// at each it sets the time to that deadline and waits until every thread of
// the layer has settled, that is, has handled what is due and waits again,
// so a handler that stops and starts its timer on each tick sees every
// tick. A thread counts as busy while it handles a message it took from its
// queue, and, once woken from sleepFor, until it waits on the layer again or
// ends.
//
// CORVANTIX_UI_CLOCK=manual starts a process on the manual clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <stop_token>

namespace platform::ui {

using TimePoint = std::chrono::steady_clock::time_point;
using Milliseconds = std::chrono::milliseconds;

TimePoint now();
// Milliseconds since the clock started, as a 32-bit tick count wraps.
std::uint32_t tickCount();
// The wall-clock time in whole seconds: the real time when the clock was
// set, moved on as the clock moves.
std::time_t wallClockSeconds();

// Switch clocks. Meant for a test's start, before any window exists.
void useManualClock();
void useRealClock();
bool manualClock();

enum class AdvanceResult {
    Done,
    RealClock,  // the clock is real: nothing to advance
    NotSettled, // a thread stayed busy longer than the settle limit
};

// Moves the manual clock on and returns once every due tick was handled.
AdvanceResult advanceClock(Milliseconds by, Milliseconds settleLimit = Milliseconds(10000));

// Sleeps on the layer's clock (handles no messages meanwhile).
void sleepFor(Milliseconds duration);
// The same, cut short when stop is requested, so that a thread sleeping on
// the manual clock can be joined without moving the clock; false when it
// was stopped.
bool sleepFor(Milliseconds duration, std::stop_token stop);
// How many threads sleep on the clock now, so that a test can let a
// sleeping thread reach its sleep before it moves the clock.
std::size_t sleepingThreads();

} // namespace platform::ui
