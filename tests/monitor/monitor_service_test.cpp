// The real monitor keeping the real service on its real ports: the service
// it starts answers a page, a killed one is replaced at once, the menu
// stops, starts and restarts it, and debug mode turns the service's log on
// in the desktop's log folder and off again.

#include "monitor/CorvantixCheatCode.h"
#include "tests/monitor/MonitorProgram.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

namespace {

using namespace monitor_test;
using Clock = std::chrono::steady_clock;

class MonitorWithService : public ::testing::Test {
protected:
    MonitorRig rig{Service::Real};

    static std::vector<pid_t> services() { return MonitorRig::processesNamed("VondelCorvantix"); }
    static bool answers() { return service_program::echo() == std::optional<std::string>("0"); }
    static bool waitUntilAnswered(std::chrono::milliseconds limit = 15s) {
        return waitFor(answers, limit);
    }
    static bool iconIs(std::uint32_t image) {
        return waitFor([&] { return MonitorRig::icon() && MonitorRig::icon()->icon == image; },
                       10s);
    }
};

TEST_F(MonitorWithService, KilledServiceIsReplacedAndTheTrayTellsOfIt) {
    rig.startWithIcon();
    ASSERT_TRUE(waitUntilAnswered());
    ASSERT_TRUE(iconIs(104));
    const auto first = services();
    ASSERT_EQ(first.size(), 1u);

    const auto killed = Clock::now();
    ASSERT_EQ(kill(first[0], SIGKILL), 0);
    bool answered = false;
    while (!answered && Clock::now() - killed < 1500ms) {
        const auto now = services();
        answered = now.size() == 1 && now[0] != first[0] && answers();
        if (!answered) {
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_TRUE(answered) << "no new service answered within 1.5 s";
    // Running, stopped, running again, each with its notice.
    const auto images = MonitorRig::iconImages();
    ASSERT_GE(images.size(), 3u);
    EXPECT_EQ(std::vector<std::int64_t>(images.end() - 3, images.end()),
              (std::vector<std::int64_t>{104, 105, 104}));
    const auto notices = MonitorRig::balloons();
    ASSERT_GE(notices.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(notices.end() - 3, notices.end()),
              (std::vector<std::string>{"VondelCorvantix turned on", "VondelCorvantix turned off",
                                        "VondelCorvantix turned on"}));
}

TEST_F(MonitorWithService, StopStartAndRestartFromTheMenu) {
    rig.startWithIcon();
    ASSERT_TRUE(waitUntilAnswered());
    ASSERT_TRUE(iconIs(104));
    EXPECT_EQ(MonitorRig::menuLayout().substr(0, 12), "61001 61003 ");

    MonitorRig::choose(61001);
    ASSERT_TRUE(iconIs(105));
    EXPECT_TRUE(waitFor([] { return services().empty(); }, 10s));
    EXPECT_FALSE(answers());
    EXPECT_EQ(MonitorRig::menuLayout().substr(0, 6), "61002 ");
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(services().empty()) << "a stopped service was started again";

    MonitorRig::choose(61002);
    ASSERT_TRUE(waitUntilAnswered());
    ASSERT_TRUE(iconIs(104));
    const auto before = services();
    ASSERT_EQ(before.size(), 1u);

    MonitorRig::choose(61003);
    EXPECT_TRUE(MonitorRig::waitForBalloon("VondelCorvantix already restarted", 15s));
    ASSERT_TRUE(waitUntilAnswered());
    const auto after = services();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before[0]);
    EXPECT_EQ(keeper_test::commandLine(after[0]).at(1), "0");
}

std::uintmax_t logBytes(const fs::path& folder) {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        bytes += entry.file_size();
    }
    return bytes;
}

TEST_F(MonitorWithService, DebugModeLogsTheServiceOnTheDesktopUntilItEnds) {
    // Only the debug INI file turns logs on here.
    fs::remove(rig.box.root() / "Windows" / "VondelCorvantix.ini");
    rig.startWithIcon();
    ASSERT_TRUE(waitUntilAnswered());
    const fs::path logs = MonitorRig::desktop() / "CorvantixLog";
    EXPECT_FALSE(fs::exists(logs));

    ASSERT_TRUE(MonitorRig::openAbout());
    std::vector<std::string> words = {"key", "press", "--wait", "3000"};
    const auto sequences = cheatCodeSequences();
    for (const auto key : sequences[0]) {
        words.push_back(std::to_string(key));
    }
    ASSERT_EQ(MonitorRig::tool(words).exitCode, 0);
    ASSERT_TRUE(waitFor([] { return fs::exists(MonitorRig::debugIni()); }, 5s));
    EXPECT_TRUE(MonitorRig::waitForBalloon("Turn on debug mode"));

    // The service's log switch woke and logs each page's call.
    std::uintmax_t before = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            before = logBytes(logs);
            return answers() && logBytes(logs) > before;
        },
        5s))
        << "no log grows in " << logs;
    before = logBytes(logs);
    ASSERT_TRUE(answers());
    EXPECT_GT(logBytes(logs), before);

    // The service's log switch sleeps 100 ms after each wake-up, and a pulse
    // in that time passes it by: a user's switch comes later than that.
    std::this_thread::sleep_for(300ms);
    MonitorRig::choose(61015);
    ASSERT_TRUE(waitFor([] { return !fs::exists(MonitorRig::debugIni()); }, 5s));
    EXPECT_TRUE(MonitorRig::waitForBalloon("Turn off debug mode"));
    std::this_thread::sleep_for(500ms);
    before = logBytes(logs);
    ASSERT_TRUE(answers());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(logBytes(logs), before);
}

} // namespace
