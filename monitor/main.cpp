#include "monitor/Monitor.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr const char* kHelp =
    "VondelCorvantixMonitor: the tray monitor. It shows its icon in the notification\n"
    "area, starts the service VondelCorvantix and restarts it when it ends, and starts\n"
    "the watchdog (VondelCorvantixWorker -watchdog); Quit in its menu ends them all.\n"
    "It finds both programs on the PATH and works in the folders CORVANTIX_ROOT names\n"
    "(scripts/run.sh starts it with CORVANTIX_ROOT=$PWD/run). It takes no arguments.\n"
    "Its menu, with the same CORVANTIX_ROOT:\n"
    "  CorvantixSession icon right-click VondelCorvantixMonitor.exe\n"
    "  CorvantixSession menu show --wait 2000\n"
    "  CorvantixSession menu choose <id>\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    const int code = monitorMain();
    // The keeper, receiver and key threads are never joined: end the process
    // without running static destructors under them.
    std::fflush(nullptr);
    std::_Exit(code);
}
