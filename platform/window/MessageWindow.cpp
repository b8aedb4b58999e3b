#include "platform/window/MessageWindow.h"
#include "platform/text/TextCodec.h"

#include "platform/folders/Folders.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRequestMagic = 0x4D585643; // "CVXM"
constexpr std::uint32_t kAnswerMagic = 0x41585643;  // "CVXA"
constexpr std::uint32_t kFlagPosted = 0x1;
constexpr std::uint32_t kFlagLongParams = 0x2;
constexpr std::uint32_t kFlagWakeOnly = 0x4;
constexpr std::size_t kLongParamsBytes = 16;
constexpr std::size_t kMaxConnections = 64;
constexpr std::string_view kSocketSuffix = ".window";
constexpr std::string_view kSessionSuffix = ".session";
constexpr std::string_view kBroadcastInfix = ".msg";
constexpr std::string_view kRegisteredMessagesFile = "registered-messages";

struct RequestHeader {
    std::uint32_t magic;
    std::uint32_t message;
    std::uint32_t param;
    std::uint32_t flags;
    std::uint32_t length;
};

struct Answer {
    std::uint32_t magic;
    std::uint32_t result;
};

static_assert(sizeof(RequestHeader) == kRequestHeaderBytes);

// The window whose loop runs on this thread, so that a send to it calls the
// procedure directly instead of waiting on itself.
struct LoopContext {
    std::string foldedClass;
    const WindowProc* proc;
    MessageWindow* window;
};
thread_local const LoopContext* tLoop = nullptr;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

std::string escapeName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain =
            (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' || u == '_' || u == '-';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
    return out;
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

fs::path windowsFolder() {
    const auto dir = folderPath(Folder::Run) / "windows";
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        fs::permissions(dir, fs::perms::owner_all, ec);
    }
    return dir;
}

// A file name for the class that fits a socket address; a long class name
// keeps a readable head and is told apart by a hash of the whole name.
std::string socketStem(const fs::path& dir, std::string_view className) {
    const std::string folded = asciiLower(className);
    std::string stem = escapeName(folded);
    const std::size_t room = sizeof(sockaddr_un{}.sun_path) - 1;
    if (dir.string().size() + 1 + stem.size() + kSocketSuffix.size() > room) {
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(folded)));
        stem = escapeName(folded.substr(0, 16)) + "~" + hash;
    }
    return stem;
}

bool makeAddress(const fs::path& path, sockaddr_un& addr) {
    const std::string& text = path.native();
    if (text.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    return true;
}

// Serialises creation and removal of one class's socket across processes.
class ClassGuard {
public:
    explicit ClassGuard(const fs::path& socketPath)
        : fd_(::open((socketPath.native() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_.get() >= 0) {
            while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    // Closing the descriptor drops the lock.

private:
    Fd fd_;
};

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

// Waits for an event on fd until the deadline: 1 ready, 0 timed out, -1 error.
int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0) {
            return 1;
        }
        if (n == 0) {
            if (Clock::now() >= deadline) {
                return 0;
            }
            continue;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

struct Connected {
    SendStatus status;
    Fd fd;
};

Connected connectTo(const fs::path& path, Clock::time_point deadline) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) {
        return {SendStatus::NoWindow, Fd()};
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        return {SendStatus::Failed, Fd()};
    }
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            return {SendStatus::Ok, std::move(fd)};
        }
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN: // the listener's backlog is full: it lives but is busy
            if (Clock::now() >= deadline) {
                return {SendStatus::TimedOut, Fd()};
            }
            ::usleep(2000);
            continue;
        case EINPROGRESS: {
            if (waitFor(fd.get(), POLLOUT, deadline) <= 0) {
                return {SendStatus::TimedOut, Fd()};
            }
            int error = 0;
            socklen_t len = sizeof error;
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
            if (error == 0) {
                return {SendStatus::Ok, std::move(fd)};
            }
            return {error == ECONNREFUSED ? SendStatus::NoWindow : SendStatus::Failed, Fd()};
        }
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
            return {SendStatus::NoWindow, Fd()};
        default:
            return {SendStatus::Failed, Fd()};
        }
    }
}

bool isAlive(const fs::path& path) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    const auto status = connectTo(path, deadline).status;
    return status == SendStatus::Ok || status == SendStatus::TimedOut;
}

SendStatus writeAll(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = waitFor(fd, POLLOUT, deadline);
            if (ready == 0) {
                return SendStatus::TimedOut;
            }
            if (ready < 0) {
                return SendStatus::Failed;
            }
            continue;
        }
        return SendStatus::Failed;
    }
    return SendStatus::Ok;
}

SendStatus readExact(int fd, char* out, std::size_t size, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, out + got, size - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            return SendStatus::Failed; // the receiver went away before answering
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const int ready = waitFor(fd, POLLIN, deadline);
            if (ready == 0) {
                return SendStatus::TimedOut;
            }
            if (ready < 0) {
                return SendStatus::Failed;
            }
            continue;
        }
        return SendStatus::Failed;
    }
    return SendStatus::Ok;
}

SendResult transact(const fs::path& socketPath, std::uint32_t message, std::uint32_t param,
                    std::uint32_t flags, std::string_view payload, std::uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto connected = connectTo(socketPath, deadline);
    if (connected.status != SendStatus::Ok) {
        return {connected.status, 0};
    }
    const RequestHeader header{kRequestMagic, message, param, flags,
                               static_cast<std::uint32_t>(payload.size())};
    std::string frame(sizeof header + payload.size(), '\0');
    std::memcpy(frame.data(), &header, sizeof header);
    if (!payload.empty()) {
        std::memcpy(frame.data() + sizeof header, payload.data(), payload.size());
    }
    if (const auto status = writeAll(connected.fd.get(), frame, deadline);
        status != SendStatus::Ok) {
        return {status, 0};
    }
    if ((flags & kFlagWakeOnly) != 0) {
        // A wake needs no answer: a loop that ended meanwhile has nothing to
        // be woken for, and the next one reads it.
        return {SendStatus::Ok, 0};
    }
    Answer answer{};
    if (const auto status = readExact(connected.fd.get(), reinterpret_cast<char*>(&answer),
                                      sizeof answer, deadline);
        status != SendStatus::Ok) {
        return {status, 0};
    }
    if (answer.magic != kAnswerMagic) {
        return {SendStatus::Failed, 0};
    }
    return {SendStatus::Ok, answer.result};
}

std::uint32_t callProc(const WindowProc& proc, const WindowMessage& message) {
    try {
        return proc ? proc(message) : 0;
    } catch (...) {
        // A throwing procedure answers 0, as an unhandled message would.
        return 0;
    }
}

struct Connection {
    Fd fd;
    std::string buffer;
    Clock::time_point lastActivity;
    bool busy = false;  // a frame of it is in the procedure: answered when it returns
    bool ended = false; // the peer closed its side; frames already read are still answered
    bool dead = false;  // to be dropped
};
using ConnectionPtr = std::shared_ptr<Connection>;

struct Queued {
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};

bool sendAnswer(int fd, std::uint32_t result) {
    const Answer answer{kAnswerMagic, result};
    // Eight bytes always fit an empty socket buffer; a peer that lets them
    // pile up is dropped rather than waited for.
    const ssize_t n = ::send(fd, &answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(sizeof answer);
}

// Reads what the peer has sent; false on end of stream or error.
bool readAvailable(Connection& c) {
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            c.buffer.append(chunk, static_cast<std::size_t>(n));
            c.lastActivity = Clock::now();
            if (c.buffer.size() > sizeof(RequestHeader) + kMaxCopyDataBytes) {
                return true; // let the dispatcher judge the frame first
            }
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

std::uint32_t low32(std::uint64_t value) {
    return static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
}

std::string longParamsPayload(std::uint64_t wParam, std::int64_t lParam) {
    std::string payload(kLongParamsBytes, '\0');
    std::memcpy(payload.data(), &wParam, sizeof wParam);
    std::memcpy(payload.data() + sizeof wParam, &lParam, sizeof lParam);
    return payload;
}

// The windows of this process, so that a post to one of them goes into its
// own queue instead of through its socket (which its own loop may be unable
// to answer while the poster waits). Never destroyed: windows may outlive
// static destruction. A child made by fork() inherits the entries but not
// the windows' loops, so an entry counts only in the process that made it.
struct LocalWindow {
    MessageWindow* window;
    pid_t process;
};
struct LocalWindows {
    std::mutex lock;
    std::map<std::string, LocalWindow> bySocket;
};

LocalWindows& localWindows() {
    static auto* windows = new LocalWindows;
    return *windows;
}

std::string broadcastSuffix(std::uint32_t message) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x", message);
    return std::string(kBroadcastInfix) + text;
}

bool isRegisteredNumber(std::uint32_t message) {
    return message >= kFirstRegisteredMessage && message <= kLastRegisteredMessage;
}

// Removes the broadcast registrations a window of the socket left behind.
void removeBroadcastFiles(const fs::path& socketPath) {
    const std::string prefix = socketPath.filename().native() + std::string(kBroadcastInfix);
    std::error_code ec;
    for (fs::directory_iterator it(socketPath.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().filename().native().starts_with(prefix)) {
            fs::remove(it->path(), ec);
        }
    }
}

} // namespace

RequestFrame parseRequestFrame(std::string_view bytes) {
    RequestFrame frame;
    if (bytes.size() < sizeof(RequestHeader)) {
        return frame;
    }
    RequestHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.magic != kRequestMagic || header.length > kMaxCopyDataBytes) {
        frame.status = FrameStatus::Malformed;
        return frame;
    }
    if (bytes.size() - sizeof header < header.length) {
        return frame;
    }
    frame.status = FrameStatus::Complete;
    frame.message = header.message;
    frame.param = header.param;
    frame.flags = header.flags;
    frame.payload = bytes.substr(sizeof header, header.length);
    frame.size = sizeof header + header.length;
    return frame;
}

fs::path windowSocketPath(std::string_view className) {
    const auto dir = windowsFolder();
    return dir / (socketStem(dir, className) + std::string(kSocketSuffix));
}

bool findWindow(std::string_view className) {
    return isAlive(windowSocketPath(className));
}

struct MessageWindow::Loop {
    std::mutex lock;
    std::deque<Queued> queue;           // under lock
    std::set<std::uint32_t> registered; // broadcast numbers, under lock
    // The rest belongs to the thread running the loop.
    std::vector<ConnectionPtr> connections;
    std::atomic<bool> quit{false};
    std::atomic<std::thread::id> thread{};
    int depth = 0;
};

std::unique_ptr<MessageWindow> MessageWindow::create(std::string_view className, WindowProc proc) {
    const auto path = windowSocketPath(className);
    sockaddr_un addr;
    if (className.empty() || !makeAddress(path, addr)) {
        return nullptr;
    }
    ClassGuard guard(path);
    if (isAlive(path)) {
        return nullptr;
    }
    // Whatever is left belongs to a window whose process has died.
    ::unlink(path.c_str());
    ::unlink((path.native() + std::string(kSessionSuffix)).c_str());
    removeBroadcastFiles(path);

    Fd listenFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listenFd.get() < 0 ||
        ::bind(listenFd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return nullptr;
    }
    if (::listen(listenFd.get(), 16) != 0) {
        ::unlink(path.c_str());
        return nullptr;
    }
    Fd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wakeFd.get() < 0) {
        ::unlink(path.c_str());
        return nullptr;
    }
    std::unique_ptr<MessageWindow> window(new MessageWindow(
        std::string(className), path, listenFd.release(), wakeFd.release(), std::move(proc)));
    auto& local = localWindows();
    std::lock_guard lock(local.lock);
    local.bySocket[path.native()] = {window.get(), getpid()};
    return window;
}

MessageWindow::MessageWindow(std::string className, std::filesystem::path socketPath, int listenFd,
                             int wakeFd, WindowProc proc)
    : className_(std::move(className)), socketPath_(std::move(socketPath)), listenFd_(listenFd),
      wakeFd_(wakeFd), proc_(std::move(proc)), loop_(std::make_unique<Loop>()) {}

MessageWindow::~MessageWindow() {
    {
        auto& local = localWindows();
        std::lock_guard lock(local.lock);
        local.bySocket.erase(socketPath_.native());
    }
    stop();
    {
        // Under the guard, so that a window of the class created after the
        // socket stopped answering never loses its fresh socket to us.
        ClassGuard guard(socketPath_);
        ::unlink((socketPath_.native() + std::string(kSessionSuffix)).c_str());
        std::lock_guard lock(loop_->lock);
        for (const auto message : loop_->registered) {
            ::unlink((socketPath_.native() + broadcastSuffix(message)).c_str());
        }
        ::unlink(socketPath_.c_str());
        ::close(listenFd_);
    }
    ::close(wakeFd_);
}

bool MessageWindow::registerSessionNotification() {
    const auto path = socketPath_.native() + std::string(kSessionSuffix);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return false;
    }
    const ssize_t n = ::write(fd.get(), className_.data(), className_.size());
    return n == static_cast<ssize_t>(className_.size());
}

void MessageWindow::unregisterSessionNotification() {
    ::unlink((socketPath_.native() + std::string(kSessionSuffix)).c_str());
}

bool MessageWindow::registerBroadcast(std::uint32_t message) {
    if (!isRegisteredNumber(message)) {
        return false;
    }
    const auto path = socketPath_.native() + broadcastSuffix(message);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return false;
    }
    std::lock_guard lock(loop_->lock);
    loop_->registered.insert(message);
    return true;
}

void MessageWindow::unregisterBroadcast(std::uint32_t message) {
    std::lock_guard lock(loop_->lock);
    if (loop_->registered.erase(message) != 0) {
        ::unlink((socketPath_.native() + broadcastSuffix(message)).c_str());
    }
}

void MessageWindow::quit() {
    loop_->quit = true;
    wake();
}

void MessageWindow::wake() {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void MessageWindow::post(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    {
        std::lock_guard lock(loop_->lock);
        loop_->queue.push_back({message, wParam, lParam});
    }
    wake();
}

MessageWindow* MessageWindow::current() {
    return tLoop != nullptr ? tLoop->window : nullptr;
}

bool MessageWindow::start() {
    std::lock_guard lock(threadLock_);
    if (thread_.joinable()) {
        return false;
    }
    thread_ = std::thread([this] { runMessageLoop(); });
    return true;
}

void MessageWindow::stop() {
    std::lock_guard lock(threadLock_);
    if (thread_.joinable()) {
        quit();
        thread_.join();
        // The loop may have ended by an earlier quit(); ours must not end
        // the next one at once.
        loop_->quit = false;
        std::uint64_t count = 0;
        (void)!::read(wakeFd_, &count, sizeof count);
    }
}

void MessageWindow::runMessageLoop() {
    runLoop(nullptr);
}

MessageWindow::LoopEnd MessageWindow::runNestedLoop(const std::function<bool()>& done) {
    return runLoop(&done);
}

MessageWindow::LoopEnd MessageWindow::runLoop(const std::function<bool()>* done) {
    Loop& loop = *loop_;
    const auto self = std::this_thread::get_id();
    std::thread::id idle{};
    if (!loop.thread.compare_exchange_strong(idle, self) && idle != self) {
        return LoopEnd::Refused;
    }
    ++loop.depth;
    const LoopContext context{asciiLower(className_), &proc_, this};
    const LoopContext* const outer = std::exchange(tLoop, &context);
    LoopEnd end = LoopEnd::Quit;
    for (;;) {
        if (loop.quit) {
            break;
        }
        if (done != nullptr && *done && (*done)()) {
            end = LoopEnd::Done;
            break;
        }
        if (dispatchQueued() || dispatchFrame()) {
            continue;
        }
        waitForInput();
    }
    tLoop = outer;
    if (--loop.depth == 0) {
        // The outermost loop takes the quit for itself. Its connections stay
        // for the next loop: a peer may be waiting for an answer.
        if (end == LoopEnd::Quit) {
            loop.quit = false;
            std::uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        loop.thread = std::thread::id();
    }
    return end;
}

bool MessageWindow::dispatchQueued() {
    Queued item;
    {
        std::lock_guard lock(loop_->lock);
        if (loop_->queue.empty()) {
            return false;
        }
        item = loop_->queue.front();
        loop_->queue.pop_front();
    }
    callProc(proc_, {item.message, low32(item.wParam), {}, item.wParam, item.lParam});
    return true;
}

// Handles the first whole frame of a connection that is not already in the
// procedure; false when there is none.
bool MessageWindow::dispatchFrame() {
    // Copied: a nested loop may change the list while the procedure runs.
    const auto connections = loop_->connections;
    for (const auto& c : connections) {
        if (c->busy || c->dead) {
            continue;
        }
        const auto frame = parseRequestFrame(c->buffer);
        if (frame.status == FrameStatus::Malformed) {
            c->dead = true;
            continue;
        }
        if (frame.status == FrameStatus::Partial) {
            if (c->ended) {
                c->dead = true;
            }
            continue;
        }
        const std::uint32_t flags = frame.flags;
        WindowMessage message{frame.message, frame.param, {}, frame.param, 0};
        std::string payload(frame.payload);
        c->buffer.erase(0, frame.size);
        std::string_view data(payload);
        if ((flags & kFlagLongParams) != 0) {
            if (data.size() < kLongParamsBytes) {
                c->dead = true;
                continue;
            }
            std::memcpy(&message.wParam, data.data(), sizeof message.wParam);
            std::memcpy(&message.lParam, data.data() + sizeof message.wParam,
                        sizeof message.lParam);
            message.param = low32(message.wParam);
            data.remove_prefix(kLongParamsBytes);
        }
        message.data = data;
        if ((flags & (kFlagPosted | kFlagWakeOnly)) != 0) {
            if (!sendAnswer(c->fd.get(), 0)) {
                c->dead = true;
            }
            if ((flags & kFlagWakeOnly) == 0) {
                callProc(proc_, message);
            }
        } else {
            c->busy = true;
            const std::uint32_t result = callProc(proc_, message);
            c->busy = false;
            if (!sendAnswer(c->fd.get(), result)) {
                c->dead = true;
            }
        }
        return true;
    }
    return false;
}

// Waits for the next wake, connection or bytes, reads what came, and drops
// the connections that are finished, broken or silent too long.
void MessageWindow::waitForInput() {
    auto& connections = loop_->connections;
    std::erase_if(connections, [](const ConnectionPtr& c) { return c->dead; });
    const auto idle = std::chrono::milliseconds(kWindowIdleTimeoutMs);
    std::vector<pollfd> fds;
    fds.push_back({wakeFd_, POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    int timeout = -1;
    for (const auto& c : connections) {
        fds.push_back({c->fd.get(), static_cast<short>(c->ended ? 0 : POLLIN), 0});
        if (!c->busy) {
            const int left = remainingMs(c->lastActivity + idle);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
    }
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
        return;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!::read(wakeFd_, &count, sizeof count);
    }
    const std::size_t polled = connections.size();
    for (std::size_t i = 0; i < polled; ++i) {
        auto& c = *connections[i];
        if (fds[i + 2].revents != 0 && !c.ended && !readAvailable(c)) {
            c.ended = true;
        }
    }
    const auto now = Clock::now();
    for (auto& c : connections) {
        // What arrived while a procedure kept the loop busy was read above
        // and counts as activity; only a silent peer is dropped.
        if (!c->busy && c->lastActivity + idle <= now) {
            c->dead = true;
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        for (;;) {
            Fd fd(::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (fd.get() < 0) {
                break;
            }
            if (connections.size() < kMaxConnections) {
                auto c = std::make_shared<Connection>();
                c->fd = std::move(fd);
                c->lastActivity = Clock::now();
                connections.push_back(std::move(c));
            }
        }
    }
}

SendResult sendCopyData(std::string_view className, std::uint32_t dwData, std::string_view payload,
                        std::uint32_t timeoutMs) {
    if (payload.size() > kMaxCopyDataBytes) {
        return {SendStatus::TooLarge, 0};
    }
    if (tLoop != nullptr && tLoop->foldedClass == asciiLower(className)) {
        return {SendStatus::Ok, callProc(*tLoop->proc, {kWmCopyData, dwData, payload, dwData, 0})};
    }
    return transact(windowSocketPath(className), kWmCopyData, dwData, 0, payload, timeoutMs);
}

namespace {

// Posts to the window of a socket: into its queue when it is a window of
// this process, else through the socket.
SendStatus postTo(const fs::path& socketPath, std::uint32_t message, std::uint64_t wParam,
                  std::int64_t lParam, std::uint32_t flags, std::uint32_t timeoutMs) {
    {
        auto& local = localWindows();
        std::lock_guard lock(local.lock);
        const auto found = local.bySocket.find(socketPath.native());
        if (found != local.bySocket.end() && found->second.process == getpid()) {
            if ((flags & kFlagWakeOnly) != 0) {
                found->second.window->wake();
            } else {
                found->second.window->post(message, wParam, lParam);
            }
            return SendStatus::Ok;
        }
    }
    return transact(socketPath, message, low32(wParam), flags | kFlagLongParams,
                    longParamsPayload(wParam, lParam), timeoutMs)
        .status;
}

} // namespace

SendStatus postMessage(std::string_view className, std::uint32_t message, std::uint64_t wParam,
                       std::int64_t lParam, std::uint32_t timeoutMs) {
    return postTo(windowSocketPath(className), message, wParam, lParam, kFlagPosted, timeoutMs);
}

SendStatus wakeWindow(std::string_view className, std::uint32_t timeoutMs) {
    return postTo(windowSocketPath(className), 0, 0, 0, kFlagWakeOnly, timeoutMs);
}

std::uint32_t registerWindowMessage(std::string_view name) {
    if (name.empty() || name.find('\n') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return 0;
    }
    const auto table = windowsFolder() / std::string(kRegisteredMessagesFile);
    ClassGuard guard(table);
    Fd fd(::open(table.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        return 0;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    const std::string wanted = asciiLower(name);
    std::uint32_t number = kFirstRegisteredMessage;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            break; // a line cut short by a failed write is not a name
        }
        if (asciiLower(std::string_view(text).substr(at, end - at)) == wanted) {
            return number;
        }
        ++number;
        at = end + 1;
    }
    if (at != text.size() || number > kLastRegisteredMessage) {
        return 0;
    }
    const std::string line = std::string(name) + "\n";
    if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        return 0;
    }
    return number;
}

int broadcastMessage(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam,
                     std::uint32_t timeoutMs) {
    if (!isRegisteredNumber(message)) {
        return 0;
    }
    const auto dir = windowsFolder();
    const std::string suffix = broadcastSuffix(message);
    std::vector<fs::path> sockets;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().native();
        if (name.ends_with(suffix)) {
            sockets.emplace_back(name.substr(0, name.size() - suffix.size()));
        }
    }
    std::sort(sockets.begin(), sockets.end());
    int reached = 0;
    for (const auto& socket : sockets) {
        if (postTo(socket, message, wParam, lParam, kFlagPosted, timeoutMs) == SendStatus::Ok) {
            ++reached;
        }
    }
    return reached;
}

int broadcastSessionChange(std::uint32_t event, std::uint32_t timeoutMs) {
    const auto dir = windowsFolder();
    std::vector<fs::path> sockets;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().native();
        if (name.ends_with(kSessionSuffix)) {
            sockets.emplace_back(name.substr(0, name.size() - kSessionSuffix.size()));
        }
    }
    std::sort(sockets.begin(), sockets.end());
    int reached = 0;
    for (const auto& socket : sockets) {
        if (transact(socket, kWmWtsSessionChange, event, kFlagPosted, {}, timeoutMs)) {
            ++reached;
        }
    }
    return reached;
}

} // namespace platform
