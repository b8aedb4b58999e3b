// The keyboard's state as every process of the user reads it, set only by
// the session tool: held keys, presses that last until a poll saw them, and
// keys injected into the process through the dialog layer.

#include "platform/shell/KeyState.h"
#include "platform/ui/Keyboard.h"
#include "tests/shell/ShellFixture.h"

#include <atomic>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace shell_test;
using platform::shell::getAsyncKeyState;
using testing_support::Sandbox;

constexpr std::int16_t kDown = static_cast<std::int16_t>(0x8000);

// Whether a child process reads the key as down.
bool downInChild(std::uint32_t key) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(getAsyncKeyState(key) == kDown ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(KeyState, KeysHeldByTheToolAreDownForEveryProcessUntilReleased) {
    Sandbox box;
    struct Case {
        const char* word;
        std::uint32_t key;
    };
    const Case cases[] = {
        {"a", 'A'},
        {"Z", 'Z'},
        {"7", '7'},
        {"printscreen", 0x2C},
        {"f12", 0x7B},
        {"left", 0x25},
        {"0x2A", 0x2A},
        {"1", '1'},
        {"254", 0xFE},
        {"0x01", 0x01},
        // Names as a person types them.
        {"F12", 0x7B},
        {"Left", 0x25},
        {"PrintScreen", 0x2C},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(getAsyncKeyState(c.key), 0);
        ASSERT_EQ(runTool({"key", "down", c.word}).exitCode, 0);
        EXPECT_EQ(getAsyncKeyState(c.key), kDown);
        EXPECT_TRUE(downInChild(c.key));
        EXPECT_EQ(getAsyncKeyState(c.key == 'A' ? 'B' : 'A'), 0);
        ASSERT_EQ(runTool({"key", "up", c.word}).exitCode, 0);
        EXPECT_EQ(getAsyncKeyState(c.key), 0);
        EXPECT_FALSE(downInChild(c.key));
    }
    for (const std::uint32_t beyond : {256u, 1000u}) {
        EXPECT_EQ(getAsyncKeyState(beyond), 0);
    }
    const auto keys = journalOf("key.");
    ASSERT_EQ(keys.size(), 2 * std::size(cases));
    EXPECT_EQ(text(keys[0], "op"), "key.down");
    EXPECT_EQ(number(keys[0], "key"), 'A');
    EXPECT_EQ(text(keys[1], "op"), "key.up");

    const std::vector<std::vector<std::string>> wrong = {
        {"key", "press"},           {"key", "press", "0x00"},
        {"key", "press", "255"},    {"key", "press", "ctrl"},
        {"key", "down", "a", "b"},  {"key", "hold", "a"},
        {"key", "press", "--wait"}, {"key", "press", "--wait", "x", "a"},
    };
    for (const auto& words : wrong) {
        EXPECT_EQ(runTool(words).exitCode, 1) << words.back();
    }
}

TEST(KeyState, APressLastsUntilAPollHasSeenIt) {
    Sandbox box;
    std::atomic<bool> polling{true};
    std::atomic<int> downReads{0};
    std::thread poll([&] {
        while (polling) {
            if (getAsyncKeyState('Q') == kDown) {
                ++downReads;
            }
            std::this_thread::sleep_for(30ms);
        }
    });
    const auto pressed = runTool({"key", "press", "q", "q"});
    polling = false;
    poll.join();
    EXPECT_EQ(pressed.exitCode, 0);
    EXPECT_EQ(pressed.out, "2\n");
    EXPECT_GE(downReads, 2);
    EXPECT_EQ(getAsyncKeyState('Q'), 0);

    // Nobody polls: each press gives up after its wait and is not seen.
    const auto start = std::chrono::steady_clock::now();
    const auto unseen = runTool({"key", "press", "--wait", "150", "w", "e"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(unseen.out, "0\n");
    EXPECT_EQ(getAsyncKeyState('W'), 0);
    EXPECT_EQ(getAsyncKeyState('E'), 0);
}

TEST(KeyState, KeysInjectedIntoTheProcessCountAsDown) {
    Sandbox box;
    platform::ui::injectKey('J', false);
    EXPECT_EQ(getAsyncKeyState('J'), kDown);
    platform::ui::injectKey('J', true);
    EXPECT_EQ(getAsyncKeyState('J'), 0);
}

} // namespace
