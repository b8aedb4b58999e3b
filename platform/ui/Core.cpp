#include "platform/ui/Core.h"

#include "platform/ui/ScriptedBackend.h"
#include "platform/ui/X11Backend.h"
#include "platform/windowlist/WindowList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace platform::ui {
namespace detail {
namespace {

thread_local std::uint32_t tLastError = 0;

// Owns the thread's queue; when the thread ends, its windows go with it
// (without their procedures: the thread's own state is already gone) and
// every action waiting on it is let go.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder();
};
thread_local QueueHolder tQueue;

QueueHolder::~QueueHolder() {
    if (!queue) {
        return;
    }
    Core& c = core();
    std::vector<std::shared_ptr<DialogState>> orphans;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(c.mutex);
        backend = c.backend;
        for (auto it = c.dialogs.begin(); it != c.dialogs.end();) {
            if (it->second->thread == queue) {
                it->second->destroyed = true;
                for (const auto& control : it->second->controls) {
                    c.controlParent.erase(control.handle);
                }
                orphans.push_back(it->second);
                it = c.dialogs.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& item : queue->posted) {
            if (item.done) {
                item.done->finished = true;
                item.done->gone = !item.done->started;
            }
        }
        queue->posted.clear();
        for (auto& done : queue->handled) {
            done->finished = true;
        }
        queue->handled.clear();
        for (auto& sent : queue->sent) {
            sent->finished = true;
        }
        queue->sent.clear();
        std::erase(c.threads, queue);
        c.changed.notify_all();
    }
    for (const auto& dialog : orphans) {
        platform::destroyTopLevelWindow(dialog->handle);
        if (backend && dialog->opened) {
            backend->dialogClosed({dialog->handle, dialog->templateId, dialog->kind, dialog->result,
                                   dialog->timedOut});
        }
    }
}

bool envManual() {
    const char* value = std::getenv("CORVANTIX_UI_CLOCK");
    return value != nullptr && std::strcmp(value, "manual") == 0;
}

bool allSettled(const Core& c, TimePoint at) {
    for (const auto& queue : c.threads) {
        if (queue->sleepUntil) {
            if (*queue->sleepUntil <= at) {
                return false;
            }
            continue;
        }
        if (queue->busy) {
            return false;
        }
        if (queue->waiting && hasWork(c, *queue, at)) {
            return false;
        }
    }
    return true;
}

// The earliest deadline after one time and not beyond another.
std::optional<TimePoint> nextDeadline(const Core& c, TimePoint after, TimePoint until) {
    std::optional<TimePoint> best;
    const auto consider = [&](TimePoint t) {
        if (t > after && t <= until && (!best || t < *best)) {
            best = t;
        }
    };
    for (const auto& queue : c.threads) {
        for (const auto& timer : queue->timers) {
            consider(timer.due);
        }
        for (const auto& ceiling : queue->ceilings) {
            consider(ceiling);
        }
        if (queue->sleepUntil) {
            consider(*queue->sleepUntil);
        }
    }
    return best;
}

} // namespace

Core::Core() {
    start = std::chrono::steady_clock::now();
    manualNow = start;
    wallAtStart = std::time(nullptr);
    manual = envManual();
}

Core::~Core() {
    // The backend's threads go first: they may be waiting on this state.
    std::shared_ptr<Backend> last;
    {
        std::lock_guard lock(mutex);
        last = std::move(backend);
    }
    last.reset();
}

Core& core() {
    static Core instance;
    return instance;
}

TimePoint nowLocked(const Core& c) {
    return c.manual ? c.manualNow : std::chrono::steady_clock::now();
}

ThreadQueue& currentQueue(Core& c) {
    if (!tQueue.queue) {
        tQueue.queue = std::make_shared<ThreadQueue>();
        tQueue.queue->id = std::this_thread::get_id();
        c.threads.push_back(tQueue.queue);
    }
    return *tQueue.queue;
}

std::shared_ptr<ThreadQueue> currentQueuePtr(Core& c) {
    currentQueue(c);
    return tQueue.queue;
}

ThreadQueue* existingQueue(Core&) {
    return tQueue.queue.get();
}

DialogState* findDialog(Core& c, Window window) {
    const auto it = c.dialogs.find(window);
    return it == c.dialogs.end() ? nullptr : it->second.get();
}

ControlRef findControl(Core& c, Window window) {
    const auto parent = c.controlParent.find(window);
    if (parent == c.controlParent.end()) {
        return {};
    }
    DialogState* dialog = findDialog(c, parent->second);
    if (dialog == nullptr) {
        return {};
    }
    for (auto& control : dialog->controls) {
        if (control.handle == window) {
            return {dialog, &control};
        }
    }
    return {};
}

DialogState* dialogOf(Core& c, Window window) {
    if (DialogState* dialog = findDialog(c, window)) {
        return dialog;
    }
    return findControl(c, window).dialog;
}

bool paintPending(const Core& c, const ThreadQueue& queue) {
    for (const auto& [handle, dialog] : c.dialogs) {
        if (dialog->thread.get() != &queue || !dialog->visible) {
            continue;
        }
        if (dialog->paintPending) {
            return true;
        }
        for (const auto& control : dialog->controls) {
            if (control.paintPending && control.visible) {
                return true;
            }
        }
    }
    return false;
}

const Timer* dueTimer(const ThreadQueue& queue, TimePoint at) {
    const Timer* best = nullptr;
    for (const auto& timer : queue.timers) {
        if (timer.due <= at && (best == nullptr || timer.due < best->due)) {
            best = &timer;
        }
    }
    return best;
}

bool hasWork(const Core& c, const ThreadQueue& queue, TimePoint at) {
    return !queue.sent.empty() || !queue.posted.empty() || queue.quitPosted ||
           dueTimer(queue, at) != nullptr ||
           (!queue.ceilings.empty() && queue.ceilings.back() <= at) || paintPending(c, queue);
}

void notifyAll(Core& c) {
    c.changed.notify_all();
}

LResult invoke(const WindowProc& proc, Window window, std::uint32_t message, WParam wParam,
               LParam lParam) {
    if (!proc) {
        return 0;
    }
    try {
        return proc(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

std::shared_ptr<Backend> ensureBackend() {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (c.backendChosen) {
            return c.backend;
        }
    }
    std::shared_ptr<Backend> made;
    switch (chooseBackend(std::getenv("CORVANTIX_UI_BACKEND"), std::getenv("DISPLAY"))) {
    case BackendChoice::NoBackend:
        break;
    case BackendChoice::Scripted:
        made = startScriptedBackend();
        break;
    case BackendChoice::Visible:
        made = startVisibleBackend();
        break;
    }
    std::lock_guard lock(c.mutex);
    if (!c.backendChosen) {
        c.backend = std::move(made);
        c.backendChosen = true;
    }
    return c.backend;
}

std::shared_ptr<Completion> postAction(Core& c, ThreadQueue& queue, std::vector<Queued> items) {
    auto done = std::make_shared<Completion>();
    if (items.empty()) {
        done->finished = true;
        return done;
    }
    for (auto& item : items) {
        item.done = done;
        queue.posted.push_back(std::move(item));
    }
    notifyAll(c);
    return done;
}

} // namespace detail

using namespace detail;

std::uint32_t lastError() {
    return tLastError;
}

void setLastError(std::uint32_t error) {
    tLastError = error;
}

void setBackend(std::shared_ptr<Backend> backend) {
    Core& c = core();
    std::shared_ptr<Backend> old;
    {
        std::lock_guard lock(c.mutex);
        old = std::exchange(c.backend, std::move(backend));
        c.backendChosen = true;
    }
}

std::shared_ptr<Backend> currentBackend() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.backend;
}

TimePoint now() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return nowLocked(c);
}

std::uint32_t tickCount() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto elapsed = std::chrono::duration_cast<Milliseconds>(nowLocked(c) - c.start);
    return static_cast<std::uint32_t>(elapsed.count());
}

std::time_t wallClockSeconds() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(nowLocked(c) - c.start);
    return c.wallAtStart + static_cast<std::time_t>(elapsed.count());
}

void useManualClock() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    c.start = std::chrono::steady_clock::now();
    c.manualNow = c.start;
    c.wallAtStart = std::time(nullptr);
    c.manual = true;
    notifyAll(c);
}

void useRealClock() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (c.manual) {
        c.start = std::chrono::steady_clock::now();
        c.wallAtStart = std::time(nullptr);
        c.manual = false;
    }
    notifyAll(c);
}

bool manualClock() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.manual;
}

AdvanceResult advanceClock(Milliseconds by, Milliseconds settleLimit) {
    Core& c = core();
    Lock lock(c.mutex);
    if (!c.manual) {
        return AdvanceResult::RealClock;
    }
    const auto settle = [&] {
        const auto limit = std::chrono::steady_clock::now() + settleLimit;
        return c.changed.wait_until(lock, limit, [&] { return allSettled(c, c.manualNow); });
    };
    if (!settle()) {
        return AdvanceResult::NotSettled;
    }
    const TimePoint target = c.manualNow + std::max(by, Milliseconds(0));
    while (const auto next = nextDeadline(c, c.manualNow, target)) {
        c.manualNow = *next;
        notifyAll(c);
        if (!settle()) {
            return AdvanceResult::NotSettled;
        }
    }
    c.manualNow = target;
    notifyAll(c);
    return settle() ? AdvanceResult::Done : AdvanceResult::NotSettled;
}

void sleepFor(Milliseconds duration) {
    sleepFor(duration, std::stop_token());
}

bool sleepFor(Milliseconds duration, std::stop_token stop) {
    Core& c = core();
    // Declared before the lock: a stop that runs the callback meanwhile is
    // waited for here, after the lock is let go.
    const std::stop_callback wake(stop, [&c] {
        std::lock_guard lock(c.mutex);
        notifyAll(c);
    });
    Lock lock(c.mutex);
    ThreadQueue& queue = currentQueue(c);
    const TimePoint until = nowLocked(c) + std::max(duration, Milliseconds(0));
    queue.sleepUntil = until;
    queue.busy = false;
    notifyAll(c);
    while (nowLocked(c) < until && !stop.stop_requested()) {
        if (c.manual) {
            c.changed.wait(lock);
        } else {
            c.changed.wait_until(lock, until);
        }
    }
    queue.sleepUntil.reset();
    // Busy until it waits again: what it does after waking may start timers.
    queue.busy = true;
    notifyAll(c);
    return !stop.stop_requested();
}

} // namespace platform::ui

namespace platform::ui {

std::size_t sleepingThreads() {
    detail::Core& c = detail::core();
    std::lock_guard lock(c.mutex);
    return static_cast<std::size_t>(
        std::count_if(c.threads.begin(), c.threads.end(),
                      [](const auto& q) { return q->sleepUntil.has_value(); }));
}

} // namespace platform::ui
