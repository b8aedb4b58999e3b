// Stands in for the service in the keeper's tests. Each start appends
// "<pid> <argument>" to service-runs.txt in the sandbox, then does what the
// first word of service-mode.txt there says (read at every start):
//   stay (also without the file): receives on the service's channel as the
//        service does, so a quit instruction or a session lock or disconnect
//        ends it with exit code 0
//   exit [code]: ends at once with the code (0 without one)
//   deaf: ignores quit instructions and SIGTERM; only SIGKILL ends it

#include "common/Message.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

void record(const std::string& root, const char* argument) {
    const std::string line = std::to_string(getpid()) + " " + argument + "\n";
    const int fd =
        open((root + "/service-runs.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, line.data(), line.size());
        close(fd);
    }
}

[[noreturn]] void waitForever() {
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* rootText = std::getenv("CORVANTIX_ROOT");
    const std::string root = rootText != nullptr ? rootText : ".";
    record(root, argc > 1 ? argv[1] : "");

    std::ifstream modeFile(root + "/service-mode.txt");
    std::string mode = "stay";
    int code = 0;
    modeFile >> mode >> code;
    if (mode == "exit") {
        return code;
    }
    if (mode == "deaf") {
        std::signal(SIGTERM, SIG_IGN);
        waitForever();
    }
    startIpc(kChannelService);
    waitForever();
}
