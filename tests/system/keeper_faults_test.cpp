// The real monitor keeping the real service, with the real adapter and the
// real card control over a private pcscd and an emulated card: a service
// killed under a page's call fails that call at once and is replaced within
// 1.5 s, and a killed monitor is brought back, with its service, by the
// watchdog's reset.

#include "tests/card/CardTestData.h"
#include "tests/monitor/MonitorProgram.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <future>

namespace {

using namespace monitor_test;
using namespace service_program;
using Clock = std::chrono::steady_clock;
using card_emulator::toHex;

constexpr std::uint8_t kReadBinary = 0xB0;

class KeptService : public ::testing::Test {
protected:
    KeptService() {
        // The real adapter, with the real control registered as its
        // installer does, in place of the stand-in.
        monitor.install(ADAPTER_LIBRARY, "Vondel/VondelTaveloZynAdapter.so");
        EXPECT_EQ(testing_support::runProgram({TAVELO_REGISTER, TAVELO_LIBRARY}), 0);
    }
    void SetUp() override {
        // pcscd and the card first, while this process has no other thread;
        // the monitor and the service it starts run in the same namespaces.
        ASSERT_TRUE(rig.start()) << rig.why();
        card = rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile());
        ASSERT_NE(card, nullptr) << rig.why();
        reader = rig.readers()[0];
        monitor.startWithIcon();
        ASSERT_TRUE(waitFor([] { return services().size() == 1; }, 10s)) << monitor.logText();
    }
    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "log:\n%s\npcscd:\n%s\n", monitor.logText().c_str(),
                         rig.pcscdLog().c_str());
        }
    }

    static std::vector<pid_t> services() { return MonitorRig::processesNamed("VondelCorvantix"); }
    static std::vector<pid_t> watchdogs() {
        std::vector<pid_t> found;
        for (const pid_t pid : MonitorRig::processesNamed("VondelCorvantixWorker")) {
            const auto words = keeper_test::commandLine(pid);
            if (words.size() > 1 && words[1] == "-watchdog") {
                found.push_back(pid);
            }
        }
        return found;
    }

    // A session of a page whose adapter created the real control; its id,
    // empty while the service does not answer.
    static std::string openSession() {
        const auto reply = echoReply();
        return resultOf(reply) == "0" ? reply->at("SessionID") : "";
    }
    static std::string call(const std::string& session, const std::string& function,
                            const std::string& more = "") {
        return resultOf(postReply(kPorts[0], false,
                                  R"({"FunctionName":")" + function + R"(","SessionId":")" +
                                      session + "\"" + more + "}"));
    }
    // Connects the session to the card and reads its serial number.
    void useTheCard(const std::string& session) const {
        ASSERT_FALSE(session.empty());
        EXPECT_EQ(call(session, "ConnectCard", R"(,"readerName":")" + reader + "\""), "0");
        EXPECT_EQ(call(session, "GetSN"), toHex(card->serial()));
    }

    testing_support::CardRig rig;
    MonitorRig monitor{Service::Real};
    card_emulator::CardEmulator* card = nullptr;
    std::string reader;
};

TEST_F(KeptService, ACallInFlightFailsAndTheNextSucceedsWithinASecondAndAHalf) {
    std::string session;
    ASSERT_TRUE(waitFor([&] { return !(session = openSession()).empty(); }, 15s));
    ASSERT_NO_FATAL_FAILURE(useTheCard(session));
    const pid_t first = services().at(0);

    // The card takes its time over the next read: the page's call waits in
    // the service when the service is killed.
    card->clearLog();
    card->addFault(card_emulator::Fault::delayed(kReadBinary, 2s));
    auto inFlight = std::async(std::launch::async, [&] { return call(session, "GetSN"); });
    ASSERT_EQ(inFlight.wait_for(500ms), std::future_status::timeout) << "the call did not wait";
    const auto killed = Clock::now();
    ASSERT_EQ(kill(first, SIGKILL), 0);

    ASSERT_EQ(inFlight.wait_for(1s), std::future_status::ready) << "the page's call hangs";
    EXPECT_EQ(inFlight.get(), "<closed>");

    std::string next;
    while (next.empty() && Clock::now() - killed < 3s) {
        next = openSession();
        if (next.empty()) {
            std::this_thread::sleep_for(20ms);
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    std::printf("a new service answered %lld ms after the kill\n",
                static_cast<long long>(took.count()));
    ASSERT_FALSE(next.empty()) << "no service answered";
    EXPECT_LT(took, 1500ms);
    const auto now = services();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0], first);
    // The new service reaches the card once the card has done with the
    // dead one's command (pcscd holds the dead one's connection until then).
    ASSERT_TRUE(waitFor(
        [&] {
            const auto sent = card->exchanges();
            return std::any_of(sent.begin(), sent.end(),
                               [](const auto& e) { return e.command.at(1) == kReadBinary; });
        },
        5s));
    ASSERT_NO_FATAL_FAILURE(useTheCard(next));
}

TEST_F(KeptService, TheWatchdogsResetBringsAKilledMonitorBack) {
    ASSERT_TRUE(waitFor([] { return !openSession().empty(); }, 15s));
    ASSERT_TRUE(waitFor([] { return watchdogs().size() == 1; }, 10s));
    const auto monitors = MonitorRig::processesNamed("VondelCorvantixMonitor");
    ASSERT_EQ(monitors.size(), 1u);
    const pid_t oldService = services().at(0);
    const pid_t oldWatchdog = watchdogs().at(0);

    const auto killed = Clock::now();
    ASSERT_EQ(kill(monitors[0], SIGKILL), 0);
    // A new monitor, a new service it keeps, a new watchdog, and a page's
    // session with the card.
    const auto back = [&] {
        const auto m = MonitorRig::processesNamed("VondelCorvantixMonitor");
        const auto s = services();
        const auto w = watchdogs();
        return m.size() == 1 && m[0] != monitors[0] && s.size() == 1 && s[0] != oldService &&
               w.size() == 1 && w[0] != oldWatchdog && !openSession().empty();
    };
    ASSERT_TRUE(waitFor(back, 15s)) << "not everything came back";
    std::printf(
        "everything back %lld ms after the kill\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count()));
    EXPECT_TRUE(waitFor([] { return MonitorRig::icon().has_value(); }, 5s));
    ASSERT_NO_FATAL_FAILURE(useTheCard(openSession()));
}

} // namespace
