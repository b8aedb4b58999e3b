#pragma once

// The one exception barrier for every boundary where an exception must not
// pass: library callbacks, thread entry points, exported functions. The body
// runs; an exception is logged with where it was caught and the fallback is
// the answer.

#include "common/ToolLog.h"

#include <exception>
#include <utility>

template <class Result, class Body>
Result exceptionBarrier(const char* where, Result fallback, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        try {
            logError(where, e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            logError(where, "Unknown exception");
        } catch (...) {
        }
    }
    return fallback;
}

// The same for a body with no result.
template <class Body>
void exceptionBarrier(const char* where, Body&& body) noexcept {
    exceptionBarrier(where, 0, [&] {
        std::forward<Body>(body)();
        return 0;
    });
}
