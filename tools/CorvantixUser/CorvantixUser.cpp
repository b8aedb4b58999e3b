// Plays the user of the system's dialogs, through the scripted backend of
// each process that shows them (see platform/ui/ScriptedBackend.h). Works in
// the folders CORVANTIX_ROOT points to, like the programs themselves.
//
//   CorvantixUser [--pid P] list                    the open dialogs, one JSON line each
//   CorvantixUser wait-open <template> [ms]         waits for a dialog; prints its window
//   CorvantixUser wait-messagebox [ms]              waits for a message box; prints its window
//   CorvantixUser dump <window>
//   CorvantixUser click <window> <control>
//   CorvantixUser press <window> <label>            the on-screen key with that label
//   CorvantixUser type <window> <text>
//   CorvantixUser key <window> <key>                enter, escape, tab, backspace, ...
//   CorvantixUser focus <window> <control>
//   CorvantixUser select <window> <control> <start> <end>
//   CorvantixUser hover <window> [control] | hover off
//   CorvantixUser close <window>
//   CorvantixUser answer <window> ok|cancel|yes|no|retry|abort|ignore
//   CorvantixUser wait-close <window> [ms]          prints the dialog's result
//   CorvantixUser [--pid P] capslock on|off
//   CorvantixUser [--pid P] advance <ms>
//   CorvantixUser events <pid> [since]
//   CorvantixUser raw <pid> <line>                  one request line as it is
//
// Other commands print the backend's answer. Exit codes: 0 done, 1 wrong
// usage, 2 the backend refused (its error on standard error), 3 no backend
// answered or the wait ran out.

#include "tools/CorvantixUser/UserClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using corvantix_user::Client;
using corvantix_user::Milliseconds;
using corvantix_user::Reply;
using corvantix_user::Window;

constexpr Milliseconds kDefaultWait(10000);

constexpr const char* kUsage =
    "usage: CorvantixUser [--pid P] list | wait-open <template> [ms] |\n"
    "         wait-messagebox [ms] | dump <window> | click <window> <control> |\n"
    "         press <window> <label> | type <window> <text> | key <window> <key> |\n"
    "         focus <window> <control> | select <window> <control> <start> <end> |\n"
    "         hover <window> [control] | hover off | close <window> |\n"
    "         answer <window> <button> | wait-close <window> [ms] |\n"
    "         capslock on|off | advance <ms> | events <pid> [since] |\n"
    "         raw <pid> <line>\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

int help() {
    std::printf("CorvantixUser plays the user of the dialogs the system's programs open (the\n"
                "card control's PIN keypad, the transfer confirmation, message boxes), with or\n"
                "without a display. It works in the folders CORVANTIX_ROOT names, as the\n"
                "programs do (scripts/run.sh runs them with CORVANTIX_ROOT=$PWD/run).\n\n"
                "%s\n"
                "list prints each open dialog as a JSON line with its window; dump shows its\n"
                "controls and texts; press clicks the on-screen key with that label (a keypad's\n"
                "digit); click takes a control id (1 is OK, 2 Cancel); key takes enter, escape,\n"
                "tab, backspace, delete, left, right, home, end, space or capslock; answer takes\n"
                "ok, cancel, yes, no, abort, retry or ignore. Names are taken in any case.\n"
                "Exit codes: 0 done, 1 wrong usage, 2 the dialog refused (why on standard\n"
                "error), 3 no dialog answered or the wait ran out.\n",
                kUsage);
    return 0;
}

std::optional<long long> parseNumber(const char* text, long long low, long long high) {
    if (*text == '\0') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<Window> parseWindow(const char* text) {
    const auto value = parseNumber(text, 1, 0x7FFFFFFFFFFFFFFFll);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<Window>(*value);
}

int print(const Reply& reply) {
    if (!reply.ok) {
        std::fprintf(stderr, "CorvantixUser: %s\n", reply.error.c_str());
        return reply.body.isNull() ? 3 : 2;
    }
    std::printf("%s\n", platform::ui::serializeJson(reply.body).c_str());
    return 0;
}

int run(const Client& client, const std::vector<std::string_view>& args) {
    const std::string_view command = args[0];
    const std::size_t count = args.size();
    const auto windowAt = [&](std::size_t i) { return parseWindow(args[i].data()); };
    const auto controlAt = [&](std::size_t i) {
        const auto value = parseNumber(args[i].data(), -65536, 65535);
        return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
    };
    const auto waitAt = [&](std::size_t i) -> std::optional<Milliseconds> {
        if (count <= i) {
            return kDefaultWait;
        }
        const auto value = parseNumber(args[i].data(), 0, 600000);
        return value ? std::optional<Milliseconds>(Milliseconds(*value)) : std::nullopt;
    };

    if (command == "list" && count == 1) {
        for (const auto& dialog : client.listDialogs()) {
            std::printf("%s\n", platform::ui::serializeJson(dialog).c_str());
        }
        return 0;
    }
    if (command == "wait-open" && (count == 2 || count == 3)) {
        const auto id = parseNumber(args[1].data(), 0, 0xFFFFFFFF);
        const auto wait = waitAt(2);
        if (!id || !wait) {
            return usage();
        }
        const auto window = client.waitForDialog(static_cast<std::uint32_t>(*id), *wait);
        if (!window) {
            std::fprintf(stderr, "CorvantixUser: no dialog %lld opened\n", *id);
            return 3;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(*window));
        return 0;
    }
    if (command == "wait-messagebox" && (count == 1 || count == 2)) {
        const auto wait = waitAt(1);
        if (!wait) {
            return usage();
        }
        const auto window = client.waitForMessageBox(*wait);
        if (!window) {
            std::fprintf(stderr, "CorvantixUser: no message box opened\n");
            return 3;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(*window));
        return 0;
    }
    if (command == "capslock" && count == 2 && (args[1] == "on" || args[1] == "off")) {
        return print(client.capsLock(args[1] == "on"));
    }
    if (command == "advance" && count == 2) {
        const auto ms = parseNumber(args[1].data(), 0, 1ll << 40);
        return ms ? print(client.advance(Milliseconds(*ms))) : usage();
    }
    if (command == "hover" && count == 2 && args[1] == "off") {
        return print(client.hoverOff());
    }
    if (command == "events" && (count == 2 || count == 3)) {
        const auto pid = parseNumber(args[1].data(), 1, 0x7FFFFFFF);
        const auto since =
            count == 3 ? parseNumber(args[2].data(), 0, 1ll << 62) : std::optional<long long>(0);
        if (!pid || !since) {
            return usage();
        }
        return print(client.events(static_cast<pid_t>(*pid), static_cast<std::uint64_t>(*since)));
    }
    if (command == "raw" && count == 3) {
        const auto pid = parseNumber(args[1].data(), 1, 0x7FFFFFFF);
        if (!pid) {
            return usage();
        }
        const auto endpoints = Client(static_cast<pid_t>(*pid)).endpoints();
        if (endpoints.empty()) {
            std::fprintf(stderr, "CorvantixUser: process %lld has no scripted backend\n", *pid);
            return 3;
        }
        const auto answer = Client::askRaw(endpoints.front(), args[2]);
        if (!answer) {
            std::fprintf(stderr, "CorvantixUser: no answer\n");
            return 3;
        }
        std::printf("%s\n", answer->c_str());
        return 0;
    }

    if (count < 2) {
        return usage();
    }
    const auto window = windowAt(1);
    if (!window) {
        return usage();
    }
    if (command == "dump" && count == 2) {
        return print(client.dump(*window));
    }
    if (command == "close" && count == 2) {
        return print(client.close(*window));
    }
    if ((command == "click" || command == "focus") && count == 3) {
        const auto control = controlAt(2);
        if (!control) {
            return usage();
        }
        return print(command == "click" ? client.click(*window, *control)
                                        : client.focus(*window, *control));
    }
    if (command == "select" && count == 5) {
        const auto control = controlAt(2);
        const auto start = parseNumber(args[3].data(), -1, 0x7FFFFFFF);
        const auto end = parseNumber(args[4].data(), -1, 0x7FFFFFFF);
        if (!control || !start || !end) {
            return usage();
        }
        return print(
            client.select(*window, *control, static_cast<int>(*start), static_cast<int>(*end)));
    }
    if (command == "hover" && (count == 2 || count == 3)) {
        std::optional<int> control;
        if (count == 3) {
            control = controlAt(2);
            if (!control) {
                return usage();
            }
        }
        return print(client.hover(*window, control));
    }
    if (command == "press" && count == 3) {
        return print(client.press(*window, args[2]));
    }
    if (command == "type" && count == 3) {
        return print(client.type(*window, args[2]));
    }
    if (command == "key" && count == 3) {
        return print(client.key(*window, args[2]));
    }
    if (command == "answer" && count == 3) {
        return print(client.answer(*window, args[2]));
    }
    if (command == "wait-close" && (count == 2 || count == 3)) {
        const auto wait = waitAt(2);
        if (!wait) {
            return usage();
        }
        const Reply reply = client.waitClose(*window, *wait);
        if (!reply.ok) {
            std::fprintf(stderr, "CorvantixUser: %s\n", reply.error.c_str());
            return reply.body.isNull() || reply.error == "the dialog is still open" ? 3 : 2;
        }
        std::printf("%lld\n",
                    static_cast<long long>(reply.body.find("result")->asNumber().value_or(0)));
        return 0;
    }
    return usage();
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        return help();
    }
    std::optional<pid_t> process;
    if (args.size() >= 2 && args[0] == "--pid") {
        const auto pid = parseNumber(args[1].data(), 1, 0x7FFFFFFF);
        if (!pid) {
            return usage();
        }
        process = static_cast<pid_t>(*pid);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return usage();
    }
    return run(Client(process), args);
}
