#include "worker/Worker.h"

#include "common/Message.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolProcess.h"
#include "common/ToolSystem.h"
#include "worker/Delete.h"
#include "worker/KeyToByte.h"
#include "worker/RootCertificate.h"
#include "worker/Uninstall.h"
#include "worker/Watchdog.h"
#include "worker/WorkerContext.h"
#include "worker/WorkerMessage.h"
#include "worker/WorkerTool.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kIdentityMax = 511;
constexpr std::uint32_t kMutexTryMs = 200;
constexpr int kMutexRetries = 10;

enum class Control { Stop, AllStop, Start, Restart, MonitorStart, Reset };

struct ControlOption {
    std::string_view name;
    Control control;
};

// The options that run under the worker mutex, matched in any letter case.
constexpr ControlOption kControlOptions[] = {
    {"-stop", Control::Stop},
    {"-allstop", Control::AllStop},
    {"-start", Control::Start},
    {"-restart", Control::Restart},
    {"-monitorstart", Control::MonitorStart},
    {"-reset", Control::Reset},
};

bool sameIgnoringCase(std::string_view text, std::string_view option) {
    return toLowerString(text) == toLowerString(option);
}

// Tries for 200 ms, then ten more times after half a second each.
std::unique_ptr<platform::NamedMutex> takeWorkerMutex() {
    auto mutex = getMutexLock(kWorkerMutexName, kMutexTryMs);
    for (int retry = 0; !mutex && retry < kMutexRetries; ++retry) {
        std::this_thread::sleep_for(500ms);
        mutex = getMutexLock(kWorkerMutexName, kMutexTryMs);
    }
    return mutex;
}

// The monitor gets the instruction when it runs; otherwise it is started.
void instructOrStartMonitor(std::string_view instruction) {
    if (isProcessRunning(kMonitorProgram)) {
        sendIPCMsg(kMonitorProgram, instruction);
    } else {
        hideNOWaitCommand(kMonitorProgram);
    }
}

void stopAll() {
    logNormal("Stop area");
    sendIPCMsg(kWatchdogChannel, kInstructionSuicide);
    std::this_thread::sleep_for(500ms);
    killProcess(kMonitorProgram);
    killProcess(kWorkerServiceProgram);
}

void runControl(Control control) {
    switch (control) {
    case Control::Start:
        instructOrStartMonitor(kInstructionStart);
        break;
    case Control::Stop:
        sendIPCMsg(kMonitorProgram, kInstructionStop);
        break;
    case Control::Restart:
        instructOrStartMonitor(kInstructionRestart);
        break;
    case Control::MonitorStart:
        break; // taking and releasing the mutex is all
    case Control::AllStop:
        stopAll();
        break;
    case Control::Reset:
        stopAll();
        hideNOWaitCommand(kMonitorProgram);
        logNormal("Reset complete");
        hideNOWaitCommand(kWatchdogCommand);
        break;
    }
}

// The option's task; its exit code. The worker mutex, when a control option
// takes it, is held in `held` until the end.
int runOption(WorkerContext& context, std::string_view text,
              std::unique_ptr<platform::NamedMutex>& held) {
    for (const auto& option : kControlOptions) {
        if (sameIgnoringCase(text, option.name)) {
            held = takeWorkerMutex();
            if (!held) {
                logNormal("Get mutex lock time out");
                return kWorkerFailed;
            }
            runControl(option.control);
            return kWorkerSuccess;
        }
    }
    if (text.starts_with("-uninstalldetect")) {
        return uninstallDetect(context, text);
    }
    if (text.starts_with("-delete")) {
        return deleteWithRetries(context, text);
    }
    if (text.starts_with("-KeyToByte")) {
        return keyToByte(text);
    }
    if (sameIgnoringCase(text, "-watchdog")) {
        return runWatchdog(context);
    }
    if (sameIgnoringCase(text, "-importRootCACert")) {
        return importBuiltInRoots();
    }
    return kWorkerSuccess;
}

} // namespace

std::string argumentText(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (i > 1) {
            text += ' ';
        }
        if (argument.empty() || argument.find(' ') != std::string_view::npos) {
            text.append("\"").append(argument).append("\"");
        } else {
            text += argument;
        }
    }
    return text;
}

int workerMain(std::string_view text) {
    WorkerContext context;
    context.programFolder = getExecutePath().value_or(std::filesystem::path());
    context.identity = ("CorvantixWorker-" + generateSessionId()).substr(0, kIdentityMax);
    context.logging = setLog(context.identity);
    logNormal("Compile time: ", std::string(__DATE__) + " " + __TIME__);
    logNormal("Command: ", text);

    std::unique_ptr<platform::NamedMutex> workerMutex;
    const int exitCode = runOption(context, text, workerMutex);

    releaseMutexLock(std::move(workerMutex));
    if (context.selfDelete) {
        selfDelete();
    }
    return exitCode;
}

int workerMain(int argc, char** argv) {
    return workerMain(argumentText(argc, argv));
}
