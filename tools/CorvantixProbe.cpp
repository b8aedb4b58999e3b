// Prints what the system sees of this machine: OS record, folders, user, the
// service's ports on both loopback addresses, and whether logging is on.

#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"

#include <cstdio>

int main() {
    const bool logging = setLog("CorvantixProbe");
    const auto flags = getOsFlags();
    std::printf("os:        %s (flags 0x%X)\n", getOsName(flags).c_str(), flags);
    std::printf("user:      %s\n", getUserName().value_or("?").c_str());
    std::printf("program:   %s\n", getExecutePath().value_or("?").c_str());
    std::printf("data:      %s\n", getCopyPath(kProductWord).c_str());
    std::printf("temp:      %s\n", getUserTempPath().c_str());
    for (const int port : {56417, 56517, 56617}) {
        std::printf("port %d: 127.0.0.1 %s, [::1] %s\n", port,
                    detectPort(port, false) ? "taken" : "free",
                    detectPort(port, true) ? "taken" : "free");
    }
    std::printf("log:       %s\n", logging ? "on" : "off (no VondelCorvantix.ini)");
    logNormal("Probe session: ", generateSessionId());
    return 0;
}
