#pragma once

// Hidden message windows between processes of one user. A window of a class
// is a listening Unix stream socket in the run folder, named by the class
// (class names compare without regard to ASCII case, as window classes do).
// Finding a window is connecting to it; a copy-data message is one framed
// request on a connection, answered with the window procedure's result once
// the procedure has returned.
//
// Wire form, native byte order (both ends are on one machine):
//   request: magic "CVXM", message, param, flags (0), payload length
//            (5 x u32), then the payload
//   answer:  magic "CVXA", result (2 x u32)
// A receiver drops a connection whose frame is malformed or oversized, or
// that stays silent for longer than kWindowIdleTimeoutMs.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

inline constexpr std::uint32_t kWmCopyData = 0x004A;

// Largest copy-data payload; a send beyond it is refused before connecting.
inline constexpr std::size_t kMaxCopyDataBytes = 64 * 1024;
inline constexpr std::uint32_t kDefaultSendTimeoutMs = 5000;
// A connection that sends nothing for this long is closed by the receiver.
inline constexpr std::uint32_t kWindowIdleTimeoutMs = 10000;

struct WindowMessage {
    std::uint32_t message; // kWmCopyData
    std::uint32_t param;   // copy data: the sender's data word
    std::string_view data; // copy data: the payload, zero bytes included; valid during the call
};

// The window procedure: runs on the thread of the message loop, one message
// at a time; its result is the answer to a sent message.
using WindowProc = std::function<std::uint32_t(const WindowMessage&)>;

class MessageWindow {
public:
    // Creates the window of a class: nullptr when a live window of the class
    // exists (or the socket cannot be made). A socket left by a dead process
    // is removed first.
    static std::unique_ptr<MessageWindow> create(std::string_view className, WindowProc proc);

    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    // Stops a loop started with start(), closes the socket and removes its
    // file. A loop run by runMessageLoop() on another
    // thread must have returned before.
    ~MessageWindow();

    const std::string& className() const { return className_; }

    // Dispatches messages on the calling thread until quit() is called.
    void runMessageLoop();
    // Ends the running loop (or the next one to run); callable from any
    // thread, also from inside the window procedure.
    void quit();

    // runMessageLoop() on a thread of the window's own; stop() quits and
    // joins it. false when a loop thread runs already.
    bool start();
    void stop();

private:
    MessageWindow(std::string className, std::filesystem::path socketPath, int listenFd, int wakeFd,
                  WindowProc proc);

    std::string className_;
    std::filesystem::path socketPath_;
    int listenFd_;
    int wakeFd_;
    WindowProc proc_;
    std::mutex threadLock_;
    std::thread thread_;
};

// The socket file that stands for a window class.
std::filesystem::path windowSocketPath(std::string_view className);

// True when a live window of the class accepts connections.
bool findWindow(std::string_view className);

enum class SendStatus {
    Ok,       // the procedure ran; result holds its answer
    NoWindow, // no live window of the class
    TooLarge, // payload beyond kMaxCopyDataBytes, nothing sent
    TimedOut, // no answer within the time-out
    Failed,   // the receiver dropped the connection or an I/O error
};

struct SendResult {
    SendStatus status = SendStatus::Failed;
    std::uint32_t result = 0;
    explicit operator bool() const { return status == SendStatus::Ok; }
};

// Sends a copy-data message and waits for the procedure's answer, at most
// timeoutMs in all. Sent from inside the loop of the target window itself,
// the procedure is called directly, as the original platform does.
SendResult sendCopyData(std::string_view className, std::uint32_t dwData, std::string_view payload,
                        std::uint32_t timeoutMs = kDefaultSendTimeoutMs);

} // namespace platform
