#include "worker/WorkerTool.h"

#include "common/ToolLog.h"
#include "common/ToolProcess.h"
#include "platform/process/Process.h"
#include "worker/WorkerMessage.h"

#include <chrono>
#include <thread>

namespace {

constexpr std::string_view kUninstallerCopy = "Au_.exe";
constexpr std::string_view kUninstaller = "Un_A.exe";
constexpr auto kSelfDeleteDelay = std::chrono::milliseconds(2000);

} // namespace

bool killProcess(std::optional<std::string_view> name) {
    if (!name) {
        CORVANTIX_NULL_PARAMETER("inputTo");
        return false;
    }
    return killProgramByName(*name, kWorkerTag, [](std::string_view channel) {
        sendIPCMsg(channel, kInstructionSuicide);
    });
}

void waitForUninstallers(int rounds, const std::function<void()>& onFirstWait) {
    for (int round = 0;
         round < rounds && (isProcessRunning(kUninstallerCopy) || isProcessRunning(kUninstaller));
         ++round) {
        if (round == 0 && onFirstWait) {
            onFirstWait();
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

void selfDelete() {
    const auto self = platform::executableFile();
    if (!self) {
        logError("Self delete: ", "Program file unknown");
        return;
    }
    logNormal("Self delete: ", self->string());
    if (!platform::deleteFileLater(*self, kSelfDeleteDelay)) {
        logError("Self delete: ", "Fail");
    }
}
