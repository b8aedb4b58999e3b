#include "worker/Worker.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr const char* kHelp =
    "VondelCorvantixWorker <option>: does one task and ends. It works in the folders\n"
    "CORVANTIX_ROOT names (scripts/run.sh uses CORVANTIX_ROOT=$PWD/run).\n"
    "  -start | -restart     the monitor is told to start (restart) the service, or\n"
    "                        started when it does not run\n"
    "  -stop                 the monitor is told to stop the service\n"
    "  -allstop              the watchdog, the monitor and the service are ended\n"
    "  -reset                as -allstop, then the monitor and the watchdog start again\n"
    "  -monitorstart         takes and releases the worker lock only\n"
    "  -watchdog             waits for the monitor to end, then resets everything\n"
    "  -importRootCACert     imports the service's two roots into the user's NSS\n"
    "                        database and, where it may, the system's trust store\n"
    "  -uninstalldetect <uninstaller> <argument>\n"
    "                        after a component's uninstaller has run: runs the\n"
    "                        uninstaller when no other component needs the product\n"
    "  -delete <file>        deletes the file and the empty folders above it\n"
    "                        (after these two the worker deletes its own program file)\n"
    "  -KeyToByte <key file> writes the key as a byte array to Cert.h\n"
    "The first eight options are taken in any case. Any other argument does\n"
    "nothing. Exit code 0, 1 when the task failed, 77 (the low byte of 61005) when\n"
    "-uninstalldetect does not get two arguments.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    return workerMain(argc, argv);
}
