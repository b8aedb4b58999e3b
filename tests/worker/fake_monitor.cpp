// Stands in for the monitor in the worker's tests. It holds the monitor's
// instance mutex, as the monitor does while it runs, and takes the window
// messages of its channel "VondelCorvantixMonitor.exe": each verified
// instruction is appended to monitor-record.txt in the sandbox as
// "<pid> <instruction>", after a first line "<pid> started". A quit
// instruction ends it with exit code 0. Exit code 3: another monitor holds
// the mutex; 4: the window cannot be made.

#include "common/Message.h"
#include "common/ToolSystem.h"
#include "platform/window/MessageWindow.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string recordFile;

void record(std::string_view what) {
    const std::string line = std::to_string(getpid()) + " " + std::string(what) + "\n";
    const int fd = open(recordFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, line.data(), line.size());
        close(fd);
    }
}

} // namespace

int main() {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (root == nullptr) {
        return 2;
    }
    recordFile = std::string(root) + "/monitor-record.txt";
    const auto instance = getMutexLock(kChannelMonitorTray, 0);
    if (!instance) {
        return 3;
    }
    auto window = platform::MessageWindow::create(
        kChannelMonitorTray, [](const platform::WindowMessage& message) -> std::uint32_t {
            if (message.message != platform::kWmCopyData) {
                return 0;
            }
            const auto parsed =
                parseCorvantixMessage(message.data.substr(0, message.data.find('\0')));
            if (parsed.instruction && verifyCorvantixMessage(parsed)) {
                record(*parsed.instruction);
                if (*parsed.instruction == kInstructionSuicide) {
                    _exit(0);
                }
            }
            return 0;
        });
    if (!window) {
        return 4;
    }
    record("started");
    window->runMessageLoop();
    return 0;
}
