// The keeper with the real service beside it, on the service's real ports:
// the service it starts answers a page, and a service that is killed is
// replaced by the next attempt quickly, never two at once.

#include "monitor/Keeper.h"
#include "tests/monitor/KeeperTestSupport.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace keeper_test;
using Clock = std::chrono::steady_clock;

class KeeperWithService : public service_program::ServiceProgram {
protected:
    void SetUp() override {
        enableLog();
        const auto host = program.parent_path() / "VondelCorvantixMonitor";
        fs::copy_file(KEEPER_HOST, host);
        keeperHost = spawn({host.string()});
        running.push_back(keeperHost);
    }

    void TearDown() override {
        watching = false;
        if (watcher.joinable()) {
            watcher.join();
        }
        // The service is the keeper's child: end the keeper first, then it.
        ServiceProgram::TearDown();
        for (const auto& entry :
             platform::listProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
            if (entry.pid != getpid()) {
                kill(entry.pid, SIGKILL);
            }
        }
        for (int i = 0; i < 200 && !ProgramSandbox::processesNamed("VondelCorvantix").empty();
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }

    static std::vector<pid_t> services() {
        return ProgramSandbox::processesNamed("VondelCorvantix");
    }

    // Counts the services that run at once, from now to the end of the test.
    void watchServices() {
        watching = true;
        watcher = std::thread([this] {
            while (watching) {
                const auto n = services().size();
                mostAtOnce = std::max(mostAtOnce.load(), n);
                std::this_thread::sleep_for(5ms);
            }
        });
    }

    static std::string attemptOf(pid_t pid) {
        const auto words = commandLine(pid);
        return words.size() == 2 ? words[1] : "?";
    }

    pid_t keeperHost = -1;
    std::thread watcher;
    std::atomic<bool> watching{false};
    std::atomic<std::size_t> mostAtOnce{0};
};

TEST_F(KeeperWithService, StartsTheServiceWithAttemptZeroAndItAnswersAPage) {
    watchServices();
    ASSERT_TRUE(ready());
    const auto pids = services();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(attemptOf(pids[0]), "0");
    EXPECT_EQ(service_program::echo(service_program::kPorts[1], true), "0");
    EXPECT_EQ(mostAtOnce, 1u);
}

TEST_F(KeeperWithService, KilledServiceIsReplacedByTheNextAttemptWithinASecondAndAHalf) {
    watchServices();
    ASSERT_TRUE(ready());
    const auto first = services();
    ASSERT_EQ(first.size(), 1u);

    const auto killed = Clock::now();
    ASSERT_EQ(kill(first[0], SIGKILL), 0);
    bool answered = false;
    while (!answered && Clock::now() - killed < 1500ms) {
        const auto now = services();
        answered = now.size() == 1 && now[0] != first[0] &&
                   service_program::echo() == std::optional<std::string>("0");
        if (!answered) {
            std::this_thread::sleep_for(20ms);
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    EXPECT_TRUE(answered) << "no new service answered within " << took.count() << " ms";
    const auto second = services();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    EXPECT_EQ(attemptOf(second[0]), "1");
    // The service of the second attempt knows the first one crashed.
    EXPECT_NE(log().find("Detected Corvantix crash"), std::string::npos);
    EXPECT_EQ(mostAtOnce, 1u);
}

} // namespace
