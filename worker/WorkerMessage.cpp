#include "worker/WorkerMessage.h"

#include "common/ToolLog.h"

std::optional<CorvantixMessage> createIPCMsg(std::optional<std::string_view> from,
                                             std::optional<std::string_view> to,
                                             std::optional<std::string_view> instruction) {
    if (!from || !to) {
        return std::nullopt;
    }
    return createCorvantixMessage(*from, *to, instruction.value_or(std::string_view()));
}

bool sendIPCMsgWin(std::optional<std::string_view> from, std::optional<std::string_view> to,
                   std::optional<std::string_view> instruction) {
    if (!from) {
        CORVANTIX_NULL_PARAMETER("kcstrInputFrom");
        return true;
    }
    if (!to) {
        CORVANTIX_NULL_PARAMETER("kcstrInputTo");
        return true;
    }
    if (!instruction) {
        CORVANTIX_NULL_PARAMETER("kcstrInputInstruction");
        return true;
    }
    sendCorvantixMessage(*from, *to, *instruction);
    return true;
}

bool sendIPCMsg(std::optional<std::string_view> to, std::optional<std::string_view> instruction) {
    bool sent = false;
    if (!to) {
        CORVANTIX_NULL_PARAMETER("kcstrInputTo");
    } else if (!instruction || instruction->empty()) {
        logWarning("[Warning] ", "Instruction is empty");
    } else {
        logNormal("Send message mode: ", "Windows api mode");
        sent = sendIPCMsgWin(kWorkerSenderName, to, instruction);
    }
    if (sent) {
        logNormal("Send message final result: ", "Success");
    } else {
        logError("Send message final result: ", "Fail");
    }
    return sent;
}
