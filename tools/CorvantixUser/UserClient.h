#pragma once

// The scripted user's client: finds the scripted backends of the user's
// processes (their sockets in <run>/ui) and speaks their line protocol
// (platform/ui/ScriptedBackend.h). Tests use it directly; the CorvantixUser
// program is a thin command line over it.
//
// A socket is used only when it is a socket of this user that nobody else
// may open (checked on the file before connecting and on the peer's
// credentials after), so a test never talks to another user's process.

#include "platform/ui/JsonLine.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace corvantix_user {

using platform::ui::JsonValue;
using Window = std::uint64_t;
using Milliseconds = std::chrono::milliseconds;

struct Endpoint {
    std::filesystem::path socket;
    pid_t pid = 0;
};

struct Reply {
    bool ok = false;
    std::string error; // the backend's error, or why it could not be asked
    JsonValue body;    // the whole answer
    explicit operator bool() const { return ok; }
};

// The process a window belongs to.
inline pid_t processOf(Window window) {
    return static_cast<pid_t>(window >> 32);
}

class Client {
public:
    // Every process of the user, or only the one given.
    explicit Client(std::optional<pid_t> process = std::nullopt) : process_(process) {}

    // The live backends, by process.
    std::vector<Endpoint> endpoints() const;

    // One request to one backend; the reply waits at most limit.
    static Reply ask(const Endpoint& endpoint, const JsonValue& request,
                     Milliseconds limit = Milliseconds(30000));
    // One line as it is (no check that it is JSON); the answer's line.
    static std::optional<std::string> askRaw(const Endpoint& endpoint, std::string_view line,
                                             Milliseconds limit = Milliseconds(30000));

    // A request about a window, sent to the backend of its process that
    // knows it.
    Reply askAbout(Window window, JsonValue request) const;

    // The open dialogs of every process (each entry as "list" gives it, with
    // "pid" added).
    std::vector<JsonValue> listDialogs() const;
    // Waits until a dialog of the template (or, with messageBox, a message
    // box) is open; its window.
    std::optional<Window> waitForDialog(std::uint32_t templateId, Milliseconds limit) const;
    std::optional<Window> waitForMessageBox(Milliseconds limit) const;

    Reply dump(Window dialog) const;
    Reply click(Window dialog, int control) const;
    Reply press(Window dialog, std::string_view label) const;
    Reply type(Window dialog, std::string_view text) const;
    Reply key(Window dialog, std::string_view key) const;
    Reply focus(Window dialog, int control) const;
    Reply select(Window dialog, int control, int start, int end) const;
    Reply hover(Window dialog, std::optional<int> control) const;
    Reply close(Window dialog) const;
    Reply answer(Window messageBox, std::string_view button) const;
    Reply waitClose(Window dialog, Milliseconds limit) const;

    // To every backend (or the one process chosen).
    Reply capsLock(bool on) const;
    Reply advance(Milliseconds by) const;
    Reply hoverOff() const;
    // The events of one process from a number on.
    Reply events(pid_t process, std::uint64_t since = 0) const;

private:
    Reply toAll(const JsonValue& request) const;
    std::optional<pid_t> process_;
};

} // namespace corvantix_user
