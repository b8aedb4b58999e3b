// Plays the desktop session for the system's programs: session changes to
// every window registered for them, named events, copy-data messages, and
// top-level windows of other programs (a browser's window, for instance).
// Everything happens in the folders CORVANTIX_ROOT points to, like the
// programs themselves.
//
//   CorvantixSession lock | unlock | console-connect | console-disconnect
//                    | remote-connect | remote-disconnect
//       prints the number of windows reached
//   CorvantixSession pulse <event> | set <event>
//   CorvantixSession send <class> <dwData> <text>
//       sends the text with its terminating zero byte, as the system's
//       senders do, and prints the procedure's result
//   CorvantixSession window <class> <title>
//       opens a top-level window of that class and title in the shared
//       window list, prints its handle and keeps it open until the tool is
//       ended (SIGTERM, SIGINT or SIGHUP)
//
// Exit codes: 0 done, 1 wrong usage, 2 no such window or event, 3 the send
// failed or timed out.

#include "platform/event/NamedEvent.h"
#include "platform/window/MessageWindow.h"
#include "platform/windowlist/WindowList.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct SessionCommand {
    std::string_view name;
    std::uint32_t event;
};

constexpr SessionCommand kSessionCommands[] = {
    {"lock", platform::kWtsSessionLock},
    {"unlock", platform::kWtsSessionUnlock},
    {"console-connect", platform::kWtsConsoleConnect},
    {"console-disconnect", platform::kWtsConsoleDisconnect},
    {"remote-connect", platform::kWtsRemoteConnect},
    {"remote-disconnect", platform::kWtsRemoteDisconnect},
};

int usage() {
    std::fprintf(stderr, "usage: CorvantixSession lock|unlock|console-connect|console-disconnect|"
                         "remote-connect|remote-disconnect\n"
                         "       CorvantixSession pulse|set <event>\n"
                         "       CorvantixSession send <class> <dwData> <text>\n"
                         "       CorvantixSession window <class> <title>\n");
    return 1;
}

// A 32-bit number, decimal or with 0x in hexadecimal.
std::optional<std::uint32_t> parseWord(const char* text) {
    if (*text == '\0' || *text == '-' || *text == '+') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

const char* describe(platform::SendStatus status) {
    switch (status) {
    case platform::SendStatus::Ok:
        return "sent";
    case platform::SendStatus::NoWindow:
        return "no window of that class";
    case platform::SendStatus::TooLarge:
        return "text too long";
    case platform::SendStatus::TimedOut:
        return "no answer in time";
    case platform::SendStatus::Failed:
        return "the window dropped the message";
    }
    return "?";
}

// Holds a window open until a signal ends the tool; the signals are blocked
// first so that one arriving early is not lost.
int holdWindow(const char* className, const char* title) {
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &ending, nullptr) != 0) {
        return 3;
    }
    const auto window = platform::createTopLevelWindow(title, className);
    if (window == 0) {
        std::fprintf(stderr, "CorvantixSession: the window could not be made\n");
        return 3;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(window));
    std::fflush(stdout);
    int signal = 0;
    while (sigwait(&ending, &signal) != 0) {
    }
    platform::destroyTopLevelWindow(window);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string_view command = argv[1];
    for (const auto& session : kSessionCommands) {
        if (command == session.name) {
            if (argc != 2) {
                return usage();
            }
            std::printf("%d\n", platform::broadcastSessionChange(session.event));
            return 0;
        }
    }
    if (command == "pulse" || command == "set") {
        if (argc != 3) {
            return usage();
        }
        auto event = platform::NamedEvent::open(argv[2]);
        if (!event) {
            std::fprintf(stderr, "CorvantixSession: no event %s\n", argv[2]);
            return 2;
        }
        command == "pulse" ? event->pulse() : event->set();
        return 0;
    }
    if (command == "send") {
        if (argc != 5) {
            return usage();
        }
        const auto dwData = parseWord(argv[3]);
        if (!dwData) {
            return usage();
        }
        const std::string_view text = argv[4];
        // The terminating zero travels with the text.
        const auto sent = platform::sendCopyData(argv[2], *dwData,
                                                 std::string_view(text.data(), text.size() + 1));
        if (!sent) {
            std::fprintf(stderr, "CorvantixSession: %s: %s\n", argv[2], describe(sent.status));
            return sent.status == platform::SendStatus::NoWindow ? 2 : 3;
        }
        std::printf("%u\n", sent.result);
        return 0;
    }
    if (command == "window") {
        if (argc != 4 || argv[2][0] == '\0') {
            return usage();
        }
        return holdWindow(argv[2], argv[3]);
    }
    return usage();
}
