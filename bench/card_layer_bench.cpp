// The card control's routines through its card layer against the same
// commands by raw SCardTransmit on the same connection: DoVerifyPIN against
// VERIFY, DoGetTAC against GET TAC, through a real pcscd and its virtual
// reader to the card emulator. The contenders take turns call by call, in
// an order that turns; each reports the median of its round medians, and
// the ratio of layer to raw is printed (the aim is at most 1.15):
// first with the control log off, as it ships, then, for scale, with every
// line written at the debug level. It reports; it never fails on a ratio.
//
// Runs in namespaces of its own (root), like the card tests.

#include "control/ControlErrorCode.h"
#include "control/ControlLog.h"
#include "control/ControlState.h"
#include "tests/support/CardRig.h"
#include "tests/support/Sandbox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace platform::pcsc;
using card_emulator::Bytes;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 9;
constexpr int kPerRound = 300;
const std::string kPin = "246810";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Contender {
    const char* name;
    std::function<bool()> exchange;
    std::vector<double> roundMedians;
};

// Runs the contenders call by call, their order turning with each call, so
// that a machine busy with other work slows all of them alike; false when one
// got a wrong answer.
bool measure(std::vector<Contender>& contenders) {
    for (int i = 0; i < 50; ++i) { // warm-up, not counted
        for (auto& contender : contenders) {
            if (!contender.exchange()) {
                std::fprintf(stderr, "card_layer_bench: %s: a wrong answer\n", contender.name);
                return false;
            }
        }
    }
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::vector<double>> micros(contenders.size());
        for (int call = 0; call < kPerRound; ++call) {
            for (std::size_t i = 0; i < contenders.size(); ++i) {
                const std::size_t which = (i + call) % contenders.size();
                Contender& contender = contenders[which];
                const auto start = Clock::now();
                if (!contender.exchange()) {
                    std::fprintf(stderr, "card_layer_bench: %s: a wrong answer\n", contender.name);
                    return false;
                }
                micros[which].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        }
        for (std::size_t i = 0; i < contenders.size(); ++i) {
            contenders[i].roundMedians.push_back(median(micros[i]));
        }
    }
    return true;
}

// Contenders come in pairs, the layer's first: the ratio of a pair is the
// median over the rounds of the layer's round median over the raw one's.
// judged: whether the ratios are held to the target (the logged run is
// only for scale).
void report(const char* title, const std::vector<Contender>& contenders, bool judged) {
    std::printf("%s, %d rounds of %d calls each, interleaved call by call (microseconds):\n", title,
                kRounds, kPerRound);
    for (const auto& contender : contenders) {
        std::printf(
            "  %-40s median of round medians %8.1f, best round %8.1f\n", contender.name,
            median(contender.roundMedians),
            *std::min_element(contender.roundMedians.begin(), contender.roundMedians.end()));
    }
    for (std::size_t i = 0; i + 1 < contenders.size(); i += 2) {
        std::vector<double> ratios;
        for (int round = 0; round < kRounds; ++round) {
            ratios.push_back(contenders[i].roundMedians[round] /
                             contenders[i + 1].roundMedians[round]);
        }
        const double ratio = median(ratios);
        std::printf("  ratio %-34s %.3f (%s)\n", contenders[i].name, ratio,
                    !judged         ? "for scale, no target"
                    : ratio <= 1.15 ? "target <= 1.15, met"
                                    : "target <= 1.15, NOT met");
    }
}

} // namespace

int main() {
    testing_support::Sandbox box; // before the rig starts: no threads yet
    testing_support::CardRig rig;
    if (!rig.start()) {
        std::fprintf(stderr, "card_layer_bench: %s\n", rig.why().c_str());
        return 1;
    }
    auto profile = card_emulator::defaultProfile();
    profile.pin.assign(kPin.begin(), kPin.end());
    profile.tacNeedsPin = false;
    if (rig.insertCard(card_emulator::kDefaultPort, profile) == nullptr) {
        std::fprintf(stderr, "card_layer_bench: %s\n", rig.why().c_str());
        return 1;
    }
    tavelo::TaveloState state;
    if (QxSCScanCardInReader(rig.readers()[0], false, state.m_pCard) != kCtlOk) {
        std::fprintf(stderr, "card_layer_bench: no connection to the card\n");
        return 1;
    }
    QxSCCard* card = state.m_pCard.get();

    const Bytes verify = {0x00, 0x20, 0x00, 0x10, 0x08, 0x24, 0x68,
                          0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes record(46, '1');
    Bytes getTac = {0x00, 0xE2, 0x10, 0x80, static_cast<std::uint8_t>(record.size())};
    getTac.insert(getTac.end(), record.begin(), record.end());
    getTac.push_back(0x00);

    Bytes response;
    const auto raw = [&](const Bytes& command, std::size_t answer) {
        return card->card.transmit(command, response, kQxSCResponseUsable) == kSuccess &&
               response.size() == answer && response[answer - 2] == 0x90 &&
               response[answer - 1] == 0x00;
    };
    const auto contenders = [&] {
        return std::vector<Contender>{
            {"DoVerifyPIN through the card layer",
             [&] { return state.DoVerifyPIN(card, kPin) == kCtlOk; },
             {}},
            {"VERIFY by raw SCardTransmit", [&] { return raw(verify, 2); }, {}},
            {"DoGetTAC through the card layer",
             [&] {
                 return state.DoGetTAC(card, getTac, record.size()) == kCtlOk &&
                        state.m_szTSAC.size() == 16;
             },
             {}},
            {"GET TAC by raw SCardTransmit", [&] { return raw(getTac, 21); }, {}},
        };
    };

    auto quiet = contenders();
    if (!measure(quiet)) {
        return 1;
    }
    report("Card layer against raw SCardTransmit, control log off", quiet, true);

    std::filesystem::create_directories(box.root() / "C" / "logs");
    box.write("Windows/Tavelo.ini", "[Tavelo]\nLog File=C:\\logs\\bench.txt\nLog Level=5\n");
    Log_Init("Tavelo", "Tavelo.ini");
    auto logged = contenders();
    if (!measure(logged)) {
        return 1;
    }
    report("The same with the control log at the debug level", logged, false);
    Log_ResetForTest();
    return 0;
}
