#pragma once

// Named mutexes shared between processes: an flock() on one lock file per
// name. The kernel drops the lock when its holder dies, so a crashed holder
// never blocks the others. Names beginning "Global\" live in a machine-wide
// folder, all others in the user's run folder (see folderPath() for the
// checks both pass). A lock file is never opened through a link nor when it
// is anything but a regular file; a machine-wide one made here is readable
// by every account (flock needs no more), one found there keeps its mode.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

namespace platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

class NamedMutex {
public:
    // Creates the mutex or opens the existing one; nullptr when the lock file
    // cannot be had or its folder is refused.
    static std::unique_ptr<NamedMutex> open(std::string_view name);

    // The lock file that stands for a name.
    static std::filesystem::path lockFilePath(std::string_view name);

    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();

    // Waits at most timeoutMs (kInfinite: without limit); true once held.
    // Threads of one process exclude each other as well as processes do.
    bool lock(std::uint32_t timeoutMs = kInfinite);
    void unlock();
    bool held() const { return held_; }

private:
    explicit NamedMutex(int fd) : fd_(fd) {}

    int fd_;
    std::timed_mutex local_;
    bool held_ = false;
};

} // namespace platform
