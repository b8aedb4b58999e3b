// CorvantixDemo: the bank demo. Runs the bank card for pcscd's virtual
// reader itself (as the card emulator program does) and serves the demo page
// at http://www.corvantix-bank.test:<port>, whose side panel pulls that card
// out and puts it back. Serves until it is interrupted.
//
//   CorvantixDemo [--port N] [--card-port N] [--reader NAME] [--page FILE]
//
// Prints the page's address, then the journal (each step the page reports,
// each card move) and the card's exchanges, PIN blocks left out.

#include "demo/DemoServer.h"
#include "platform/pcsc/Pcsc.h"
#include "tools/card-emulator/CardEmulator.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

namespace pcsc = platform::pcsc;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int usage() {
    std::fprintf(stderr, "usage: CorvantixDemo [--port N] [--card-port N] [--reader NAME] "
                         "[--page FILE]\n");
    return 2;
}

std::mutex printing;

std::string code(pcsc::Result result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(result));
    return text;
}

void print(const std::string& line) {
    std::lock_guard lock(printing);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Waits until pcscd reports the card in the reader (present) or not.
bool waitForReader(const std::string& reader, bool present, std::chrono::milliseconds timeout,
                   std::string& why) {
    const auto deadline = Clock::now() + timeout;
    pcsc::Context context;
    if (const auto result = pcsc::Context::establish(pcsc::kScopeSystem, context);
        result != pcsc::kSuccess) {
        why = "pcscd does not answer (" + code(result) + ")";
        return false;
    }
    pcsc::ReaderState state;
    state.reader = reader;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const auto result = pcsc::SCardGetStatusChangeA(
            context.get(), static_cast<std::uint32_t>(left.count()), &state, 1);
        if (result == pcsc::kTimeout) {
            break;
        }
        if (result != pcsc::kSuccess) {
            why = "pcscd does not know the reader " + reader + " (" + code(result) + ")";
            return false;
        }
        const std::uint32_t event = state.eventState;
        const bool in =
            (event & pcsc::kReaderStatePresent) != 0 && (event & pcsc::kReaderStateMute) == 0;
        if (present ? in : (event & pcsc::kReaderStateEmpty) != 0) {
            return true;
        }
        state.currentState = event;
    }
    why = std::string("pcscd did not see the card ") + (present ? "come into " : "leave ") + reader;
    return false;
}

// The emulated card in its virtual reader.
class EmulatedSlot : public corvantix_demo::CardSlot {
public:
    EmulatedSlot(std::uint16_t port, std::string reader)
        : card_(card_emulator::defaultProfile(), port), reader_(std::move(reader)) {}
    card_emulator::CardEmulator& card() { return card_; }

    bool inserted() const override { return card_.inserted(); }
    bool remove(std::string& why) override {
        const auto since = Clock::now();
        card_.remove();
        return settled(false, since, why);
    }
    bool insert(std::string& why) override {
        const auto since = Clock::now();
        card_.insert();
        return settled(true, since, why);
    }

private:
    // The control's card watcher looks from time to time: a change shorter
    // than a second might pass it by.
    bool settled(bool present, Clock::time_point since, std::string& why) {
        const bool seen = waitForReader(reader_, present, 5s, why);
        std::this_thread::sleep_until(since + 1s);
        return seen;
    }

    card_emulator::CardEmulator card_;
    const std::string reader_;
};

} // namespace

int main(int argc, char** argv) {
    unsigned port = corvantix_demo::kDefaultPort;
    unsigned cardPort = card_emulator::kDefaultPort;
    std::string reader = "Virtual PCD 00 00";
    std::string pageFile = CORVANTIX_DEMO_PAGE;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("CorvantixDemo: the bank demo. Serves its page at\n"
                        "http://www.corvantix-bank.test:<port>/ (56700 unless --port) on\n"
                        "127.0.0.1 and holds the bank card (PIN 123456) in pcscd's virtual reader\n"
                        "(--reader, 'Virtual PCD 00 00' on --card-port 35963); the page's side\n"
                        "panel pulls it out and puts it back. Prints the page's steps and the\n"
                        "card's exchanges until Ctrl-C.\n"
                        "usage: CorvantixDemo [--port N] [--card-port N] [--reader NAME] "
                        "[--page FILE]\n");
            return 0;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const std::string value = argv[++i];
        if (arg == "--port" || arg == "--card-port") {
            char* end = nullptr;
            const unsigned long number = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || number > 65535 ||
                (number == 0 && arg == "--card-port")) {
                return usage();
            }
            (arg == "--port" ? port : cardPort) = static_cast<unsigned>(number);
        } else if (arg == "--reader") {
            reader = value;
        } else if (arg == "--page") {
            pageFile = value;
        } else {
            return usage();
        }
    }
    std::ifstream file(pageFile, std::ios::binary);
    const std::string page{std::istreambuf_iterator<char>(file), {}};
    if (!file || page.empty()) {
        std::fprintf(stderr, "CorvantixDemo: cannot read the page %s\n", pageFile.c_str());
        return 1;
    }

    // The signals are taken by sigwait below, on this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    EmulatedSlot slot(static_cast<std::uint16_t>(cardPort), reader);
    slot.card().setObserver([](const card_emulator::Exchange& exchange) {
        print("card> " + card_emulator::printableCommand(exchange.command) + "\ncard< " +
              (exchange.response.empty() ? "(closed)" : card_emulator::toHex(exchange.response)));
    });
    corvantix_demo::DemoServer server(page, slot, static_cast<std::uint16_t>(port));
    if (!server.running()) {
        std::fprintf(stderr, "CorvantixDemo: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    server.onJournal(print);
    slot.card().start();
    print("CorvantixDemo: the card for '" + reader + "' on 127.0.0.1:" + std::to_string(cardPort));
    print("CorvantixDemo: " + server.origin() + "/ (127.0.0.1:" + std::to_string(server.port()) +
          ")");
    int signal = 0;
    sigwait(&signals, &signal);
    slot.card().stop();
    return 0;
}
