#include "control/ui/ReaderWatch.h"

#include "control/ControlThreads.h"

#include "control/ControlBarrier.h"

#include <chrono>

namespace pcsc = platform::pcsc;

void ReaderWatchThread::start(std::function<int(ReaderWatchThread&)> body) {
    stop();
    {
        std::lock_guard lock(mutex_);
        context_ = 0;
        attached_ = false;
        stop_ = false;
        done_ = false;
        result_ = 0;
    }
    thread_ = std::thread([this, body = std::move(body), count = tavelo::ControlThreadCount()] {
        const int result = controlBarrier("ReaderWatchThread", -1, [&] { return body(*this); });
        std::lock_guard lock(mutex_);
        attached_ = false;
        done_ = true;
        result_ = result;
        ended_.notify_all();
    });
}

bool ReaderWatchThread::started() const {
    return thread_.joinable();
}

std::optional<int> ReaderWatchThread::stop() {
    if (!thread_.joinable()) {
        return std::nullopt;
    }
    std::unique_lock lock(mutex_);
    stop_ = true;
    // A cancel reaches only a wait under way: one that begins just after it
    // would not see it, so the cancel is repeated until the thread is out.
    while (!done_) {
        if (attached_) {
            pcsc::SCardCancel(context_);
        }
        ended_.wait_for(lock, std::chrono::milliseconds(20));
    }
    const int result = result_;
    lock.unlock();
    thread_.join();
    return result;
}

bool ReaderWatchThread::attach(pcsc::ContextHandle context) {
    std::lock_guard lock(mutex_);
    if (stop_) {
        return false;
    }
    context_ = context;
    attached_ = true;
    return true;
}

void ReaderWatchThread::detach() {
    std::lock_guard lock(mutex_);
    attached_ = false;
    context_ = 0;
}

bool ReaderWatchThread::stopping() const {
    std::lock_guard lock(mutex_);
    return stop_;
}
