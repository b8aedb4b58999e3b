#include "service/CorvantixTopUI.h"

#include "common/ToolLog.h"
#include "platform/text/TextCodec.h"
#include "platform/windowlist/WindowList.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kInitialCapacity = 256;
constexpr auto kPassInterval = std::chrono::milliseconds(300);
constexpr std::size_t kTitleMax = 511;

pid_t targetProcess = 0;
std::atomic<bool> allWindows{false};
std::vector<platform::WindowHandle> known;
std::size_t capacity = kInitialCapacity;
std::atomic<int> phase{0};
bool stopFlag = false;
std::mutex stopLock;
std::condition_variable stopSignal;
std::thread watcher;
std::atomic<bool> threadFault{false};

bool isKnown(platform::WindowHandle window) {
    for (const auto h : known) {
        if (h == window) {
            return true;
        }
    }
    return false;
}

// Called for each window of a pass; false ends the pass.
bool enumTopUIWindow(const platform::TopLevelWindow& window) {
    if (!allWindows && window.owner != targetProcess) {
        return true;
    }
    if (known.size() >= capacity) {
        try {
            known.reserve(capacity * 2);
        } catch (const std::bad_alloc&) {
            logError("", "Resizing WNDListSize failed");
            return false;
        }
        capacity *= 2;
        logNormalInt("Resize WNDListSize to ", static_cast<long>(capacity));
    }
    if (phase == 2) {
        if (isKnown(window.handle)) {
            return true;
        }
        const std::string title = window.title.substr(0, kTitleMax);
        if (title != "MSCTFIME UI" && title != "Default IME") {
            logNormalW("Set UI top: ", platform::utf8ToUtf16(title));
            platform::setWindowTopMost(window.handle, true);
            logNormal("Set UI top: ", "Complete");
        }
    }
    known.push_back(window.handle);
    return true;
}

void enumeratePass() {
    for (const auto& window : platform::enumTopLevelWindows()) {
        if (!enumTopUIWindow(window)) {
            break;
        }
    }
}

void topUIThread() {
    phase = 2;
    for (;;) {
        {
            // The pause between passes ends early on a stop, so a call is
            // not held up by the watcher.
            std::unique_lock lock(stopLock);
            if (stopSignal.wait_for(lock, kPassInterval, [] { return stopFlag; })) {
                return;
            }
        }
        enumeratePass();
    }
}

} // namespace

std::size_t topUICapacity() {
    return capacity;
}

void startTopUI(pid_t processId, int mode) {
    targetProcess = processId;
    allWindows = mode == kTopUIAllWindows;
    known.clear();
    known.reserve(capacity);
    phase = 1;
    enumeratePass();
    {
        std::lock_guard lock(stopLock);
        stopFlag = false;
    }
    if (threadFault) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    watcher = std::thread(topUIThread);
}

void setTopUIThreadFault(bool fail) {
    threadFault = fail;
}

void stopTopUI() {
    {
        std::lock_guard lock(stopLock);
        stopFlag = true;
    }
    stopSignal.notify_all();
    if (watcher.joinable()) {
        watcher.join();
    }
    allWindows = false;
    known.clear();
    known.shrink_to_fit();
}
