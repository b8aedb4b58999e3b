#include "platform/event/NamedEvent.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

// The layout of an event file; every field is only touched atomically.
struct NamedEvent::Shared {
    std::uint32_t magic;
    std::uint32_t manual;
    std::uint32_t sequence; // the futex word: bumped by every pulse and set
    std::uint32_t pulses;
    std::uint32_t signalled;
};

namespace {

constexpr std::uint32_t kMagic = 0x45585643; // "CVXE"
constexpr std::string_view kGlobalPrefix = "Global\\";

std::atomic_ref<std::uint32_t> word(std::uint32_t& field) {
    return std::atomic_ref<std::uint32_t>(field);
}

void wakeAll(std::uint32_t* address) {
    syscall(SYS_futex, address, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Sleeps while *address still equals expected, at most the time given
// (null: no limit). Returns false only on an unexpected error.
bool sleepWhile(std::uint32_t* address, std::uint32_t expected, const timespec* limit) {
    if (syscall(SYS_futex, address, FUTEX_WAIT, expected, limit, nullptr, 0) == 0) {
        return true;
    }
    return errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT;
}

// Never through a link, and only a regular file: another account may have
// planted anything under a machine-wide name.
int openExisting(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Publishes a fully written event file under its name in one step, so that
// no opener ever sees it half made. False when another creator was first.
bool publish(const std::filesystem::path& path, bool shared, bool manual, bool initiallySet) {
    static std::atomic<unsigned> serial{0};
    const std::string temp = path.native() + "." + std::to_string(getpid()) + "." +
                             std::to_string(serial.fetch_add(1)) + ".new";
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    // Machine-wide events are opened by other users too.
    fchmod(fd, shared ? 0666 : 0600);
    // The fields of NamedEvent::Shared in order.
    const std::uint32_t initial[5] = {kMagic, manual ? 1u : 0u, 0, 0, initiallySet ? 1u : 0u};
    const bool written =
        ::write(fd, initial, sizeof initial) == static_cast<ssize_t>(sizeof initial);
    ::close(fd);
    const bool linked = written && ::link(temp.c_str(), path.c_str()) == 0;
    ::unlink(temp.c_str());
    return linked;
}

} // namespace

std::filesystem::path NamedEvent::eventFilePath(std::string_view name) {
    auto path = NamedMutex::lockFilePath(name);
    path.replace_extension(".event");
    return path;
}

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name) {
    const int fd = openExisting(eventFilePath(name));
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    void* map = MAP_FAILED;
    // Anything shorter than an event is not one; mapping it would fault.
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Shared))) {
        map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    auto* shared = static_cast<Shared*>(map);
    if (word(shared->magic).load() != kMagic) {
        munmap(map, sizeof(Shared));
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(shared, true));
}

std::unique_ptr<NamedEvent> NamedEvent::create(std::string_view name, bool manualReset,
                                               bool initiallySet) {
    static_assert(sizeof(Shared) == 5 * sizeof(std::uint32_t));
    const auto path = eventFilePath(name);
    const bool made = publish(path, name.starts_with(kGlobalPrefix), manualReset, initiallySet);
    auto event = open(name);
    if (event) {
        event->existed_ = !made;
    }
    return event;
}

NamedEvent::~NamedEvent() {
    munmap(shared_, sizeof(Shared));
}

bool NamedEvent::manualReset() const {
    return word(shared_->manual).load() != 0;
}

void NamedEvent::set() {
    word(shared_->signalled).store(1);
    word(shared_->sequence).fetch_add(1);
    wakeAll(&shared_->sequence);
}

void NamedEvent::reset() {
    word(shared_->signalled).store(0);
}

void NamedEvent::pulse() {
    // The count first: a waiter that sees the new sequence sees the pulse.
    word(shared_->pulses).fetch_add(1);
    word(shared_->signalled).store(0);
    word(shared_->sequence).fetch_add(1);
    wakeAll(&shared_->sequence);
}

WaitResult NamedEvent::wait(std::uint32_t timeoutMs) {
    return waitFrom(pulseCount(), timeoutMs);
}

std::uint32_t NamedEvent::pulseCount() const {
    return word(shared_->pulses).load();
}

WaitResult NamedEvent::waitForPulse(std::uint32_t& seen, std::uint32_t timeoutMs) {
    const WaitResult result = waitFrom(seen, timeoutMs);
    seen = pulseCount();
    return result;
}

WaitResult NamedEvent::waitFrom(std::uint32_t pulsesSeen, std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool manual = manualReset();
    for (;;) {
        // Read before the checks: a change after them makes the sleep return.
        const std::uint32_t seen = word(shared_->sequence).load();
        if (word(shared_->pulses).load() != pulsesSeen) {
            return WaitResult::Signalled;
        }
        if (manual) {
            if (word(shared_->signalled).load() != 0) {
                return WaitResult::Signalled;
            }
        } else {
            std::uint32_t expected = 1;
            if (word(shared_->signalled).compare_exchange_strong(expected, 0)) {
                return WaitResult::Signalled;
            }
        }
        bool ok = true;
        if (timeoutMs == kInfinite) {
            ok = sleepWhile(&shared_->sequence, seen, nullptr);
        } else {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return WaitResult::TimedOut;
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec limit{static_cast<time_t>(ns / 1000000000),
                                 static_cast<long>(ns % 1000000000)};
            ok = sleepWhile(&shared_->sequence, seen, &limit);
        }
        if (!ok) {
            return WaitResult::Failed;
        }
    }
}

} // namespace platform
