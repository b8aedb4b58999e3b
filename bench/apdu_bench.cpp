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
#include "tools/card-emulator/DriverLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
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

// One exchange with the direct card over the driver's frames.
bool transmitDirect(card_emulator::DriverLink& link, const Bytes& command, Bytes& response) {
    if (!link.sendFrame(command)) {
        return false;
    }
    auto answer = link.receiveFrame(std::chrono::seconds(5));
    if (!answer) {
        return false;
    }
    response = std::move(*answer);
    return true;
}

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
    card_emulator::DriverLink link;
    card_emulator::CardEmulator direct(profile, link.port());
    direct.start();
    if (link.port() == 0 || !link.accept(std::chrono::seconds(5))) {
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
         [&] {
             return transmitDirect(link, kSelect, response) && response.size() == 2 && endsOk();
         },
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
