// The round trip of one APDU by raw SCardTransmit through a real pcscd and
// its virtual reader driver to the card emulator: the baseline that the
// card control's calls are compared against. Beside it, for scale, the same
// command straight over a socket to an emulator without pcscd.
//
// Runs in namespaces of its own (root), like the card tests. Rounds of the
// contenders are interleaved, their order turning each round; each
// contender reports the median of its round medians and its best round.

#include "platform/pcsc/Pcsc.h"
#include "tests/support/CardRig.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace platform::pcsc;
using card_emulator::Bytes;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 9;
constexpr int kPerRound = 300;

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00,
                       0x00, 0x01, 0x72, 0x95, 0x00, 0x01, 0x00};
const Bytes kReadSerial = {0x00, 0xB0, 0x00, 0x00, 0x10};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One exchange; false when the answer is not the expected one.
using Exchange = std::function<bool()>;

struct Contender {
    const char* name;
    Exchange exchange;
    std::vector<double> roundMedians;
};

bool runRound(Contender& contender) {
    std::vector<double> micros;
    micros.reserve(kPerRound);
    for (int i = 0; i < kPerRound; ++i) {
        const auto start = Clock::now();
        if (!contender.exchange()) {
            return false;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    contender.roundMedians.push_back(median(micros));
    return true;
}

// The driver's end of a card's connection, played by the benchmark.
class DirectLink {
public:
    DirectLink() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener_, 1) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~DirectLink() {
        if (client_ >= 0) {
            close(client_);
        }
        close(listener_);
    }
    std::uint16_t port() const { return port_; }
    bool accept() {
        pollfd fd{listener_, POLLIN, 0};
        if (poll(&fd, 1, 5000) != 1) {
            return false;
        }
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }
    bool transmit(const Bytes& command, Bytes& response) {
        Bytes frame = {static_cast<std::uint8_t>(command.size() >> 8),
                       static_cast<std::uint8_t>(command.size() & 0xFF)};
        frame.insert(frame.end(), command.begin(), command.end());
        if (send(client_, frame.data(), frame.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(frame.size())) {
            return false;
        }
        std::uint8_t header[2];
        if (recv(client_, header, 2, MSG_WAITALL) != 2) {
            return false;
        }
        response.resize((header[0] << 8) | header[1]);
        return recv(client_, response.data(), response.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(response.size());
    }

private:
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace

int main() {
    testing_support::CardRig rig;
    if (!rig.start()) {
        std::fprintf(stderr, "apdu_bench: %s\n", rig.why().c_str());
        return 1;
    }
    auto profile = card_emulator::defaultProfile();
    profile.tacNeedsPin = false;
    if (rig.insertCard(card_emulator::kDefaultPort, profile) == nullptr) {
        std::fprintf(stderr, "apdu_bench: %s\n", rig.why().c_str());
        return 1;
    }
    Context context;
    Card card;
    if (Context::establish(kScopeUser, context) != kSuccess ||
        Card::connect(context, rig.readers()[0], kShareShared, kProtocolT0 | kProtocolT1, card) !=
            kSuccess) {
        std::fprintf(stderr, "apdu_bench: no connection to the card\n");
        return 1;
    }
    DirectLink link;
    card_emulator::CardEmulator direct(profile, link.port());
    direct.start();
    if (link.port() == 0 || !link.accept()) {
        std::fprintf(stderr, "apdu_bench: the direct card did not connect\n");
        return 1;
    }

    Bytes tacData(46, '1');
    Bytes getTac = {0x00, 0xE2, 0x10, 0x80, static_cast<std::uint8_t>(tacData.size())};
    getTac.insert(getTac.end(), tacData.begin(), tacData.end());
    getTac.push_back(0x00);

    Bytes response;
    const auto endsOk = [&] {
        return response.size() >= 2 && response[response.size() - 2] == 0x90 &&
               response.back() == 0x00;
    };
    std::vector<Contender> contenders = {
        {"SELECT (14 bytes, answer 9000) by SCardTransmit",
         [&] { return card.transmit(kSelect, response, 255) == kSuccess && response.size() == 2; },
         {}},
        {"READ BINARY (5 bytes, answer 18) by SCardTransmit",
         [&] {
             return card.transmit(kReadSerial, response, 255) == kSuccess &&
                    response.size() == 18 && endsOk();
         },
         {}},
        {"GET TAC (52 bytes, answer 21) by SCardTransmit",
         [&] {
             return card.transmit(getTac, response, 255) == kSuccess && response.size() == 21 &&
                    endsOk();
         },
         {}},
        {"SELECT straight to an emulator, no pcscd",
         [&] { return link.transmit(kSelect, response) && response.size() == 2 && endsOk(); },
         {}},
    };

    for (auto& contender : contenders) { // warm-up, not counted
        for (int i = 0; i < 50; ++i) {
            contender.exchange();
        }
    }
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < contenders.size(); ++i) {
            Contender& contender = contenders[(i + round) % contenders.size()];
            if (!runRound(contender)) {
                std::fprintf(stderr, "apdu_bench: %s: a wrong answer\n", contender.name);
                return 1;
            }
        }
    }
    std::printf("APDU round trips, %d interleaved rounds of %d each (microseconds):\n", kRounds,
                kPerRound);
    for (const auto& contender : contenders) {
        std::printf(
            "  %-52s median of round medians %8.1f, best round %8.1f\n", contender.name,
            median(contender.roundMedians),
            *std::min_element(contender.roundMedians.begin(), contender.roundMedians.end()));
    }
    std::printf(
        "apdu_bench baseline: raw SCardTransmit of SELECT %.1f us (best round %.1f us)\n",
        median(contenders[0].roundMedians),
        *std::min_element(contenders[0].roundMedians.begin(), contenders[0].roundMedians.end()));
    direct.stop();
    return 0;
}
