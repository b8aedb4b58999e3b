#include "worker/WorkerTool.h"

#include "common/ToolLog.h"
#include "common/ToolProcess.h"
#include "worker/WorkerMessage.h"

bool killProcess(std::optional<std::string_view> name) {
    if (!name) {
        CORVANTIX_NULL_PARAMETER("inputTo");
        return false;
    }
    return killProgramByName(*name, kWorkerTag, [](std::string_view channel) {
        sendIPCMsg(channel, kInstructionSuicide);
    });
}
