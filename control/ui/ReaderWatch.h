#pragma once

// A thread that waits for PC/SC status changes without a time-out. It is
// never killed: stop() asks it to end and cancels its context's wait
// (SCardCancel) until it has left it, then joins it. The thread attaches its
// context before it waits, so stop() can reach it, and detaches it before
// the context is released.

#include "platform/pcsc/Pcsc.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class ReaderWatchThread {
public:
    ReaderWatchThread() = default;
    ~ReaderWatchThread() { stop(); }
    ReaderWatchThread(const ReaderWatchThread&) = delete;
    ReaderWatchThread& operator=(const ReaderWatchThread&) = delete;

    // Starts the body on a thread of its own (a running one is stopped
    // first). The body's answer is the thread's result.
    void start(std::function<int(ReaderWatchThread&)> body);
    bool started() const;
    // Ends and joins the thread; its result, nullopt when none ran.
    std::optional<int> stop();

    // On the thread. attach: false when a stop came first (the body then
    // ends without waiting). stopping: whether the thread is to end.
    bool attach(platform::pcsc::ContextHandle context);
    void detach();
    bool stopping() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    platform::pcsc::ContextHandle context_ = 0;
    bool attached_ = false;
    bool stop_ = false;
    bool done_ = false;
    int result_ = 0;
    std::thread thread_;
};
