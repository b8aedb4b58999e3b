#pragma once

// The scripted backend: it shows nothing and lets a test play the user. Each
// process that makes dialogs listens on a Unix socket of its own in the
// user's run folder, <run>/ui/<pid>-<tag>.sock (folder 0700, socket 0600;
// a peer of another user is refused by its credentials). The protocol is
// one JSON request per line and one JSON answer per line:
//
//   {"op":"list"}                          the open dialogs
//   {"op":"dump","window":W}               one dialog in full
//   {"op":"click","window":W,"control":ID} a control (refused when disabled or hidden)
//   {"op":"press","window":W,"label":"7"}  the owner-drawn key with that label drawn on it
//   {"op":"type","window":W,"text":"..."}  characters into the focused control
//   {"op":"key","window":W,"key":"enter"}  a key: enter, escape, tab, backspace, delete,
//                                          left, right, home, end, space, capslock,
//                                          a letter or digit, or a virtual-key number
//   {"op":"focus","window":W,"control":ID}
//   {"op":"select","window":W,"control":ID,"start":S,"end":E}
//   {"op":"hover","window":W,"control":ID} the mouse over a control (without
//                                          "control": over the dialog; without
//                                          "window": off every window)
//   {"op":"close","window":W}              the close box
//   {"op":"answer","window":W,"button":"yes"}  a message box's button
//   {"op":"capslock","on":true}
//   {"op":"advance","ms":N}                the manual clock, once every due tick is handled
//   {"op":"wait_close","window":W,"timeout_ms":N}  the result of a dialog once closed
//   {"op":"events","since":N}              opened and closed dialogs, from number N
//
// Every answer has "ok": true, or "ok": false and "error". An action answers
// once the dialog's thread has handled it (and painted); "timeout_ms" bounds
// that wait (10 s unless given). A request that is not well-formed JSON, or
// lacks or mistypes a field, changes nothing. Text entered is never echoed:
// a password-style edit is dumped masked, and request lines are wiped once
// answered.

#include "platform/ui/Backend.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform::ui {

// <run folder>/ui, made (0700) when missing; empty when the run folder is
// refused.
std::filesystem::path scriptedSocketFolder();

// The most lines a connection may send before a break, and the number of
// events kept.
inline constexpr std::size_t kScriptedMaxLine = 64 * 1024;
inline constexpr std::size_t kScriptedEventsKept = 1000;
// Connections served at once; one beyond is closed at once.
inline constexpr std::size_t kScriptedMaxConnections = 32;

class ScriptedBackend : public Backend {
public:
    // Listens on a new socket; nullptr when the socket cannot be made.
    static std::shared_ptr<ScriptedBackend> start();
    // Without a socket: it answers only what answer() is given.
    static std::shared_ptr<ScriptedBackend> detached();

    ScriptedBackend(const ScriptedBackend&) = delete;
    ScriptedBackend& operator=(const ScriptedBackend&) = delete;
    ~ScriptedBackend() override;

    const std::filesystem::path& socketPath() const { return socketPath_; }

    // One request line (without its line break) answered, without the
    // answer's line break.
    std::string answer(std::string_view line);

    void dialogOpened(const DialogEvent& event) override;
    void dialogChanged(Window dialog) override;
    void dialogClosed(const DialogEvent& event) override;

private:
    struct Event {
        std::uint64_t number;
        bool opened;
        DialogEvent dialog;
    };

    ScriptedBackend() = default;
    void acceptLoop();
    void serve(int fd);
    void record(bool opened, const DialogEvent& event);

    std::filesystem::path socketPath_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread acceptThread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    // One thread per connection; a finished one is joined when the next
    // connection comes, or at the end.
    struct Connection {
        int fd;
        bool finished;
        std::thread thread;
    };
    std::vector<Connection> connections_;
    std::deque<Event> events_;
    std::uint64_t nextEvent_ = 1;
    std::map<Window, Event> closed_;
    std::deque<Window> closedOrder_;

    friend class ScriptedRequest;
};

// The default backend of a process (see Backend.h).
std::shared_ptr<Backend> startScriptedBackend();

} // namespace platform::ui
