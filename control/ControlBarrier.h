#pragma once

// The exception barrier of the control, for every place where an exception
// must not pass: dialog and window procedures, thread entry points, the
// functions the card methods call. The body runs; an exception is written to
// the control's log with where it was caught, and the fallback is the answer.
// (The control links none of the shared routines, so it logs through its own
// log, not through the shared one.)

#include "control/ControlLog.h"

#include <exception>
#include <utility>

// Writing the line may itself fail (no memory): that is swallowed too.
inline void logCaught(const char* where, const char* what) noexcept {
    try {
        Log_Write(kLogError, "%s exception: %s", where, what);
    } catch (...) {
    }
}

template <class Result, class Body>
Result controlBarrier(const char* where, Result fallback, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logCaught(where, e.what());
    } catch (...) {
        logCaught(where, "unknown");
    }
    return fallback;
}

// The same for a body with no result.
template <class Body>
void controlBarrier(const char* where, Body&& body) noexcept {
    controlBarrier(where, 0, [&] {
        std::forward<Body>(body)();
        return 0;
    });
}
