// Plays the monitor for the keeper's tests: the keeper thread, the keeper's
// functions registered with the message receivers, and the lock-mode
// receiver on the tray window's channel. Each tray hook appends a line to
// tray.txt in the sandbox:
//   running | running-restarted   the running notice (with the restart notice taken)
//   stopped | stopped-quiet       the stopped notice (quiet while a restart is noted)
//   refresh | remove-icon | quit
// It runs until it is killed or a quit instruction by lock mode ends it.

#include "common/ToolLog.h"
#include "monitor/Keeper.h"
#include "monitor/MonitorMessage.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string trayFile;

void note(const std::string& line) {
    const std::string text = line + "\n";
    const int fd = open(trayFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, text.data(), text.size());
        close(fd);
    }
}

} // namespace

int main() {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (root == nullptr) {
        return 2;
    }
    trayFile = std::string(root) + "/tray.txt";
    setLog("CorvantixMonitor-Keeper");
    KeeperHooks hooks;
    hooks.notifyServiceRunning = [] {
        note(takeRestartNotice() ? "running-restarted" : "running");
    };
    hooks.notifyServiceStopped = [] { note(restartNoticePending() ? "stopped-quiet" : "stopped"); };
    hooks.refreshTrayIcons = [] { note("refresh"); };
    hooks.removeTrayIcon = [] { note("remove-icon"); };
    hooks.postQuit = [] { note("quit"); };
    setKeeperHooks(hooks);
    if (!startKeeperThread()) {
        return 3;
    }
    registerKeeperFunctions();
    if (!startMonitorLockReceiver()) {
        return 4;
    }
    for (;;) {
        pause();
    }
}
