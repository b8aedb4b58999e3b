// A page's VerifyPIN and GetTAC through the real service, adapter and card
// control (a keypad reader of the list, so no dialog) against the same
// APDUs by raw SCardTransmit to the same card emulator plus two HTTPS
// echoes, in the same run: the median of the round medians, the best round
// and the ratio with its target (at most 1.15). It reports and never fails
// on a ratio.
//
// Runs in namespaces of its own (root), like the program tests.

#include "bench/ProgramBench.h"
#include "platform/pcsc/Pcsc.h"
#include "tests/card/CardTestData.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace {

using namespace service_program;
namespace pcsc = platform::pcsc;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 3;
constexpr int kRounds = 6;
constexpr int kPerRound = 3;

std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

// The keypad-reader list as the card tests encipher it.
std::string keypadList(const std::string& plain) {
    constexpr std::string_view a = "c3VuLXZvbmRlbC10YXZlbG8ta2V5cGFkLTE2";
    constexpr std::string_view b = "rdr-list/2f9c61";
    std::string salt;
    for (std::size_t i = 0; i < 8; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x",
                      static_cast<unsigned>(static_cast<std::uint8_t>(a[i] ^ b[b.size() - 1 - i])));
        salt += digits;
    }
    const std::string password = shell("printf '%s' '" + std::string(a) + "Qx" + std::string(b) +
                                       "' | openssl dgst -sha1 -binary | base64");
    return shell("printf '%s' '" + plain +
                 "' | openssl enc -des-ede3-cbc -pbkdf2 -iter 1 -md sha1 -S " + salt +
                 " -pass 'pass:" + password + "' -a -A");
}

class CardMethodsBench : public ServiceProgram {
protected:
    CardMethodsBench() : ServiceProgram(Adapter::RealControl) {}
    void SetUp() override {
        ASSERT_TRUE(rig.start()) << rig.why()
                                 << " (the benchmark needs root for namespaces of its own; "
                                    "scripts/bench.sh runs as root in CI)";
        auto profile = card_test::testProfile();
        profile.keypad = true;
        card = rig.insertCard(card_emulator::kDefaultPort, profile);
        ASSERT_NE(card, nullptr) << rig.why();
        start();
    }
    std::string call(const std::string& body) {
        const auto reply =
            postReply(kPorts[0], false, R"({"SessionId":")" + session + "\"," + body + "}");
        if (!reply) {
            return "<closed>";
        }
        const auto found = reply->find("result");
        return found != reply->end() ? found->second : "<none>";
    }

    testing_support::CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::string session;
};

TEST_F(CardMethodsBench, VerifyPinAndGetTacAgainstRawApdus) {
    std::optional<Reply> opened;
    for (int i = 0; i < 200; ++i) {
        opened = echoReply();
        if (opened && opened->count("SessionID")) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(opened && opened->count("SessionID"));
    session = opened->at("SessionID");
    const std::string reader = rig.readers()[0];
    const std::string list = keypadList("Virtual PCD 0");
    ASSERT_EQ(call(R"("FunctionName":"ConnectCard","readerName":")" + reader + "\""), "0");
    const std::string verify = R"("FunctionName":"VerifyPIN","bReaderName":")" + reader +
                               R"(","bAdvReaderList":")" + list +
                               R"(","PIN":"246810","iFlags":"8388608","iReplugTime":"0")";
    const std::string tac = R"("FunctionName":"GetTAC","bData":"414243","iFlags":"16777216")";
    const auto service = [&] { return call(verify) == "0" && call(tac).size() > 16; };

    pcsc::Context context;
    ASSERT_EQ(pcsc::Context::establish(pcsc::kScopeUser, context), pcsc::kSuccess);
    const std::vector<card_emulator::Bytes> apdus = {
        card_test::kSelectApplication, card_test::kVerify, card_test::kSelectApplication,
        card_test::getTacCommand(card_test::ascii("ABC"), false)};
    const auto raw = [&] {
        // The control holds the card exclusively between calls: the raw
        // side connects shared once per round as VerifyPIN does.
        pcsc::CardHandle handle{};
        std::uint32_t protocol = 0;
        if (pcsc::SCardConnectA(context.get(), reader.c_str(), pcsc::kShareShared,
                                pcsc::kProtocolT0 | pcsc::kProtocolT1, &handle,
                                &protocol) != pcsc::kSuccess) {
            return false;
        }
        bool ok = true;
        for (const auto& apdu : apdus) {
            std::uint8_t answer[258];
            std::uint32_t length = sizeof answer;
            ok = ok &&
                 pcsc::SCardTransmit(handle, pcsc::pciForProtocol(protocol), apdu.data(),
                                     static_cast<std::uint32_t>(apdu.size()), nullptr, answer,
                                     &length) == pcsc::kSuccess &&
                 length >= 2 && answer[length - 2] == 0x90;
        }
        pcsc::SCardDisconnect(handle, pcsc::kDispositionLeave);
        return ok && echoReply(session).has_value() && echoReply(session).has_value();
    };

    const auto time = [](const std::function<bool()>& f, std::vector<double>& into) {
        const auto t0 = Clock::now();
        const bool ok = f();
        into.push_back(program_bench::elapsedMicros(t0));
        return ok;
    };
    const char* name = "page VerifyPIN+GetTAC/raw APDUs + 2 echoes";
    std::vector<program_bench::RoundPair> runs;
    for (int run = 1; run <= kRuns; ++run) {
        program_bench::RoundPair rounds;
        for (int r = 0; r < kRounds; ++r) {
            std::vector<double> serviceTimes;
            std::vector<double> rawTimes;
            for (int i = 0; i < kPerRound; ++i) {
                // The service's control holds the card between calls: give
                // it back for the raw side, and take it again after.
                ASSERT_EQ(call(R"("FunctionName":"DisconnectCard")"), "0");
                ASSERT_TRUE(time(raw, rawTimes)) << "raw APDUs failed";
                ASSERT_EQ(call(R"("FunctionName":"ConnectCard","readerName":")" + reader + "\""),
                          "0");
                ASSERT_TRUE(time(service, serviceTimes)) << "the page's calls failed";
            }
            rounds.measured.push_back(program_bench::median(serviceTimes));
            rounds.baseline.push_back(program_bench::median(rawTimes));
        }
        program_bench::reportRun(name, run, rounds, "us");
        runs.push_back(std::move(rounds));
    }
    program_bench::reportSummary(name, runs, "us", program_bench::Target{1.15});
}

} // namespace
