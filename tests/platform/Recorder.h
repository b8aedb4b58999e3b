#pragma once

// A window procedure for tests that records every message it is given.

#include "platform/window/MessageWindow.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform_test {

class Recorder {
public:
    struct Seen {
        std::uint32_t message;
        std::uint32_t param;
        std::string data;
        std::uint64_t wParam = 0;
        std::int64_t lParam = 0;
    };
    using Answer = std::function<std::uint32_t(const platform::WindowMessage&)>;

    // Records the message, then after the delay answers what answer gives
    // (0 without one).
    platform::WindowProc proc(std::chrono::milliseconds delay = {}, Answer answer = {}) {
        return [this, delay, answer](const platform::WindowMessage& m) {
            std::this_thread::sleep_for(delay);
            std::lock_guard lock(mutex_);
            seen_.push_back({m.message, m.param, std::string(m.data), m.wParam, m.lParam});
            changed_.notify_all();
            return answer ? answer(m) : 0u;
        };
    }

    // Waits until at least count messages were seen.
    std::vector<Seen> waitFor(std::size_t count,
                              std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return seen_.size() >= count; });
        return seen_;
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

} // namespace platform_test
