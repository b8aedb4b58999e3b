// Posted messages with both parameters, registered message numbers and
// their broadcast, and loops nested inside a window procedure.

#include "platform/window/MessageWindow.h"
#include "tests/platform/Recorder.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::MessageWindow;
using platform::SendStatus;
using platform::WindowMessage;
using platform_test::Recorder;
using testing_support::Sandbox;

using LoopEnd = MessageWindow::LoopEnd;

// Runs body in a child process; its exit code (body's answer), or -1.
int inChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A window in a child process registered for a broadcast number, which
// writes "message wParam lParam" on a pipe for every message until killed.
class BroadcastChild {
public:
    BroadcastChild(const std::string& className, std::uint32_t message) {
        int ready[2];
        int report[2];
        if (pipe(ready) != 0 || pipe(report) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            const int out = report[1];
            auto window = MessageWindow::create(className, [out](const WindowMessage& m) {
                const std::string line = std::to_string(m.message) + " " +
                                         std::to_string(m.wParam) + " " + std::to_string(m.lParam) +
                                         "\n";
                (void)!write(out, line.data(), line.size());
                return 0u;
            });
            const char state = window && window->registerBroadcast(message) ? '1' : '0';
            (void)!write(ready[1], &state, 1);
            if (state == '1') {
                window->runMessageLoop();
            }
            _exit(0);
        }
        close(ready[1]);
        close(report[1]);
        report_ = report[0];
        char state = '0';
        (void)!read(ready[0], &state, 1);
        close(ready[0]);
        ready_ = state == '1';
    }
    ~BroadcastChild() {
        kill();
        if (report_ >= 0) {
            close(report_);
        }
    }
    bool ready() const { return ready_; }
    std::string nextLine() {
        std::string line;
        char c;
        while (read(report_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
    bool ready_ = false;
};

TEST(PostedMessages, CarryBothParametersInTheOrderPosted) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Poster", recorder.proc());
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());

    struct Case {
        std::uint32_t message;
        std::uint64_t wParam;
        std::int64_t lParam;
    };
    const std::vector<Case> cases = {
        {0x0401, 0, 515},
        {0x0401, 0, 516},
        {0x0111, 61004, 0},
        {0xC123, 0xFFFFFFFF00000007ull, -1},
        {0x8000, 0x1234, std::int64_t(-1) << 40},
    };
    // From another process, through the socket.
    EXPECT_EQ(inChild([&cases] {
                  for (const auto& c : cases) {
                      if (platform::postMessage("poster", c.message, c.wParam, c.lParam) !=
                          SendStatus::Ok) {
                          return 1;
                      }
                  }
                  return 0;
              }),
              0);
    // From this process, into the window's own queue.
    for (const auto& c : cases) {
        EXPECT_EQ(platform::postMessage("Poster", c.message, c.wParam, c.lParam), SendStatus::Ok);
    }
    const auto seen = recorder.waitFor(2 * cases.size());
    ASSERT_EQ(seen.size(), 2 * cases.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i % cases.size()];
        EXPECT_EQ(seen[i].message, c.message);
        EXPECT_EQ(seen[i].wParam, c.wParam);
        EXPECT_EQ(seen[i].lParam, c.lParam);
        EXPECT_EQ(seen[i].param, static_cast<std::uint32_t>(c.wParam));
        EXPECT_TRUE(seen[i].data.empty());
    }
    EXPECT_EQ(platform::postMessage("Nobody", 0x0401), SendStatus::NoWindow);
}

// One request frame as the wire form has it, with its flags.
std::string rawFrame(std::uint32_t message, std::uint32_t flags, std::string_view payload) {
    const std::uint32_t header[5] = {0x4D585643, message, 0, flags,
                                     static_cast<std::uint32_t>(payload.size())};
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + std::string(payload);
}

// Sends the bytes on a connection of its own; the answer's result, or
// nullopt when the window dropped the connection instead.
std::optional<std::uint32_t> rawExchange(const std::string& className, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const auto path = platform::windowSocketPath(className).native();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    std::optional<std::uint32_t> result;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::uint32_t answer[2] = {};
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) == 1 && read(fd, answer, sizeof answer) == sizeof answer) {
            result = answer[1];
        }
    }
    close(fd);
    return result;
}

TEST(PostedMessages, AFrameTooShortForItsParametersIsDropped) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Strict", recorder.proc({}, [](const WindowMessage& m) {
        return static_cast<std::uint32_t>(m.lParam);
    }));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());
    std::string parameters(16, '\0');
    const std::uint64_t wParam = 5;
    const std::int64_t lParam = 77;
    std::memcpy(parameters.data(), &wParam, 8);
    std::memcpy(parameters.data() + 8, &lParam, 8);

    struct Case {
        const char* what;
        std::uint32_t flags;
        std::string payload;
        std::optional<std::uint32_t> answer;
    };
    const std::vector<Case> cases = {
        {"sent, with both parameters", 0x2, parameters, 77},
        {"sent, parameters and data", 0x2, parameters + "data", 77},
        {"posted: answered before the procedure", 0x3, parameters, 0},
        {"a wake: no procedure", 0x4, "", 0},
        {"eight bytes of sixteen", 0x2, parameters.substr(0, 8), std::nullopt},
        {"none at all", 0x3, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rawExchange("Strict", rawFrame(0x0401, c.flags, c.payload)), c.answer);
    }
    const auto seen = recorder.waitFor(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].data, "data");
    for (const auto& s : seen) {
        EXPECT_EQ(s.wParam, 5u);
        EXPECT_EQ(s.lParam, 77);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.seen().size(), 3u);
}

TEST(PostedMessages, APostToItsOwnWindowFromTheProcedureComesAfterIt) {
    Sandbox box;
    std::vector<std::uint32_t> order;
    std::promise<void> done;
    auto window = MessageWindow::create("Self", [&](const WindowMessage& m) {
        order.push_back(m.message);
        if (m.message == 1) {
            // Its own loop is busy here: waiting for a socket answer would
            // hang, the queue does not.
            EXPECT_EQ(platform::postMessage("Self", 2), SendStatus::Ok);
            order.push_back(100);
        } else {
            done.set_value();
        }
        return 0u;
    });
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());
    window->post(1);
    ASSERT_EQ(done.get_future().wait_for(2s), std::future_status::ready);
    window->stop();
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 100, 2}));
}

TEST(RegisteredMessages, OneNumberPerNameInEveryProcess) {
    Sandbox box;
    const auto taskbar = platform::registerWindowMessage("TaskbarCreated");
    EXPECT_GE(taskbar, platform::kFirstRegisteredMessage);
    EXPECT_LE(taskbar, platform::kLastRegisteredMessage);
    EXPECT_EQ(platform::registerWindowMessage("TASKBARcreated"), taskbar);
    const auto other = platform::registerWindowMessage("Other");
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, taskbar);
    for (const char* refused : {"", "two\nlines"}) {
        EXPECT_EQ(platform::registerWindowMessage(refused), 0u) << refused;
    }
    // Another process finds the same numbers and adds one the parent then
    // finds; exit codes carry the comparisons.
    EXPECT_EQ(inChild([taskbar, other] {
                  const bool same = platform::registerWindowMessage("TaskbarCreated") == taskbar &&
                                    platform::registerWindowMessage("other") == other;
                  const auto fresh = platform::registerWindowMessage("FromChild");
                  return same && fresh != 0 && fresh != taskbar && fresh != other ? 0 : 1;
              }),
              0);
    const auto fromChild = platform::registerWindowMessage("FromChild");
    EXPECT_EQ(inChild([fromChild] {
                  return platform::registerWindowMessage("fromchild") == fromChild ? 0 : 1;
              }),
              0);
    // Another sandbox is another user's table.
    Sandbox elsewhere;
    EXPECT_EQ(platform::registerWindowMessage("Other"), platform::kFirstRegisteredMessage);
}

TEST(RegisteredMessages, BroadcastReachesTheRegisteredWindowsOnly) {
    Sandbox box;
    const auto taskbar = platform::registerWindowMessage("TaskbarCreated");
    const auto other = platform::registerWindowMessage("Other");
    ASSERT_NE(taskbar, 0u);
    Recorder tray;
    Recorder quiet;
    auto trayWindow = MessageWindow::create("Tray", tray.proc());
    auto quietWindow = MessageWindow::create("Quiet", quiet.proc());
    ASSERT_TRUE(trayWindow && quietWindow);
    EXPECT_FALSE(trayWindow->registerBroadcast(0x0401)); // not a registered number
    ASSERT_TRUE(trayWindow->registerBroadcast(taskbar));
    ASSERT_TRUE(quietWindow->registerBroadcast(other));
    ASSERT_TRUE(trayWindow->start() && quietWindow->start());
    BroadcastChild child("ChildTray", taskbar);
    ASSERT_TRUE(child.ready());

    EXPECT_EQ(platform::broadcastMessage(taskbar, 7, -8), 2);
    const auto seen = tray.waitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, taskbar);
    EXPECT_EQ(seen[0].wParam, 7u);
    EXPECT_EQ(seen[0].lParam, -8);
    EXPECT_EQ(child.nextLine(), std::to_string(taskbar) + " 7 -8");
    EXPECT_EQ(platform::broadcastMessage(0x0401), 0); // never broadcast

    // A dead window is skipped, and a new window of its class does not
    // inherit its registration.
    child.kill();
    EXPECT_EQ(platform::broadcastMessage(taskbar), 1);
    Recorder heir;
    auto heirWindow = MessageWindow::create("ChildTray", heir.proc());
    ASSERT_NE(heirWindow, nullptr);
    ASSERT_TRUE(heirWindow->start());
    EXPECT_EQ(platform::broadcastMessage(taskbar), 1);

    trayWindow->unregisterBroadcast(taskbar);
    EXPECT_EQ(platform::broadcastMessage(taskbar), 0);
    EXPECT_EQ(tray.waitFor(3).size(), 3u);
    EXPECT_TRUE(heir.seen().empty());
    EXPECT_TRUE(quiet.seen().empty());
    // Closing a window takes its registrations along.
    quietWindow.reset();
    EXPECT_EQ(platform::broadcastMessage(other), 0);
}

constexpr std::uint32_t kOpenBox = 0x0401;
constexpr std::uint32_t kOpenForever = 0x0402;

// A window whose procedure runs a nested loop for kOpenBox until the box is
// closed, and one for kOpenForever that only a quit ends.
struct NestingWindow {
    std::unique_ptr<MessageWindow> window;
    std::atomic<bool> boxClosed{false};
    std::atomic<bool> inside{false};
    std::mutex lock;
    std::vector<std::string> events;

    void note(std::string event) {
        std::lock_guard guard(lock);
        events.push_back(std::move(event));
    }
    std::vector<std::string> seen() {
        std::lock_guard guard(lock);
        return events;
    }

    explicit NestingWindow(const char* className) {
        window = MessageWindow::create(className, [this](const WindowMessage& m) {
            if (m.message == kOpenBox || m.message == kOpenForever) {
                note(MessageWindow::current() == window.get() ? "open" : "open elsewhere");
                inside = true;
                const auto end = window->runNestedLoop(
                    [this, m] { return m.message == kOpenBox && boxClosed.load(); });
                inside = false;
                note(end == LoopEnd::Done ? "closed" : end == LoopEnd::Quit ? "quit" : "refused");
            } else {
                note(std::string(m.data));
            }
            return 0u;
        });
    }
    bool waitInside() {
        for (int i = 0; i < 400 && !inside; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return inside;
    }
};

TEST(NestedLoops, GoOnServingTheWindowUntilTheirConditionHolds) {
    Sandbox box;
    NestingWindow tray("Tray");
    ASSERT_NE(tray.window, nullptr);
    EXPECT_EQ(MessageWindow::current(), nullptr);
    auto outer = std::async(std::launch::async, [&tray] { tray.window->runMessageLoop(); });

    ASSERT_EQ(platform::postMessage("Tray", kOpenBox), SendStatus::Ok);
    ASSERT_TRUE(tray.waitInside());
    // While the box is open its loop dispatches what the window is sent.
    EXPECT_TRUE(platform::sendCopyData("Tray", 0, "during"));
    // Another thread cannot run a loop of the window meanwhile.
    EXPECT_EQ(tray.window->runNestedLoop([] { return true; }), LoopEnd::Refused);
    // A wake without a message lets the loop see that the box has closed.
    tray.boxClosed = true;
    ASSERT_EQ(platform::wakeWindow("Tray"), SendStatus::Ok);
    EXPECT_TRUE(platform::sendCopyData("Tray", 0, "after"));
    EXPECT_EQ(tray.seen(), (std::vector<std::string>{"open", "during", "closed", "after"}));

    tray.window->quit();
    ASSERT_EQ(outer.wait_for(2s), std::future_status::ready);
}

TEST(NestedLoops, AQuitEndsTheNestedLoopAndTheLoopAroundIt) {
    Sandbox box;
    NestingWindow tray("Tray");
    ASSERT_NE(tray.window, nullptr);
    auto outer = std::async(std::launch::async, [&tray] { tray.window->runMessageLoop(); });
    ASSERT_EQ(platform::postMessage("Tray", kOpenForever), SendStatus::Ok);
    ASSERT_TRUE(tray.waitInside());
    tray.window->quit();
    ASSERT_EQ(outer.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(tray.seen(), (std::vector<std::string>{"open", "quit"}));

    // The quit was taken: the next loop runs until its own end.
    tray.window->post(kOpenBox);
    tray.boxClosed = true;
    auto again = std::async(std::launch::async, [&tray] { tray.window->runMessageLoop(); });
    EXPECT_TRUE(platform::sendCopyData("Tray", 0, "served"));
    tray.window->quit();
    ASSERT_EQ(again.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(tray.seen(), (std::vector<std::string>{"open", "quit", "open", "closed", "served"}));
}

TEST(NestedLoops, AWakeFromAnotherProcessMakesTheLoopAskAgainWithoutAMessage) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Menu", recorder.proc());
    ASSERT_NE(window, nullptr);
    const fs::path flag = box.root() / "chosen";
    // No loop runs yet: this one is the only one, on this thread.
    auto waiting = std::async(std::launch::async, [&window, &flag] {
        return window->runNestedLoop([&flag] { return fs::exists(flag); });
    });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(inChild([&flag] {
                  const int fd = open(flag.c_str(), O_CREAT | O_WRONLY, 0600);
                  close(fd);
                  return platform::wakeWindow("Menu") == SendStatus::Ok ? 0 : 1;
              }),
              0);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), LoopEnd::Done);
    EXPECT_TRUE(recorder.seen().empty());
    EXPECT_EQ(platform::wakeWindow("Nobody"), SendStatus::NoWindow);
}

} // namespace
