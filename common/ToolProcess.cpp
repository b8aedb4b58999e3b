#include "common/ToolProcess.h"

#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/process/ProcessList.h"

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

constexpr int kPollRounds = 30;
constexpr auto kPollStep = std::chrono::milliseconds(100);
constexpr std::size_t kCommandMax = 511;

// Polls until no process of the name is left or the rounds are used up,
// calling beforeSleep with the round before each sleep.
void waitUntilGone(std::string_view name, const std::function<void(int)>& beforeSleep) {
    for (int round = 0; round < kPollRounds && isProcessRunning(name); ++round) {
        if (beforeSleep) {
            beforeSleep(round);
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

} // namespace

bool isProcessRunning(std::optional<std::string_view> name) {
    if (!name) {
        CORVANTIX_NULL_PARAMETER("processName");
        return false;
    }
    const auto processes = platform::listProcesses();
    if (!processes) {
        logError("EnumProcesses fail");
        return false;
    }
    for (const auto& process : *processes) {
        if (platform::programNameMatches(process.name, *name, platform::NameCase::Ignore)) {
            return true;
        }
    }
    return false;
}

bool terminateProcessByName(std::optional<std::string_view> name) {
    if (!name) {
        CORVANTIX_NULL_PARAMETER("filename");
        return true;
    }
    platform::signalProcessesByName(*name, platform::NameCase::Exact, SIGKILL);
    return true;
}

bool killProgramByName(std::string_view name, std::string_view tag, const QuitSender& sendQuit) {
    const std::string n(name);
    const std::string t(tag);
    const std::string prefix = "[" + t + "] ";
    if (sendQuit) {
        sendQuit(name);
    }
    terminateProcessByName(name);
    waitUntilGone(name, nullptr);
    if (!isProcessRunning(name)) {
        logNormal(prefix, t + " kill " + n + " success");
    } else {
        logNormal(prefix, t + " kill " + n + " fail");
        logNormal(prefix, "Start command kill mode");
        const std::string command = ("taskkill /F /im " + n + " /F").substr(0, kCommandMax);
        logNormal("Command: ", command);
        runCommandWait(command);
        const std::string waitLine = prefix + "Wait for " + n + " shutdown: ";
        waitUntilGone(name, [&](int round) { logNormalInt(waitLine, round); });
    }
    const bool gone = !isProcessRunning(name);
    const std::string stateLine = prefix + "kill " + n + " shutdown state: ";
    if (gone) {
        logNormal(stateLine, "Success");
    } else {
        logError(stateLine, "Fail");
    }
    return gone;
}
