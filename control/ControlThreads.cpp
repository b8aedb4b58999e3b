#include "control/ControlThreads.h"

#include <atomic>

namespace tavelo {

namespace {

std::atomic<long> running{0};

} // namespace

ControlThreadCount::ControlThreadCount() noexcept {
    running.fetch_add(1, std::memory_order_relaxed);
}

ControlThreadCount::~ControlThreadCount() {
    if (counted_) {
        running.fetch_sub(1, std::memory_order_acq_rel);
    }
}

ControlThreadCount::ControlThreadCount(ControlThreadCount&& other) noexcept {
    other.counted_ = false;
}

bool controlThreadsAlive() noexcept {
    return running.load(std::memory_order_acquire) != 0;
}

} // namespace tavelo
