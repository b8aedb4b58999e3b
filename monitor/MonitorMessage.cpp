#include "monitor/MonitorMessage.h"

#include "common/ToolLog.h"

std::optional<CorvantixMessage> createSuicideIPCMsg(std::optional<std::string_view> to) {
    if (!to) {
        return std::nullopt;
    }
    return createCorvantixMessage(kMonitorSenderName, *to, kInstructionSuicide);
}

bool sendIPCMsgWin(std::optional<std::string_view> to) {
    if (!to) {
        CORVANTIX_NULL_PARAMETER("kcstrInputTo");
        return true;
    }
    sendCorvantixMessage(kMonitorSenderName, *to, kInstructionSuicide);
    return true;
}

bool sendIPCMsg(std::optional<std::string_view> to) {
    bool sent = false;
    if (!to) {
        CORVANTIX_NULL_PARAMETER("kcstrInputTo");
    } else {
        logNormal("Send message mode: ", "Windows api mode");
        sent = sendIPCMsgWin(to);
    }
    if (sent) {
        logNormal("Send message final result: ", "Success");
    } else {
        logError("Send message final result: ", "Fail");
    }
    return sent;
}

bool startMonitorLockReceiver() {
    if (!startCrossPlatformReceiver(kChannelMonitorTray)) {
        logError("Start lock mode IPC message receiver: ", "Fail");
        return false;
    }
    return true;
}
