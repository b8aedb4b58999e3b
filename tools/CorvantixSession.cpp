// Plays the desktop session for the system's programs: session changes to
// every window registered for them, named events, copy-data messages,
// top-level windows of other programs (a browser's window, for instance),
// and the desktop shell with the user's hands on it: the notification area,
// popup menus, message boxes, the keyboard and the screen. Everything
// happens in the folders CORVANTIX_ROOT points to, like the programs
// themselves.
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
//   CorvantixSession shell down | shell restart
//       the shell goes away with its icons / starts again and posts
//       "TaskbarCreated" (prints the number of windows reached)
//   CorvantixSession icons
//       prints each icon of the notification area as a JSON line (the icons
//       of processes that have ended are dropped first)
//   CorvantixSession icon right-click|double-click <class> [<id>]
//   CorvantixSession menu show [--wait <ms>] | menu choose <id> | menu dismiss
//       show prints the open popup menu as a JSON line
//   CorvantixSession msgbox answer <title> <button> [--wait <ms>]
//                  | msgbox close <title> [--wait <ms>]
//       a message box found by its title: a button (ok, cancel, yes, no,
//       abort, retry, ignore, in any case) or its close box
//   CorvantixSession key press [--wait <ms>] <key>... | key down <key> | key up <key>
//       press: each key down until a poll of the keyboard has seen it (at
//       most --wait, 1000 ms unless given), then up until a poll has seen
//       that too; prints how many were seen down. A key is a number
//       (decimal or 0x hexadecimal, 1-254), a letter or digit, or one of
//       left, up, right, down, f1-f12, printscreen (names in any case)
//   CorvantixSession screen <width> <height> <file>
//       the screen shows the file's raw pixels (three bytes, red, green and
//       blue, per pixel, rows top to bottom) from now on
//
// --wait: how long to wait for the menu or message box to appear.
//
// Exit codes: 0 done, 1 wrong usage, 2 no such window, event, icon, menu or
// message box, 3 the send failed or timed out, or the shell refused.

#include "platform/event/NamedEvent.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/ShellDriver.h"
#include "platform/text/TextCodec.h"
#include "platform/window/MessageWindow.h"
#include "platform/windowlist/WindowList.h"
#include "tools/CorvantixUser/UserClient.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

constexpr const char* kUsage =
    "usage: CorvantixSession lock|unlock|console-connect|console-disconnect|"
    "remote-connect|remote-disconnect\n"
    "       CorvantixSession pulse|set <event>\n"
    "       CorvantixSession send <class> <dwData> <text>\n"
    "       CorvantixSession window <class> <title>\n"
    "       CorvantixSession shell down|restart\n"
    "       CorvantixSession icons\n"
    "       CorvantixSession icon right-click|double-click <class> [<id>]\n"
    "       CorvantixSession menu show [--wait <ms>] | choose <id> | dismiss\n"
    "       CorvantixSession msgbox answer <title> <button> [--wait <ms>]\n"
    "       CorvantixSession msgbox close <title> [--wait <ms>]\n"
    "       CorvantixSession key press [--wait <ms>] <key>... | down <key> | "
    "up <key>\n"
    "       CorvantixSession screen <width> <height> <file>\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

int help() {
    std::printf("CorvantixSession plays the desktop session and the user's hands for the\n"
                "system's programs: session changes, named events, messages, other programs'\n"
                "windows, the shell's notification icons and menus, message boxes, the\n"
                "keyboard and the screen. It works in the folders CORVANTIX_ROOT names, as\n"
                "the programs do (scripts/run.sh runs them with CORVANTIX_ROOT=$PWD/run).\n\n"
                "%s\n"
                "Buttons: ok, cancel, yes, no, abort, retry, ignore. Keys: a letter or digit,\n"
                "a code (1-254, or 0x..), left, up, right, down, f1-f12, printscreen.\n"
                "Names are taken in any case. Exit codes: 0 done, 1 wrong usage, 2 no such\n"
                "window, event, icon, menu or message box, 3 the send failed or the shell\n"
                "refused.\n",
                kUsage);
    return 0;
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

using Args = std::vector<std::string_view>;
using Clock = std::chrono::steady_clock;

// Takes "--wait <ms>" out of the words; nullopt when it is malformed.
std::optional<std::chrono::milliseconds> takeWait(Args& args, std::chrono::milliseconds otherwise) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--wait") {
            continue;
        }
        const auto ms =
            i + 1 < args.size() ? parseWord(std::string(args[i + 1]).c_str()) : std::nullopt;
        if (!ms) {
            return std::nullopt;
        }
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i + 2));
        return std::chrono::milliseconds(*ms);
    }
    return otherwise;
}

// Asks again every 10 ms until found() answers or the wait is over.
template <typename Find>
auto waitFor(std::chrono::milliseconds wait, Find found) -> decltype(found()) {
    const auto until = Clock::now() + wait;
    for (;;) {
        auto result = found();
        if (result || Clock::now() >= until) {
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int refused(const platform::shell::DriverResult& result) {
    std::fprintf(stderr, "CorvantixSession: %s\n", result.why.c_str());
    return 3;
}

int missing(const char* what) {
    std::fprintf(stderr, "CorvantixSession: %s\n", what);
    return 2;
}

int shellCommand(const Args& args) {
    if (args.size() != 1) {
        return usage();
    }
    if (args[0] == "down") {
        platform::shell::markShellDown();
        return 0;
    }
    if (args[0] == "restart") {
        std::printf("%d\n", platform::shell::restartShell());
        return 0;
    }
    return usage();
}

int listIcons(const Args& args) {
    if (!args.empty()) {
        return usage();
    }
    using platform::ui::JsonValue;
    // The shell forgets the icons of processes that have ended.
    platform::shell::sweepNotifyIcons();
    for (const auto& icon : platform::shell::notifyIcons()) {
        JsonValue line;
        line.set("window", icon.window);
        line.set("id", static_cast<std::int64_t>(icon.id));
        line.set("pid", static_cast<std::int64_t>(icon.owner));
        line.set("callback", static_cast<std::int64_t>(icon.callbackMessage));
        line.set("icon", static_cast<std::int64_t>(icon.icon));
        line.set("tip", platform::utf16ToUtf8(icon.tip));
        line.set("balloon", platform::utf16ToUtf8(icon.balloon));
        std::printf("%s\n", platform::ui::serializeJson(line).c_str());
    }
    return 0;
}

int iconCommand(const Args& args) {
    if (args.size() != 2 && args.size() != 3) {
        return usage();
    }
    using platform::shell::IconClick;
    std::optional<IconClick> click;
    if (args[0] == "right-click") {
        click = IconClick::Right;
    } else if (args[0] == "double-click") {
        click = IconClick::Double;
    }
    const auto id = args.size() == 3 ? parseWord(std::string(args[2]).c_str()) : 0u;
    if (!click || !id || args[1].empty()) {
        return usage();
    }
    const auto result = platform::shell::clickNotifyIcon(args[1], *id, *click);
    if (!result) {
        return result.why == "no such icon" ? missing("no such icon") : refused(result);
    }
    return 0;
}

int menuCommand(Args args) {
    const auto wait = takeWait(args, std::chrono::milliseconds(0));
    if (!wait || args.empty()) {
        return usage();
    }
    if (args[0] == "show" && args.size() == 1) {
        const auto menu = waitFor(*wait, [] { return platform::shell::openMenu(); });
        if (!menu) {
            return missing("no open menu");
        }
        std::printf("%s\n", platform::ui::serializeJson(*menu).c_str());
        return 0;
    }
    if (args[0] == "choose" && args.size() == 2) {
        const auto id = parseWord(std::string(args[1]).c_str());
        if (!id) {
            return usage();
        }
        const auto result = platform::shell::chooseMenuItem(*id);
        if (!result) {
            return result.why == "no open menu" ? missing("no open menu") : refused(result);
        }
        return 0;
    }
    if (args[0] == "dismiss" && args.size() == 1) {
        const auto result = platform::shell::dismissMenu();
        return result ? 0 : missing("no open menu");
    }
    return usage();
}

// A message box of any process, found by its title in the window list.
std::optional<platform::WindowHandle> findMessageBox(std::string_view title) {
    for (const auto& window : platform::enumTopLevelWindows()) {
        if (window.title != title || window.className != platform::kDialogWindowClass) {
            continue;
        }
        const auto dump = corvantix_user::Client().dump(window.handle);
        const auto* dialog = dump ? dump.body.find("dialog") : nullptr;
        const auto* kind = dialog != nullptr ? dialog->find("kind") : nullptr;
        if (kind != nullptr && kind->asString() != nullptr && *kind->asString() == "messagebox") {
            return window.handle;
        }
    }
    return std::nullopt;
}

int messageBoxCommand(Args args) {
    const auto wait = takeWait(args, std::chrono::milliseconds(0));
    const bool answer = !args.empty() && args[0] == "answer" && args.size() == 3;
    const bool close = !args.empty() && args[0] == "close" && args.size() == 2;
    if (!wait || !(answer || close)) {
        return usage();
    }
    const auto box = waitFor(*wait, [&] { return findMessageBox(args[1]); });
    if (!box) {
        return missing("no message box with that title");
    }
    const corvantix_user::Client user;
    const auto reply = answer ? user.answer(*box, args[2]) : user.close(*box);
    if (!reply) {
        std::fprintf(stderr, "CorvantixSession: %s\n", reply.error.c_str());
        return 3;
    }
    return 0;
}

struct KeyName {
    std::string_view name;
    std::uint32_t key;
};

constexpr KeyName kKeyNames[] = {
    {"left", 0x25}, {"up", 0x26},  {"right", 0x27}, {"down", 0x28}, {"printscreen", 0x2C},
    {"f1", 0x70},   {"f2", 0x71},  {"f3", 0x72},    {"f4", 0x73},   {"f5", 0x74},
    {"f6", 0x75},   {"f7", 0x76},  {"f8", 0x77},    {"f9", 0x78},   {"f10", 0x79},
    {"f11", 0x7A},  {"f12", 0x7B},
};

bool sameName(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::optional<std::uint32_t> parseKey(std::string_view word) {
    for (const auto& k : kKeyNames) {
        if (sameName(word, k.name)) {
            return k.key;
        }
    }
    if (word.size() == 1) {
        const char c = word[0];
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) {
            return static_cast<std::uint32_t>(c);
        }
        if (c >= 'a' && c <= 'z') {
            return static_cast<std::uint32_t>(c - 'a' + 'A');
        }
    }
    const auto number = parseWord(std::string(word).c_str());
    if (number && *number >= 1 && *number <= 254) {
        return number;
    }
    return std::nullopt;
}

int keyCommand(Args args) {
    const auto wait = takeWait(args, std::chrono::milliseconds(1000));
    if (!wait || args.size() < 2) {
        return usage();
    }
    std::vector<std::uint32_t> keys;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const auto key = parseKey(args[i]);
        if (!key) {
            std::fprintf(stderr,
                         "CorvantixSession: unknown key %.*s (a letter or digit, a code 1-254, "
                         "left, up, right, down, f1-f12 or printscreen)\n",
                         static_cast<int>(args[i].size()), args[i].data());
            return 1;
        }
        keys.push_back(*key);
    }
    if (args[0] == "press") {
        int seen = 0;
        for (const auto key : keys) {
            seen += platform::shell::pressKey(key, *wait) ? 1 : 0;
        }
        std::printf("%d\n", seen);
        return 0;
    }
    if ((args[0] == "down" || args[0] == "up") && keys.size() == 1) {
        return platform::shell::setKeyDown(keys[0], args[0] == "down") ? 0 : 3;
    }
    return usage();
}

int screenCommand(const Args& args) {
    if (args.size() != 3) {
        return usage();
    }
    const auto width = parseWord(std::string(args[0]).c_str());
    const auto height = parseWord(std::string(args[1]).c_str());
    if (!width || !height || *width == 0 || *height == 0 ||
        *width > static_cast<std::uint32_t>(platform::shell::kMaxScreenSide) ||
        *height > static_cast<std::uint32_t>(platform::shell::kMaxScreenSide)) {
        return usage();
    }
    std::ifstream in{std::string(args[2]), std::ios::binary};
    if (!in) {
        return missing("no such file");
    }
    platform::shell::Image image;
    image.width = static_cast<int>(*width);
    image.height = static_cast<int>(*height);
    image.rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!image.valid()) {
        std::fprintf(stderr, "CorvantixSession: the file does not hold width x height pixels\n");
        return 1;
    }
    return platform::shell::setScreenImage(image) ? 0 : 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        return help();
    }
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
    const Args rest(argv + 2, argv + argc);
    if (command == "shell") {
        return shellCommand(rest);
    }
    if (command == "icons") {
        return listIcons(rest);
    }
    if (command == "icon") {
        return iconCommand(rest);
    }
    if (command == "menu") {
        return menuCommand(rest);
    }
    if (command == "msgbox") {
        return messageBoxCommand(rest);
    }
    if (command == "key") {
        return keyCommand(rest);
    }
    if (command == "screen") {
        return screenCommand(rest);
    }
    return usage();
}
