// CardEmulator: the bank card for pcscd's virtual reader, so the system can
// run on a machine without a card. It connects to the reader driver and
// serves until it is interrupted.
//
//   CardEmulator [--port N] [--script FILE] [--t0] [--serial HEX] [--pin DIGITS]
//                [--keypad] [--quiet]
//
// The script (see CardProfile.h) is read first; the options then change it.
// Each exchange is printed, with PIN blocks masked, unless --quiet.

#include "tools/card-emulator/CardEmulator.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

using namespace card_emulator;

namespace {

int usage() {
    std::fprintf(stderr, "usage: CardEmulator [--port N] [--script FILE] [--t0] [--serial HEX] "
                         "[--pin DIGITS] [--keypad] [--quiet]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string scriptText;
    std::vector<std::string> settings;
    unsigned port = kDefaultPort;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::printf("CardEmulator: the bank card in pcscd's virtual reader (vpcd), which\n"
                        "listens on 127.0.0.1:35963 for 'Virtual PCD 00 00' (35964 for\n"
                        "'Virtual PCD 00 01'). Without a script the card has PIN 123456 with\n"
                        "three tries. Prints each command and answer (PIN blocks masked) until\n"
                        "Ctrl-C.\n"
                        "usage: CardEmulator [--port N] [--script FILE] [--t0] [--serial HEX]\n"
                        "                    [--pin DIGITS] [--keypad] [--quiet]\n");
            return 0;
        }
        if (arg == "--port" && hasValue) {
            port = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (port == 0 || port > 65535) {
                return usage();
            }
        } else if (arg == "--script" && hasValue) {
            std::ifstream file(argv[++i], std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "CardEmulator: cannot read %s\n", argv[i]);
                return 1;
            }
            scriptText.assign(std::istreambuf_iterator<char>(file), {});
        } else if (arg == "--t0") {
            settings.push_back("protocol t0");
        } else if (arg == "--serial" && hasValue) {
            settings.push_back(std::string("serial ") + argv[++i]);
        } else if (arg == "--pin" && hasValue) {
            settings.push_back(std::string("pin ") + argv[++i]);
        } else if (arg == "--keypad") {
            settings.push_back("keypad on");
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return usage();
        }
    }
    for (const auto& setting : settings) {
        scriptText += "\n" + setting;
    }
    std::string error;
    auto script = parseScript(scriptText, error);
    if (!script) {
        std::fprintf(stderr, "CardEmulator: %s\n", error.c_str());
        return 1;
    }

    // The signals are taken by sigwait below, on this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CardEmulator card(std::move(script->profile), static_cast<std::uint16_t>(port));
    for (auto& fault : script->faults) {
        card.addFault(std::move(fault));
    }
    if (!quiet) {
        card.setObserver([](const Exchange& exchange) {
            std::printf("> %s\n< %s\n", printableCommand(exchange.command).c_str(),
                        exchange.response.empty() ? "(closed)" : toHex(exchange.response).c_str());
            std::fflush(stdout);
        });
    }
    card.start();
    std::printf("CardEmulator: card for the reader on 127.0.0.1:%u\n", port);
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    card.stop();
    return 0;
}
