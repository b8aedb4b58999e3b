// The hidden key sequences: typed through the desktop-session tool as a
// user types them, read by the poll through the shell's key state, with a
// stand-in for the About box's guard and for the debug-mode switch.

#include "common/QxLog.h"
#include "common/ToolLog.h"
#include "monitor/CorvantixCheatCode.h"
#include "platform/shell/KeyState.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_support::Sandbox;

using Keys = std::vector<std::uint32_t>;

testing_support::ProgramRun runTool(const std::vector<std::string>& args) {
    std::vector<std::string> words = {CORVANTIX_SESSION_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    return testing_support::runProgramCapture(words);
}

// Presses the keys one after another; the number a poll saw.
int type(const Keys& keys, std::chrono::milliseconds wait = 2000ms) {
    std::vector<std::string> words = {"key", "press", "--wait", std::to_string(wait.count())};
    for (const auto key : keys) {
        words.push_back(std::to_string(key));
    }
    const auto run = runTool(words);
    EXPECT_EQ(run.exitCode, 0);
    return std::atoi(run.out.c_str());
}

std::string hex(std::uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", key);
    return text;
}

Keys concat(const Keys& a, const Keys& b) {
    Keys out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Keys in none of the sequences.
const Keys kStrangers = {'Q', 'W', 'Z', '1', 'K'};

// The monitor's three sequences in a poll of the test's own, each record
// noting its own index when it matches; the About box's guard is a flag.
class CheatCodes : public ::testing::Test {
protected:
    void SetUp() override {
        box_.write("Windows/VondelCorvantix.ini",
                   "[VondelCorvantix]\nLog File=" + (box_.root() / "log.txt").string() +
                       "\nLog Level=5\n");
        logSetMemoryTarget(true);
        ASSERT_TRUE(setLog("CorvantixMonitor-TEST"));
        sequences_ = cheatCodeSequences();
        std::vector<const CheatCode*> table;
        for (std::size_t i = 0; i < sequences_.size(); ++i) {
            auto record = initCheatCode(sequences_[i].data(),
                                        static_cast<std::uint32_t>(sequences_[i].size()));
            ASSERT_TRUE(record);
            record->callback = [this, i] {
                std::lock_guard lock(mutex_);
                matched_.push_back(static_cast<int>(i));
                changed_.notify_all();
            };
            table.push_back(record.get());
            records_.push_back(std::move(record));
        }
        poll_ = std::thread([this, table] {
            CheatCodePoll poll(
                table, {[this] { return aboutOpen_.load(); }, platform::shell::getAsyncKeyState,
                        [this](std::chrono::milliseconds pause) {
                            std::unique_lock lock(mutex_);
                            return !changed_.wait_for(lock, pause, [this] { return stop_; });
                        }});
            poll.run();
        });
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        if (poll_.joinable()) {
            poll_.join();
        }
        logSetMemoryTarget(false);
    }

    // The indexes of the sequences matched so far, once count are there or
    // the limit has passed.
    std::vector<int> matched(std::size_t count, std::chrono::milliseconds limit = 3s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return matched_.size() >= count; });
        return matched_;
    }

    // How often the poll logged the key.
    static int logged(std::uint32_t key) {
        const auto lines = logMemoryLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [key](const auto& line) {
            return line.ends_with("User pressed: " + hex(key));
        }));
    }

    Sandbox box_;
    std::vector<Keys> sequences_;
    std::vector<std::unique_ptr<CheatCode>> records_;
    std::atomic<bool> aboutOpen_{true};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> matched_;
    bool stop_ = false;
    std::thread poll_;
};

TEST_F(CheatCodes, EachSequenceMatchesAfterAnyKeysTypedBeforeIt) {
    ASSERT_EQ(sequences_.size(), 3u);
    EXPECT_EQ(sequences_[0].size(), 13u);
    EXPECT_EQ(sequences_[1].size(), 7u);
    EXPECT_EQ(sequences_[2].size(), 11u);
    struct Case {
        std::size_t sequence;
        Keys before;
    };
    const Case cases[] = {
        {0, kStrangers},                // 18 keys: more than the history holds
        {1, {0x7B, 'C', 'V', 'X'}},     // the start of the same sequence
        {2, {'Q', 'V', 'O', 'N', 'D'}}, // and of the same with a key before
    };
    std::vector<int> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sequence);
        const Keys keys = concat(c.before, sequences_[c.sequence]);
        EXPECT_EQ(type(keys), static_cast<int>(keys.size()));
        expected.push_back(static_cast<int>(c.sequence));
        EXPECT_EQ(matched(expected.size()), expected);
    }
    // Each key the poll recorded was logged.
    EXPECT_GE(logged(0x26), 2);
    EXPECT_GE(logged('Q'), 1);
}

TEST_F(CheatCodes, AKeyInsertedIntoASequenceBreaksIt) {
    const Keys& name = sequences_[2];
    for (const std::size_t at : {std::size_t(1), name.size() - 1}) {
        SCOPED_TRACE(at);
        Keys broken = name;
        broken.insert(broken.begin() + static_cast<long>(at), 'Q');
        EXPECT_EQ(type(broken), static_cast<int>(broken.size()));
    }
    EXPECT_TRUE(matched(1, 300ms).empty());
    // The poll was listening all along.
    type(name);
    EXPECT_EQ(matched(1), std::vector<int>{2});
}

TEST_F(CheatCodes, AKeyHeldDownCountsOnce) {
    const Keys& log = sequences_[1];
    const std::uint32_t held = log[3];
    type(Keys(log.begin(), log.begin() + 3));
    ASSERT_EQ(runTool({"key", "down", std::to_string(held)}).exitCode, 0);
    std::this_thread::sleep_for(6 * kCheatCodeKeyPause); // polled several times meanwhile
    ASSERT_EQ(runTool({"key", "up", std::to_string(held)}).exitCode, 0);
    type(Keys(log.begin() + 4, log.end()));
    EXPECT_EQ(matched(1), std::vector<int>{1});
    EXPECT_EQ(logged(held), 1);
}

TEST_F(CheatCodes, NothingCountsWhileNoAboutBoxIsOpen) {
    aboutOpen_ = false;
    // Each key is held longer than the poll sleeps while no box is open:
    // never read, never matched.
    EXPECT_EQ(type(sequences_[1], kCheatCodeIdlePause + 50ms), 0);
    EXPECT_TRUE(matched(1, 300ms).empty());
    EXPECT_EQ(logged(sequences_[1][0]), 0);
    aboutOpen_ = true;
    std::this_thread::sleep_for(kCheatCodeIdlePause); // the poll wakes up
    EXPECT_EQ(type(sequences_[1]), 7);
    EXPECT_EQ(matched(1), std::vector<int>{1});
}

TEST_F(CheatCodes, KeysOfAnEarlierOpeningCountTowardsALaterOne) {
    const Keys& arrows = sequences_[0];
    type(Keys(arrows.begin(), arrows.begin() + 5));
    aboutOpen_ = false;
    std::this_thread::sleep_for(kCheatCodeIdlePause);
    aboutOpen_ = true;
    std::this_thread::sleep_for(kCheatCodeIdlePause);
    type(Keys(arrows.begin() + 5, arrows.end()));
    EXPECT_EQ(matched(1), std::vector<int>{0});
    // A match empties the history: the tail alone does not match again.
    type(Keys(arrows.begin() + 5, arrows.end()));
    EXPECT_EQ(matched(2, 300ms), std::vector<int>{0});
}

TEST(CheatCodeRecords, CopyCodesUntilTheCountOrAZeroAndRefuseMoreThan63) {
    Sandbox box;
    box.write("Windows/VondelCorvantix.ini",
              "[VondelCorvantix]\nLog File=" + (box.root() / "log.txt").string() +
                  "\nLog Level=5\n");
    logSetMemoryTarget(true);
    ASSERT_TRUE(setLog("CorvantixMonitor-TEST"));
    int toggles = 0;
    setDebugModeSwitch([&toggles] { ++toggles; });

    Keys many(70);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<std::uint32_t>(0x41 + i % 26);
    }
    Keys zeroAt5 = many;
    zeroAt5[5] = 0;
    struct Case {
        const char* what;
        const Keys* codes;
        std::uint32_t count;
        bool made;
        std::uint32_t copied;
        std::uint32_t length;
    };
    const Case cases[] = {
        {"three", &many, 3, true, 3, 3},     {"stops at a zero code", &zeroAt5, 70, true, 5, 5},
        {"63 fit", &many, 63, true, 63, 63}, {"64 do not", &many, 64, false, 0, 0},
        {"nor 70", &many, 70, false, 0, 0},  {"none copied", &many, 0, true, 0, 1},
    };
    int made = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto record = initCheatCode(c.codes->data(), c.count);
        ASSERT_EQ(record != nullptr, c.made);
        if (!record) {
            // At the error level, with its leading blank.
            EXPECT_TRUE(
                logMemoryLines().back().ends_with("[Error]  Init cheat code error, input too long"))
                << logMemoryLines().back();
            continue;
        }
        EXPECT_EQ(record->length, c.length);
        EXPECT_TRUE(
            std::equal(c.codes->begin(), c.codes->begin() + c.copied, record->keys.begin()));
        EXPECT_EQ(record->keys[c.copied], 0u);
        // Its callback switches debug mode.
        record->callback();
        EXPECT_EQ(toggles, ++made);
    }
    EXPECT_EQ(initCheatCode(nullptr, 3), nullptr);
    EXPECT_NE(
        logMemoryLines().back().find("Parameter inputCheatCode is null at CorvantixCheatCode "),
        std::string::npos)
        << logMemoryLines().back();
    setDebugModeSwitch({});
    toggleDebugMode(); // nothing to switch: nothing happens
    EXPECT_EQ(toggles, made);
    logSetMemoryTarget(false);
}

// In a child process, since the poll thread runs there for good: the About
// box registers the sequences each time it opens, but only once counts.
int registerAndTypeInChild() {
    const pid_t pid = fork();
    if (pid == 0) {
        int toggles[2];
        if (pipe2(toggles, O_NONBLOCK) != 0) {
            _exit(10);
        }
        std::atomic<bool> open{false};
        setAboutBoxOpenTest([&open] { return open.load(); });
        setDebugModeSwitch([out = toggles[1]] { (void)!write(out, "t", 1); });
        if (!cheatCodeTable().empty()) {
            _exit(11);
        }
        registerCheatCodes();
        registerCheatCodes();
        const auto table = cheatCodeTable();
        const auto sequences = cheatCodeSequences();
        if (table.size() != 3) {
            _exit(12);
        }
        for (std::size_t i = 0; i < 3; ++i) {
            if (table[i]->length != sequences[i].size() ||
                !std::equal(sequences[i].begin(), sequences[i].end(), table[i]->keys.begin()) ||
                table[i]->keys[table[i]->length] != 0) {
                _exit(13);
            }
        }
        open = true;
        std::this_thread::sleep_for(kCheatCodeIdlePause);
        if (type(sequences[2]) != 11) {
            _exit(14);
        }
        // One switch: a second registration started no second poll.
        std::this_thread::sleep_for(300ms);
        char buffer[8];
        const ssize_t n = read(toggles[0], buffer, sizeof buffer);
        _exit(n == 1 ? 0 : 15);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(CheatCodeRegistration, RegistersTheThreeSequencesAndStartsOnePollOnce) {
    Sandbox box;
    EXPECT_EQ(registerAndTypeInChild(), 0);
}

} // namespace
