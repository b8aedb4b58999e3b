#include "platform/window/MessageWindow.h"

#include "platform/folders/Folders.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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
constexpr std::size_t kMaxConnections = 64;
constexpr std::string_view kSocketSuffix = ".window";
constexpr std::string_view kSessionSuffix = ".session";

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

std::string foldCase(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

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
    const std::string folded = foldCase(className);
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
};

bool sendAnswer(int fd, std::uint32_t result) {
    const Answer answer{kAnswerMagic, result};
    // Eight bytes always fit an empty socket buffer; a peer that lets them
    // pile up is dropped rather than waited for.
    const ssize_t n = ::send(fd, &answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(sizeof answer);
}

// Handles every complete frame in the connection's buffer; false when the
// connection is to be dropped.
bool dispatchFrames(Connection& c, const WindowProc& proc) {
    std::size_t offset = 0;
    bool keep = true;
    while (keep) {
        const auto frame = parseRequestFrame(std::string_view(c.buffer).substr(offset));
        if (frame.status == FrameStatus::Malformed) {
            return false;
        }
        if (frame.status == FrameStatus::Partial) {
            break;
        }
        const WindowMessage message{frame.message, frame.param, frame.payload};
        if ((frame.flags & kFlagPosted) != 0) {
            keep = sendAnswer(c.fd.get(), 0);
            callProc(proc, message);
        } else {
            keep = sendAnswer(c.fd.get(), callProc(proc, message));
        }
        offset += frame.size;
    }
    c.buffer.erase(0, offset);
    return keep;
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
    return std::unique_ptr<MessageWindow>(new MessageWindow(
        std::string(className), path, listenFd.release(), wakeFd.release(), std::move(proc)));
}

MessageWindow::MessageWindow(std::string className, std::filesystem::path socketPath, int listenFd,
                             int wakeFd, WindowProc proc)
    : className_(std::move(className)), socketPath_(std::move(socketPath)), listenFd_(listenFd),
      wakeFd_(wakeFd), proc_(std::move(proc)) {}

MessageWindow::~MessageWindow() {
    stop();
    {
        // Under the guard, so that a window of the class created after the
        // socket stopped answering never loses its fresh socket to us.
        ClassGuard guard(socketPath_);
        ::unlink((socketPath_.native() + std::string(kSessionSuffix)).c_str());
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

void MessageWindow::quit() {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
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
        std::uint64_t count = 0;
        (void)!::read(wakeFd_, &count, sizeof count);
    }
}

void MessageWindow::runMessageLoop() {
    const LoopContext context{foldCase(className_), &proc_};
    const LoopContext* const outer = std::exchange(tLoop, &context);
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    const auto idle = std::chrono::milliseconds(kWindowIdleTimeoutMs);
    for (;;) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        int timeout = -1;
        for (const auto& c : connections) {
            fds.push_back({c.fd.get(), POLLIN, 0});
            const int left = remainingMs(c.lastActivity + idle);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
            break;
        }
        // Connections first: the accepted ones are appended after them.
        std::vector<bool> drop(connections.size(), false);
        for (std::size_t i = 0; n > 0 && i < connections.size(); ++i) {
            const short revents = fds[i + 2].revents;
            if (revents == 0) {
                continue;
            }
            auto& c = connections[i];
            const bool open = (revents & POLLIN) != 0 && readAvailable(c);
            // Frames that arrived complete are answered even when the peer
            // has closed its side since.
            const bool ok = dispatchFrames(c, proc_);
            drop[i] = !open || !ok;
        }
        const auto after = Clock::now();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            auto& c = connections[i];
            if (drop[i] || c.lastActivity + idle > after) {
                continue;
            }
            // What arrived while a procedure kept the loop busy counts as
            // activity; only a silent peer is dropped.
            const std::size_t before = c.buffer.size();
            const bool open = readAvailable(c);
            drop[i] = !open || c.buffer.size() == before || !dispatchFrames(c, proc_);
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!drop[i]) {
                if (kept != i) {
                    connections[kept] = std::move(connections[i]);
                }
                ++kept;
            }
        }
        connections.resize(kept);
        if (n > 0 && (fds[1].revents & POLLIN) != 0) {
            for (;;) {
                Fd fd(::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (fd.get() < 0) {
                    break;
                }
                if (connections.size() < kMaxConnections) {
                    connections.push_back({std::move(fd), std::string(), Clock::now()});
                }
            }
        }
    }
    tLoop = outer;
}

SendResult sendCopyData(std::string_view className, std::uint32_t dwData, std::string_view payload,
                        std::uint32_t timeoutMs) {
    if (payload.size() > kMaxCopyDataBytes) {
        return {SendStatus::TooLarge, 0};
    }
    if (tLoop != nullptr && tLoop->foldedClass == foldCase(className)) {
        return {SendStatus::Ok, callProc(*tLoop->proc, {kWmCopyData, dwData, payload})};
    }
    return transact(windowSocketPath(className), kWmCopyData, dwData, 0, payload, timeoutMs);
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
