#include "worker/Watchdog.h"

#include "common/Message.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/event/NamedEvent.h"
#include "worker/Worker.h"

#include <atomic>
#include <memory>
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
    void run() {
        while (!stop_) {
            if (event_->wait(kWaitSliceMs) != platform::WaitResult::Signalled) {
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

// Polls the monitor's instance mutex until the monitor has ended.
void waitForMonitorEnd() {
    const auto began = std::chrono::steady_clock::now();
    bool seenHeld = false;
    for (;;) {
        auto monitor = getMutexLock(kMonitorProgram, 0);
        if (!monitor) {
            seenHeld = true;
        } else if (seenHeld || std::chrono::steady_clock::now() - began >= kMonitorStartGrace) {
            releaseMutexLock(std::move(monitor));
            return;
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

    waitForMonitorEnd();
    logNormal("Monitor is NOT alive");
    logNormal("Reset!");
    hideNOWaitCommand(kResetCommand);
    releaseMutexLock(std::move(watchdog));
    stopIpc();
    return kWorkerSuccess;
}
