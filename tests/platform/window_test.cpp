#include "platform/window/MessageWindow.h"
#include "tests/platform/Recorder.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
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
using Clock = std::chrono::steady_clock;
using platform::MessageWindow;
using platform::SendStatus;
using platform::WindowMessage;
using testing_support::Sandbox;

// What a test procedure answers: depends on every byte and its order, so a
// torn or reordered payload shows.
std::uint32_t digest(std::uint32_t dwData, std::string_view data) {
    std::uint32_t h = dwData ^ 0x9E3779B9u;
    for (const char c : data) {
        h = h * 31 + static_cast<unsigned char>(c);
    }
    return h;
}

using platform_test::Recorder;

// Recorders answer with the digest of what they were sent.
std::uint32_t digestAnswer(const WindowMessage& m) {
    return digest(m.param, m.data);
}

std::string binaryText(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return out;
}

// A window in this process whose procedure records what it sees.

// A window of a class in a child process, answering with digest() and
// reporting "message param" on a pipe for every message, until killed.
class WindowProcess {
public:
    explicit WindowProcess(const std::string& className, bool sessions = false) {
        int ready[2];
        int report[2];
        if (pipe(ready) != 0 || pipe(report) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(report[0]);
            const int out = report[1];
            auto window = MessageWindow::create(className, [out](const WindowMessage& m) {
                const std::string line =
                    std::to_string(m.message) + " " + std::to_string(m.param) + "\n";
                (void)!write(out, line.data(), line.size());
                return digest(m.param, m.data);
            });
            const bool ok = window && (!sessions || window->registerSessionNotification());
            const char state = ok ? '1' : '0';
            (void)!write(ready[1], &state, 1);
            if (ok) {
                window->runMessageLoop();
            }
            _exit(ok ? 0 : 1);
        }
        close(ready[1]);
        close(report[1]);
        report_ = report[0];
        char state = '0';
        (void)!read(ready[0], &state, 1);
        close(ready[0]);
        ready_ = state == '1';
    }
    ~WindowProcess() {
        kill();
        if (report_ >= 0) {
            close(report_);
        }
    }
    bool ready() const { return ready_; }

    // The next report line, or nullopt when none comes within the limit.
    std::optional<std::string> nextReport(std::chrono::milliseconds limit = 2000ms) {
        std::string line;
        const auto deadline = Clock::now() + limit;
        while (report_ >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{report_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char c;
            if (read(report_, &c, 1) != 1) {
                return std::nullopt;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return std::nullopt;
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

std::string reportLine(std::uint32_t message, std::uint32_t param) {
    return std::to_string(message) + " " + std::to_string(param);
}

TEST(MessageWindows, CopyDataRoundTripBetweenProcesses) {
    Sandbox box;
    WindowProcess receiver("VondelCorvantix.exe");
    ASSERT_TRUE(receiver.ready());
    EXPECT_TRUE(platform::findWindow("VondelCorvantix.exe"));
    // Class names compare without regard to case.
    EXPECT_TRUE(platform::findWindow("vondelcorvantix.EXE"));

    struct Case {
        const char* what;
        std::uint32_t dwData;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"empty", 0, ""},
        {"text with its zero byte", 0, std::string("{\"From\":\"x\"}\0", 13)},
        {"all byte values", 0xFFFFFFFFu, binaryText(256)},
        {"largest payload", 42, binaryText(platform::kMaxCopyDataBytes)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto sent = platform::sendCopyData("VondelCorvantix.exe", c.dwData, c.payload);
        ASSERT_EQ(sent.status, SendStatus::Ok);
        EXPECT_EQ(sent.result, digest(c.dwData, c.payload));
        EXPECT_EQ(receiver.nextReport(), reportLine(platform::kWmCopyData, c.dwData));
    }
    EXPECT_FALSE(platform::findWindow("VondelMonitor"));
    EXPECT_EQ(platform::sendCopyData("VondelMonitor", 0, "x").status, SendStatus::NoWindow);
}

TEST(MessageWindows, SendReturnsOnceTheProcedureHasReturned) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Slow", recorder.proc(300ms, digestAnswer));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());

    auto start = Clock::now();
    auto sent = platform::sendCopyData("Slow", 5, "abc");
    EXPECT_GE(Clock::now() - start, 300ms);
    ASSERT_EQ(sent.status, SendStatus::Ok);
    EXPECT_EQ(sent.result, digest(5, "abc"));

    // A procedure slower than the sender's patience: the send gives up in
    // time and the window goes on serving.
    start = Clock::now();
    EXPECT_EQ(platform::sendCopyData("Slow", 6, "late", 100).status, SendStatus::TimedOut);
    EXPECT_LT(Clock::now() - start, 250ms);
    sent = platform::sendCopyData("Slow", 7, "again");
    ASSERT_EQ(sent.status, SendStatus::Ok);
    EXPECT_EQ(sent.result, digest(7, "again"));
    const auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].data, "late");
}

TEST(MessageWindows, OversizePayloadIsRefusedUnsent) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Bounded", recorder.proc({}, digestAnswer));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());
    const auto big = binaryText(platform::kMaxCopyDataBytes + 1);
    EXPECT_EQ(platform::sendCopyData("Bounded", 1, big).status, SendStatus::TooLarge);
    EXPECT_EQ(platform::sendCopyData("Bounded", 2, "fits").result, digest(2, "fits"));
    const auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].param, 2u);
}

TEST(MessageWindows, OneLiveWindowPerClassAndStaleSocketsAreReplaced) {
    Sandbox box;
    WindowProcess first("VondelMonitor");
    ASSERT_TRUE(first.ready());
    EXPECT_EQ(MessageWindow::create("VondelMonitor", {}), nullptr);
    EXPECT_EQ(MessageWindow::create("VONDELMONITOR", {}), nullptr);
    // A second child is refused too.
    EXPECT_FALSE(WindowProcess("VondelMonitor").ready());

    // Killed without closing: its socket file stays behind, dead.
    first.kill();
    const auto socket = platform::windowSocketPath("VondelMonitor");
    EXPECT_TRUE(fs::exists(socket));
    EXPECT_FALSE(platform::findWindow("VondelMonitor"));

    Recorder recorder;
    auto second = MessageWindow::create("VondelMonitor", recorder.proc({}, digestAnswer));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->start());
    EXPECT_EQ(platform::sendCopyData("VondelMonitor", 3, "new").result, digest(3, "new"));

    // Closing removes the socket; the class is free again.
    second.reset();
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_FALSE(platform::findWindow("VondelMonitor"));
    EXPECT_NE(MessageWindow::create("VondelMonitor", {}), nullptr);
}

TEST(MessageWindows, LongClassNamesStayApart) {
    Sandbox box;
    const std::string a(300, 'a');
    const std::string b = a + "b";
    Recorder first;
    Recorder second;
    auto windowA = MessageWindow::create(a, first.proc({}, digestAnswer));
    auto windowB = MessageWindow::create(b, second.proc({}, digestAnswer));
    ASSERT_NE(windowA, nullptr);
    ASSERT_NE(windowB, nullptr);
    EXPECT_NE(platform::windowSocketPath(a), platform::windowSocketPath(b));
    ASSERT_TRUE(windowA->start());
    ASSERT_TRUE(windowB->start());
    EXPECT_EQ(platform::sendCopyData(b, 1, "x").result, digest(1, "x"));
    EXPECT_TRUE(first.seen().empty());
    EXPECT_EQ(second.seen().size(), 1u);
    EXPECT_EQ(MessageWindow::create(a, {}), nullptr);
}

// Connects to a window's socket without the library, to play a broken peer.
int rawConnect(const std::string& className) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const auto path = platform::windowSocketPath(className).native();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string frame(std::uint32_t magic, std::uint32_t message, std::uint32_t param,
                  std::uint32_t length, std::string_view payload) {
    const std::uint32_t header[5] = {magic, message, param, 0, length};
    std::string out(reinterpret_cast<const char*>(header), sizeof header);
    out += payload;
    return out;
}

constexpr std::uint32_t kMagic = 0x4D585643;

TEST(MessageWindows, BrokenPeersNeverStopTheLoop) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Sturdy", recorder.proc({}, digestAnswer));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());

    const std::string good = frame(kMagic, platform::kWmCopyData, 9, 5, "hello");
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"half a header", good.substr(0, 7)},
        {"header without its payload", good.substr(0, 20)},
        {"payload cut short", good.substr(0, 23)},
        {"wrong magic", frame(0x12345678, platform::kWmCopyData, 9, 5, "hello")},
        {"length beyond the bound",
         frame(kMagic, platform::kWmCopyData, 9,
               static_cast<std::uint32_t>(platform::kMaxCopyDataBytes + 1),
               binaryText(platform::kMaxCopyDataBytes + 1))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = rawConnect("Sturdy");
        ASSERT_GE(fd, 0);
        // The receiver may drop us before all is written.
        (void)send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        // Dropped without an answer.
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        char byte;
        EXPECT_LE(read(fd, &byte, 1), 0);
        close(fd);
        // The window still answers, and nothing broken reached the procedure.
        EXPECT_EQ(platform::sendCopyData("Sturdy", 1, "ok").result, digest(1, "ok"));
    }
    EXPECT_EQ(recorder.seen().size(), cases.size());

    // A silent peer holds its connection open; others are served meanwhile.
    const int silent = rawConnect("Sturdy");
    ASSERT_GE(silent, 0);
    const auto start = Clock::now();
    EXPECT_EQ(platform::sendCopyData("Sturdy", 2, "ok").result, digest(2, "ok"));
    EXPECT_LT(Clock::now() - start, 500ms);

    // A frame that trickles in byte by byte is put together and answered.
    const int slow = rawConnect("Sturdy");
    ASSERT_GE(slow, 0);
    for (const char c : good) {
        ASSERT_EQ(write(slow, &c, 1), 1);
        std::this_thread::sleep_for(1ms);
    }
    std::uint32_t answer[2] = {};
    pollfd p{slow, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    ASSERT_EQ(read(slow, answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    EXPECT_EQ(answer[1], digest(9, "hello"));
    close(slow);
    close(silent);
    EXPECT_EQ(recorder.seen().back().data, "hello");
}

TEST(MessageWindows, SendToItsOwnWindowFromTheProcedureRunsDirectly) {
    Sandbox box;
    auto window = MessageWindow::create("Self", [](const WindowMessage& m) -> std::uint32_t {
        if (m.param == 1) {
            const auto inner = platform::sendCopyData("Self", 2, "inner", 500);
            return inner ? inner.result + 1 : 0;
        }
        return digest(m.param, m.data);
    });
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->start());
    EXPECT_EQ(platform::sendCopyData("Self", 1, "outer").result, digest(2, "inner") + 1);
}

struct SessionEvent {
    const char* name;
    std::uint32_t code;
};
const SessionEvent kSessionEvents[] = {
    {"lock", platform::kWtsSessionLock},
    {"unlock", platform::kWtsSessionUnlock},
    {"console connect", platform::kWtsConsoleConnect},
    {"console disconnect", platform::kWtsConsoleDisconnect},
    {"remote connect", platform::kWtsRemoteConnect},
    {"remote disconnect", platform::kWtsRemoteDisconnect},
};

TEST(SessionNotifications, ReachRegisteredWindowsOnly) {
    Sandbox box;
    WindowProcess service("VondelCorvantix.exe", true);
    WindowProcess monitor("VondelMonitor", true);
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(monitor.ready());
    Recorder quiet;
    auto unregistered = MessageWindow::create("Quiet", quiet.proc({}, digestAnswer));
    ASSERT_NE(unregistered, nullptr);
    ASSERT_TRUE(unregistered->start());

    for (const auto& event : kSessionEvents) {
        SCOPED_TRACE(event.name);
        EXPECT_EQ(platform::broadcastSessionChange(event.code), 2);
        const auto expected = reportLine(platform::kWmWtsSessionChange, event.code);
        EXPECT_EQ(service.nextReport(), expected);
        EXPECT_EQ(monitor.nextReport(), expected);
    }
    // A registered window that died is skipped; the others still get theirs.
    monitor.kill();
    EXPECT_EQ(platform::broadcastSessionChange(platform::kWtsSessionLock), 1);
    EXPECT_EQ(service.nextReport(),
              reportLine(platform::kWmWtsSessionChange, platform::kWtsSessionLock));
    EXPECT_TRUE(quiet.seen().empty());

    // Registered later, unregistered again.
    ASSERT_TRUE(unregistered->registerSessionNotification());
    EXPECT_EQ(platform::broadcastSessionChange(platform::kWtsSessionUnlock), 2);
    const auto seen = quiet.waitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, platform::kWmWtsSessionChange);
    EXPECT_EQ(seen[0].param, platform::kWtsSessionUnlock);
    unregistered->unregisterSessionNotification();
    EXPECT_EQ(platform::broadcastSessionChange(platform::kWtsSessionLock), 1);
    EXPECT_EQ(quiet.seen().size(), 1u);
}

TEST(SessionNotifications, AreDeliveredWithoutWaitingForTheProcedure) {
    Sandbox box;
    Recorder recorder;
    auto window = MessageWindow::create("Busy", recorder.proc(400ms, digestAnswer));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->registerSessionNotification());
    ASSERT_TRUE(window->start());
    const auto start = Clock::now();
    EXPECT_EQ(platform::broadcastSessionChange(platform::kWtsConsoleDisconnect), 1);
    EXPECT_LT(Clock::now() - start, 300ms);
    EXPECT_TRUE(recorder.seen().empty());
    EXPECT_EQ(recorder.waitFor(1).size(), 1u);
    // Closing the window takes its registration along.
    window.reset();
    EXPECT_EQ(platform::broadcastSessionChange(platform::kWtsConsoleDisconnect), 0);
}

std::size_t entries(const char* folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) {
        ++n;
    }
    return n;
}

TEST(MessageWindows, LoopsStopCleanlyWithoutLeaks) {
    Sandbox box;
    const auto fds = entries("/proc/self/fd");
    const auto threads = entries("/proc/self/task");
    {
        Recorder recorder;
        auto window = MessageWindow::create("Clean", recorder.proc({}, digestAnswer));
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(window->start());
        EXPECT_FALSE(window->start()); // one loop thread at a time
        const int idle = rawConnect("Clean");
        EXPECT_EQ(platform::sendCopyData("Clean", 1, "x").result, digest(1, "x"));
        EXPECT_EQ(entries("/proc/self/task"), threads + 1);
        window->stop();
        window->stop();
        // Stopped, the window still exists: a send waits and times out.
        EXPECT_EQ(platform::sendCopyData("Clean", 1, "x", 100).status, SendStatus::TimedOut);
        // Started again, it serves what queued meanwhile.
        ASSERT_TRUE(window->start());
        EXPECT_EQ(platform::sendCopyData("Clean", 2, "y").result, digest(2, "y"));
        close(idle);
    }
    EXPECT_EQ(entries("/proc/self/fd"), fds);
    EXPECT_EQ(entries("/proc/self/task"), threads);

    // A loop on the caller's thread, ended from inside its procedure.
    MessageWindow* self = nullptr;
    auto window = MessageWindow::create("Caller", [&self](const WindowMessage& m) {
        self->quit();
        return m.param + 100;
    });
    ASSERT_NE(window, nullptr);
    self = window.get();
    platform::SendResult sent;
    std::thread sender([&sent] { sent = platform::sendCopyData("Caller", 5, ""); });
    window->runMessageLoop();
    sender.join();
    EXPECT_EQ(sent.status, SendStatus::Ok);
    EXPECT_EQ(sent.result, 105u);
    // Stopped after its procedure ended it, the loop starts afresh later.
    ASSERT_TRUE(window->start());
    EXPECT_EQ(platform::sendCopyData("Caller", 6, "").result, 106u);
    std::this_thread::sleep_for(50ms); // the loop thread ends by itself
    window->stop();
    ASSERT_TRUE(window->start());
    EXPECT_EQ(platform::sendCopyData("Caller", 7, "", 1000).result, 107u);
}

} // namespace
