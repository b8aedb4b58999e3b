#include "worker/Watchdog.h"

#include "common/Message.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/event/NamedEvent.h"
#include "worker/Worker.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr const char* kDebugModeEvent = "VondelCorvantix_DEBUG_MODE";
constexpr auto kProbeInterval = 1000ms;
// The debug-mode event is waited on in slices, so the thread can be ended.
constexpr std::uint32_t kWaitSliceMs = 250;

// Lives as long as the receivers, which may set it until the process ends.
std::atomic<bool> userSwitched{false};

// debugStatusThread: each signal of the debug-mode event turns logging on
// when the log INI file exists and off when it does not.
class DebugStatusFollower {
public:
    DebugStatusFollower(std::unique_ptr<platform::NamedEvent> event, WorkerContext& context)
        : event_(std::move(event)), context_(context), thread_([this] { run(); }) {}
    ~DebugStatusFollower() {
        stop_ = true;
        thread_.join();
    }
    DebugStatusFollower(const DebugStatusFollower&) = delete;
    DebugStatusFollower& operator=(const DebugStatusFollower&) = delete;

private:
    // Pulses are counted, so one that comes during the pause is followed too.
    void run() {
        std::uint32_t seen = event_->pulseCount();
        while (!stop_) {
            if (event_->waitForPulse(seen, kWaitSliceMs) != platform::WaitResult::Signalled) {
                continue;
            }
            context_.logging = followLogIni(context_.identity);
            std::this_thread::sleep_for(100ms);
        }
    }

    std::unique_ptr<platform::NamedEvent> event_;
    WorkerContext& context_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The resets in a row without a monitor that the watchdog was started after.
int resetsWithoutMonitor() {
    const char* text = std::getenv(std::string(kResetsVariable).c_str());
    if (text == nullptr) {
        return 0;
    }
    const int count = std::atoi(text);
    return count < 0 ? 0 : std::min(count, kResetsWithoutMonitorMax);
}

// Polls the monitor's instance mutex until the monitor has ended, or until
// `limit` has passed without it ever held; whether it was seen.
bool waitForMonitorEnd(std::chrono::steady_clock::duration limit) {
    const auto began = std::chrono::steady_clock::now();
    bool seenHeld = false;
    for (;;) {
        auto monitor = getMutexLock(kMonitorProgram, 0);
        if (!monitor) {
            seenHeld = true;
        } else if (seenHeld || std::chrono::steady_clock::now() - began >= limit) {
            releaseMutexLock(std::move(monitor));
            return seenHeld;
        } else {
            releaseMutexLock(std::move(monitor));
        }
        std::this_thread::sleep_for(kProbeInterval);
    }
}

} // namespace

int runWatchdog(WorkerContext& context) {
    std::unique_ptr<DebugStatusFollower> follower;
    if (auto event = platform::NamedEvent::open(kDebugModeEvent)) {
        follower = std::make_unique<DebugStatusFollower>(std::move(event), context);
    } else {
        logError("debugStatusUpdateEvent init failed.");
    }

    auto watchdog = getMutexLock(kWatchdogChannel, 500);
    if (!watchdog) {
        logNormal("getMutexLock: ", "Fail");
        return kWorkerSuccess;
    }
    logNormal("getMutexLock: ", "Success");

    // No functions are registered: a quit instruction ends the process.
    registerUserSwitchFlag(&userSwitched);
    startIpc(kWatchdogChannel);

    const int resets = resetsWithoutMonitor();
    if (resets > 0) {
        logWarning("Resets without a monitor: ", std::to_string(resets));
    }
    // At the bound the monitor gets the grace time only.
    const int backOff = resets < kResetsWithoutMonitorMax ? (1 << resets) : 1;
    const bool seen = waitForMonitorEnd(kMonitorStartGrace * backOff);
    logNormal("Monitor is NOT alive");
    if (!seen && resets == kResetsWithoutMonitorMax) {
        logError("Monitor did not start, no more resets after: ", std::to_string(resets));
    } else {
        logNormal("Reset!");
        const int next = seen ? 0 : resets + 1;
        startHiddenCommand(kResetCommand,
                           {std::string(kResetsVariable) + "=" + std::to_string(next)});
    }
    releaseMutexLock(std::move(watchdog));
    stopIpc();
    return kWorkerSuccess;
}
