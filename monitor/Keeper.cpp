#include "monitor/Keeper.h"

#include "common/Barrier.h"
#include "common/Message.h"
#include "common/ToolLog.h"
#include "common/ToolProcess.h"
#include "common/ToolSystem.h"
#include "monitor/MonitorMessage.h"

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kCommandLineMax = 511;

// Process-wide and trivially destroyed: receiver threads may set the user
// switch until the very end of the process.
std::atomic<std::int32_t> state{Keeper_Start};
std::atomic<bool> ready{true};
std::atomic<bool> restartNotice{false};
std::atomic<bool> userSwitch{false};

struct AtomicHooks {
    std::atomic<KeeperHook> notifyServiceRunning{nullptr};
    std::atomic<KeeperHook> notifyServiceStopped{nullptr};
    std::atomic<KeeperHook> refreshTrayIcons{nullptr};
    std::atomic<KeeperHook> removeTrayIcon{nullptr};
    std::atomic<KeeperHook> postQuit{nullptr};
};
AtomicHooks hooks;

void callHook(const std::atomic<KeeperHook>& hook, std::string_view fallbackLine) {
    if (const KeeperHook function = hook.load()) {
        exceptionBarrier("Keeper hook: ", function);
    } else {
        logNormal("Tray hook not set: ", fallbackLine);
    }
}

void sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

int keeperLoop() {
    killMainProgram();
    registerUserSwitchFlag(&userSwitch);
    startIpc(kChannelMonitor);
    for (;;) {
        if (userSwitch) {
            while (userSwitch) {
                sleepFor(1000ms);
            }
            sleepFor(100ms);
            callHook(hooks.refreshTrayIcons, "refreshTrayIcons");
        }
        while (state == Keeper_Stop) {
            sleepFor(100ms);
        }
        while (!ready) {
            sleepFor(100ms);
        }
        for (int attempt = 0; attempt < kKeeperAttempts; ++attempt) {
            logNormal("", "Start Corvantix main program");
            callHook(hooks.notifyServiceRunning, "notifyServiceRunning");
            runCommandWait(serviceCommandLine(attempt)); // its exit code tells nothing here
            sleepFor(100ms);
            callHook(hooks.notifyServiceStopped, "notifyServiceStopped");
            sleepFor(500ms);
            if (state != Keeper_Start) {
                break;
            }
            if (userSwitch) {
                logNormal("[Keeper] ", "Detect user switch out event, into sleep mode");
                break;
            }
            if (attempt == kKeeperAttempts - 1) {
                logNormal("[Keeper] ", "Restart main program too many times, shutdown Keeper");
                return 0;
            }
        }
    }
}

} // namespace

std::int32_t keeperState() {
    return state;
}

void setKeeperState(std::int32_t value) {
    state = value;
}

bool keeperReady() {
    return ready;
}

bool restartNoticePending() {
    return restartNotice;
}

bool takeRestartNotice() {
    return restartNotice.exchange(false);
}

bool keeperUserSwitched() {
    return userSwitch;
}

std::string serviceCommandLine(int attempt) {
    return (std::string(kServiceProgram) + " " + std::to_string(attempt))
        .substr(0, kCommandLineMax);
}

void setKeeperHooks(const KeeperHooks& set) {
    hooks.notifyServiceRunning = set.notifyServiceRunning;
    hooks.notifyServiceStopped = set.notifyServiceStopped;
    hooks.refreshTrayIcons = set.refreshTrayIcons;
    hooks.removeTrayIcon = set.removeTrayIcon;
    hooks.postQuit = set.postQuit;
}

int keeperThread() {
    return exceptionBarrier("Keeper thread: ", 0, keeperLoop);
}

bool startKeeperThread() {
    try {
        std::thread(keeperThread).detach();
    } catch (const std::system_error& e) {
        logError("Start keeper thread: ", e.what());
        return false;
    }
    return true;
}

void startMainProgram() {
    state = Keeper_Start;
}

bool stopMainProgram() {
    state = Keeper_Stop;
    return killMainProgram();
}

void restartMainProgram() {
    restartNotice = true;
    state = Keeper_Restart;
    ready = false;
    killMainProgram();
    ready = true;
}

void MonitorFinal() {
    stopMainProgram();
    sendIPCMsg(kChannelWatchdog);
    callHook(hooks.removeTrayIcon, "removeTrayIcon");
    callHook(hooks.postQuit, "postQuit");
}

bool killMainProgram() {
    return killProgramByName(kServiceProgram, kMonitorTag,
                             [](std::string_view channel) { sendIPCMsg(channel); });
}

void registerKeeperFunctions() {
    registerFinalFunction(MonitorFinal);
    registerStartFunction(startMainProgram);
    registerStopFunction(stopMainProgram);
    registerRestartFunction(restartMainProgram);
}
