#include "platform/mutex/NamedMutex.h"

#include "platform/folders/Folders.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr std::string_view kLocalPrefix = "Local\\";

std::string escapeName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                           (u >= '0' && u <= '9') || u == '.' || u == '_' || u == '-';
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

std::string lockFileName(std::string_view name) {
    if (name.starts_with(kGlobalPrefix)) {
        name.remove_prefix(kGlobalPrefix.size());
    } else if (name.starts_with(kLocalPrefix)) {
        name.remove_prefix(kLocalPrefix.size());
    }
    return escapeName(name) + ".lock";
}

// Opens the lock file in its folder, never through a link, and keeps it only
// when it is a regular file (a pipe put there cannot block the open).
// flock() needs no write access, so the file is only read. A machine-wide
// file made here is readable by every account; a file found keeps the mode
// its maker gave it.
int openLockFile(const RunFolder& folder, const std::string& file, bool global) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // A file removed between the two tries is made again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::openat(folder.fd(), file.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
        const bool created = fd >= 0;
        if (!created && errno == EEXIST) {
            fd = ::openat(folder.fd(), file.c_str(), kFlags);
        }
        if (fd < 0) {
            if (errno == ENOENT) {
                continue;
            }
            return -1;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
            (created && global && fchmod(fd, 0644) != 0)) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    return -1;
}

bool tryFlock(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

std::filesystem::path NamedMutex::lockFilePath(std::string_view name) {
    const bool global = name.starts_with(kGlobalPrefix);
    return folderPath(global ? Folder::GlobalRun : Folder::Run) / lockFileName(name);
}

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name) {
    const bool global = name.starts_with(kGlobalPrefix);
    const RunFolder folder = RunFolder::open(global ? Folder::GlobalRun : Folder::Run);
    if (!folder) {
        return nullptr;
    }
    const int fd = openLockFile(folder, lockFileName(name), global);
    if (fd < 0) {
        return nullptr;
    }
    return std::unique_ptr<NamedMutex>(new NamedMutex(fd));
}

NamedMutex::~NamedMutex() {
    if (held_) {
        unlock();
    }
    close(fd_);
}

bool NamedMutex::lock(std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    if (timeoutMs == kInfinite) {
        local_.lock();
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                local_.unlock();
                return false;
            }
        }
        held_ = true;
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!local_.try_lock_until(deadline)) {
        return false;
    }
    for (;;) {
        if (tryFlock(fd_)) {
            held_ = true;
            return true;
        }
        if (Clock::now() >= deadline) {
            local_.unlock();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void NamedMutex::unlock() {
    if (!held_) {
        return;
    }
    held_ = false;
    flock(fd_, LOCK_UN);
    local_.unlock();
}

} // namespace platform
