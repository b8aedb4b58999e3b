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
    if (name.starts_with(kGlobalPrefix)) {
        return folderPath(Folder::GlobalRun) /
               (escapeName(name.substr(kGlobalPrefix.size())) + ".lock");
    }
    if (name.starts_with(kLocalPrefix)) {
        name.remove_prefix(kLocalPrefix.size());
    }
    return folderPath(Folder::Run) / (escapeName(name) + ".lock");
}

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name) {
    const auto path = lockFilePath(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    // Other users must be able to open a machine-wide lock file too.
    if (name.starts_with(kGlobalPrefix)) {
        fchmod(fd, 0666);
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
