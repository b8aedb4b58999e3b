// Idle connections cannot shut pages out: a local program holds more plain
// TCP connections (no TLS handshake) against the service's first port than a
// select()-based daemon could ever serve, while the service starts under the
// common desktop soft limit of 1024 open files. A page's Echo on that same
// port must still be answered at once, and the service closes the idle
// connections itself after its connection time-out.

#include "service/Corvantix.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace service_program;

constexpr int kIdle = 1100;
constexpr unsigned kDesktopSoftLimit = 1024;
constexpr int kSlack = 8;

// The idle connections, closed when the test ends.
struct IdleSockets {
    ~IdleSockets() {
        for (const int fd : fds) {
            close(fd);
        }
    }
    std::vector<int> fds;
};

int connectIdle(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    timeval limit{2, 0}; // bounds a connect that the backlog holds up
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// How many of the sockets the peer has closed (end of stream or reset).
int closedByPeer(const std::vector<int>& fds) {
    std::vector<pollfd> polled;
    for (const int fd : fds) {
        polled.push_back({fd, POLLIN | POLLRDHUP, 0});
    }
    if (poll(polled.data(), polled.size(), 0) < 0) {
        return -1;
    }
    int closed = 0;
    for (const auto& p : polled) {
        closed += (p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }
    return closed;
}

int openDescriptors(pid_t pid) {
    int n = 0;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        ++n;
    }
    return n;
}

// The "Max open files" soft and hard limits of a process.
std::pair<std::string, std::string> openFileLimits(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Max open files")) {
            std::istringstream fields(line.substr(std::string("Max open files").size()));
            std::string soft;
            std::string hard;
            fields >> soft >> hard;
            return {soft, hard};
        }
    }
    return {};
}

class IdleSocketsTest : public ServiceProgram {};

TEST_F(IdleSocketsTest, APageIsServedAtOnceWhileAThousandIdleSocketsAreHeld) {
    // The test holds the idle sockets itself: its own soft limit goes up.
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max != RLIM_INFINITY && own.rlim_max < static_cast<rlim_t>(kIdle) * 2) {
        GTEST_SKIP() << "hard limit of open files too low: " << own.rlim_max;
    }
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &own), 0);

    const pid_t pid = start("0", kDesktopSoftLimit);
    ASSERT_TRUE(ready());
    // The service raised its soft limit to the hard one at start-up.
    const auto [soft, hard] = openFileLimits(pid);
    EXPECT_FALSE(hard.empty());
    EXPECT_EQ(soft, hard);
    const int before = openDescriptors(pid);

    IdleSockets idle;
    const auto opened = std::chrono::steady_clock::now();
    for (int i = 0; i < kIdle; ++i) {
        const int fd = connectIdle(kPorts[0]);
        if (fd < 0) {
            break;
        }
        idle.fds.push_back(fd);
    }
    ASSERT_EQ(idle.fds.size(), static_cast<std::size_t>(kIdle));
    // The service takes them in rather than leave them in the listen backlog
    // (give or take a few descriptors it opens and closes on its own).
    for (int i = 0; i < 100 && openDescriptors(pid) < before + kIdle - kSlack; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(openDescriptors(pid), before + kIdle - kSlack);

    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(echo(kPorts[0]), "0");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
    EXPECT_EQ(waitExit(pid, 100ms), -1) << "the service ended";
    // Idle, not refused: the connections are still open before the time-out.
    if (std::chrono::steady_clock::now() - opened <
        std::chrono::seconds(kConnectionTimeoutSeconds - 2)) {
        EXPECT_EQ(closedByPeer(idle.fds), 0);
    }

    // After the time-out the service has closed every idle connection.
    const auto until = opened + std::chrono::seconds(kConnectionTimeoutSeconds + 10);
    int closed = 0;
    while ((closed = closedByPeer(idle.fds)) < kIdle && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(closed, kIdle);
    EXPECT_GE(std::chrono::steady_clock::now() - opened,
              std::chrono::seconds(kConnectionTimeoutSeconds - 1));
    // The service closes its end just after it shut the connection down.
    for (int i = 0; i < 100 && openDescriptors(pid) > before + kSlack; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(openDescriptors(pid), before + kSlack);
    EXPECT_EQ(echo(kPorts[0]), "0");
}

} // namespace
