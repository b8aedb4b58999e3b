#pragma once

// Hidden message windows between processes of one user. A window of a class
// is a listening Unix stream socket in the run folder, named by the class
// (class names compare without regard to ASCII case, as window classes do).
// Finding a window is connecting to it; a copy-data message is one framed
// request on a connection, answered with the window procedure's result once
// the procedure has returned.
//
// Wire form, native byte order (both ends are on one machine):
//   request: magic "CVXM", message, param, flags, payload length (5 x u32),
//            then the payload; flags bit 0 asks for the answer on receipt
//            (a posted message) instead of after the procedure; bit 1 says
//            the payload begins with the word and long parameters (u64,
//            i64); bit 2 only wakes the loop, no procedure runs
//   answer:  magic "CVXA", result (2 x u32)
// A receiver drops a connection whose frame is malformed or oversized, or
// that stays silent for longer than kWindowIdleTimeoutMs.
//
// Session-change notifications: a window registered for them has a file
// "<socket name>.session" beside its socket. broadcastSessionChange() posts
// kWmWtsSessionChange to every registered window of the user whose socket
// answers; registration files of dead windows are skipped.
//
// Registered messages: registerWindowMessage() gives every name a number of
// its own from kFirstRegisteredMessage on, the same in every process of the
// user (a table in the run folder). A window that registers for such a
// number has a file "<socket name>.msg<number in hex>" beside its socket and
// receives what broadcastMessage() posts with that number.
//
// Loops nest: a procedure may run a nested loop of its window (a modal box,
// a menu) that goes on dispatching the window's messages until its own
// condition holds. quit() ends the innermost loop and every loop around it.

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
inline constexpr std::uint32_t kWmWtsSessionChange = 0x02B1;

// Event codes carried in the param of kWmWtsSessionChange.
inline constexpr std::uint32_t kWtsConsoleConnect = 0x1;
inline constexpr std::uint32_t kWtsConsoleDisconnect = 0x2;
inline constexpr std::uint32_t kWtsRemoteConnect = 0x3;
inline constexpr std::uint32_t kWtsRemoteDisconnect = 0x4;
inline constexpr std::uint32_t kWtsSessionLock = 0x7;
inline constexpr std::uint32_t kWtsSessionUnlock = 0x8;

// Largest copy-data payload; a send beyond it is refused before connecting.
inline constexpr std::size_t kMaxCopyDataBytes = 64 * 1024;
inline constexpr std::uint32_t kDefaultSendTimeoutMs = 5000;
// A connection that sends nothing for this long is closed by the receiver.
inline constexpr std::uint32_t kWindowIdleTimeoutMs = 10000;

inline constexpr std::uint32_t kFirstRegisteredMessage = 0xC000;
inline constexpr std::uint32_t kLastRegisteredMessage = 0xFFFF;

struct WindowMessage {
    std::uint32_t message; // kWmCopyData, kWmWtsSessionChange, ...
    std::uint32_t param;   // copy data: the sender's data word; session change: the event code
    std::string_view data; // copy data: the payload, zero bytes included; valid during the call
    // The word and long parameters. A posted message carries both (param is
    // then the word's low 32 bits); other messages carry param as their word.
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
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
    // file and registration. A loop run by runMessageLoop() on another
    // thread must have returned before.
    ~MessageWindow();

    const std::string& className() const { return className_; }

    // Session-change notifications for this window, on or off.
    bool registerSessionNotification();
    void unregisterSessionNotification();

    // Receiving what broadcastMessage() posts with a registered message
    // number, on or off; false for a number that is not registered.
    bool registerBroadcast(std::uint32_t message);
    void unregisterBroadcast(std::uint32_t message);

    // Dispatches messages on the calling thread until quit() is called.
    void runMessageLoop();
    // Ends the running loop and the loops it is nested in (or the next loop
    // to run); callable from any thread, also from inside the procedure.
    void quit();

    enum class LoopEnd {
        Done,    // the condition held
        Quit,    // quit() ended it; the loops around it end too
        Refused, // a loop of the window runs on another thread
    };
    // Dispatches the window's messages on the calling thread until done()
    // answers true; done() is asked before each message and after wake().
    // Inside the procedure this nests in the running loop; on a thread with
    // no loop of the window it is the only one.
    LoopEnd runNestedLoop(const std::function<bool()>& done);
    // Makes the running loop ask its condition again; any thread.
    void wake();
    // Puts a message into the window's own queue, ahead of nothing that
    // arrives by socket; any thread. The loop dispatches it in turn.
    void post(std::uint32_t message, std::uint64_t wParam = 0, std::int64_t lParam = 0);

    // The window whose loop (innermost) runs on the calling thread, or null.
    static MessageWindow* current();

    // runMessageLoop() on a thread of the window's own; stop() quits and
    // joins it. false when a loop thread runs already.
    bool start();
    void stop();

private:
    MessageWindow(std::string className, std::filesystem::path socketPath, int listenFd, int wakeFd,
                  WindowProc proc);
    struct Loop;
    LoopEnd runLoop(const std::function<bool()>* done);
    bool dispatchQueued();
    bool dispatchFrame();
    void waitForInput();

    std::string className_;
    std::filesystem::path socketPath_;
    int listenFd_;
    int wakeFd_;
    WindowProc proc_;
    std::mutex threadLock_;
    std::thread thread_;
    std::unique_ptr<Loop> loop_;
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

// The bytes of one request frame's header.
inline constexpr std::size_t kRequestHeaderBytes = 20;

enum class FrameStatus {
    Complete,  // a whole frame stands at the head of the bytes
    Partial,   // too few bytes yet for the header or the payload
    Malformed, // wrong magic or a payload beyond kMaxCopyDataBytes: drop the connection
};

struct RequestFrame {
    FrameStatus status = FrameStatus::Partial;
    // The rest is set for a complete frame only.
    std::uint32_t message = 0;
    std::uint32_t param = 0;
    std::uint32_t flags = 0;
    std::string_view payload; // inside the bytes parsed
    std::size_t size = 0;     // the bytes the whole frame takes
};

// Reads the request frame at the head of what a receiver has read from a
// connection (the wire form above); the bytes after it are left alone.
RequestFrame parseRequestFrame(std::string_view bytes);

// Posts a message with both parameters: answered on receipt, before the
// procedure runs. A window of this process gets it in its own queue.
SendStatus postMessage(std::string_view className, std::uint32_t message, std::uint64_t wParam = 0,
                       std::int64_t lParam = 0, std::uint32_t timeoutMs = kDefaultSendTimeoutMs);

// Wakes the window's loop without a message, so that a nested loop asks its
// condition again.
SendStatus wakeWindow(std::string_view className, std::uint32_t timeoutMs = kDefaultSendTimeoutMs);

// The number of a registered message, the same for a name (compared without
// regard to ASCII case) in every process of the user; 0 for an empty name,
// one with a line break, or when the numbers are used up.
std::uint32_t registerWindowMessage(std::string_view name);

// Posts the message to every window registered for it (each acknowledges on
// receipt); the number of windows reached.
int broadcastMessage(std::uint32_t message, std::uint64_t wParam = 0, std::int64_t lParam = 0,
                     std::uint32_t timeoutMs = 1000);

// Posts kWmWtsSessionChange with the event code to every registered window;
// each receiver acknowledges on receipt, before its procedure runs. The
// number of windows reached.
int broadcastSessionChange(std::uint32_t event, std::uint32_t timeoutMs = 1000);

} // namespace platform
