#include "service/LoadedAdapter.h"

#include "common/ToolLog.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A descriptor closed when it goes, keeping errno for the caller.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
        }
    }
};

constexpr time_t kSettledSeconds = 2;

// The installed library's bytes as last read, with what identifies that
// version of the file: a copy per session writes them from memory, which
// costs the kernel about half of what moving them file to file does.
struct SourceBytes {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    timespec changed{};
    timespec readAt{};
    std::vector<char> bytes;

    // The file they were read from, unchanged since. File times may be as
    // coarse as a clock tick, so a file changed shortly before the read
    // could change again unseen: its bytes are read anew each time.
    bool sameFile(const struct stat& st) const {
        return device == st.st_dev && inode == st.st_ino && size == st.st_size &&
               modified.tv_sec == st.st_mtim.tv_sec && modified.tv_nsec == st.st_mtim.tv_nsec &&
               changed.tv_sec == st.st_ctim.tv_sec && changed.tv_nsec == st.st_ctim.tv_nsec &&
               changed.tv_sec + kSettledSeconds < readAt.tv_sec;
    }
};

// Larger libraries are copied file to file rather than held.
constexpr off_t kHeldSourceMax = 64 * 1024 * 1024;

std::mutex sourceLock;
SourceBytes heldSource;

bool readAll(int in, char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(in, data + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = EIO; // shrank while read
            }
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int out, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = write(out, data + done, size - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            if (put == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// All of in's size bytes to out inside the kernel: copy_file_range, or
// sendfile where the kernel or the file systems refuse it.
bool moveBytes(int in, int out, off_t size) {
    bool ranged = true;
    off_t done = 0;
    while (done < size) {
        const auto left = static_cast<std::size_t>(size - done);
        ssize_t moved = -1;
        if (ranged) {
            moved = copy_file_range(in, nullptr, out, nullptr, left, 0);
            if (moved < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                ranged = false;
                continue;
            }
        } else {
            moved = sendfile(out, in, nullptr, left);
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            if (moved == 0) {
                errno = EIO; // shrank while copied
            }
            return false;
        }
        done += moved;
    }
    return true;
}

// The source's bytes to out: a clone of its blocks where the file system
// shares them, else from the held bytes, read again whenever the file is not
// the one they were read from.
bool copyBytes(int in, const struct stat& st, int out) {
    if (ioctl(out, FICLONE, in) == 0) {
        return true;
    }
    if (st.st_size > kHeldSourceMax) {
        return moveBytes(in, out, st.st_size);
    }
    std::lock_guard guard(sourceLock);
    if (!heldSource.sameFile(st)) {
        heldSource = SourceBytes{};
        std::vector<char> bytes(static_cast<std::size_t>(st.st_size));
        if (!readAll(in, bytes.data(), bytes.size())) {
            return false;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        heldSource = SourceBytes{st.st_dev,  st.st_ino, st.st_size,      st.st_mtim,
                                 st.st_ctim, now,       std::move(bytes)};
    }
    return writeAll(out, heldSource.bytes.data(), heldSource.bytes.size());
}

} // namespace

bool copyLibraryFile(const fs::path& source, const fs::path& target) {
    const Descriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.fd < 0 || fstat(in.fd, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    // Created with the permission bits at once: no separate chmod.
    const Descriptor out(
        open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (out.fd < 0) {
        return false;
    }
    if (!copyBytes(in.fd, st, out.fd)) {
        const int saved = errno;
        unlink(target.c_str());
        errno = saved;
        return false;
    }
    return true;
}

LoadedAdapter::LoadedAdapter(void* module, fs::path file, bool ownsFile) noexcept
    : module_(module), file_(std::move(file)), ownsFile_(ownsFile) {}

LoadedAdapter LoadedAdapter::open(const fs::path& file, bool ownsFile) {
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return {};
    }
    return LoadedAdapter(module, file, ownsFile);
}

LoadedAdapter::LoadedAdapter(LoadedAdapter&& other) noexcept
    : module_(std::exchange(other.module_, nullptr)), file_(std::move(other.file_)),
      ownsFile_(std::exchange(other.ownsFile_, false)) {
    other.file_.clear();
}

LoadedAdapter& LoadedAdapter::operator=(LoadedAdapter&& other) noexcept {
    if (this != &other) {
        LoadedAdapter gone(std::move(*this));
        module_ = std::exchange(other.module_, nullptr);
        file_ = std::move(other.file_);
        other.file_.clear();
        ownsFile_ = std::exchange(other.ownsFile_, false);
    }
    return *this;
}

// Quietly: a session still open when the slots are reset or the process ends
// has no release to log.
LoadedAdapter::~LoadedAdapter() {
    if (module_ != nullptr) {
        dlclose(module_);
    }
    if (ownsFile_) {
        std::error_code ec;
        fs::remove(file_, ec);
    }
}

void* LoadedAdapter::symbol(const char* name) const {
    return module_ != nullptr ? dlsym(module_, name) : nullptr;
}

bool LoadedAdapter::moveTo(const fs::path& target) {
    std::error_code ec;
    fs::rename(file_, target, ec);
    if (ec) {
        return false;
    }
    file_ = target;
    return true;
}

void LoadedAdapter::release() {
    bool freed = true;
    if (module_ == nullptr) {
        logWarning("FreeLibrary: ", "NULL");
    } else if (dlclose(module_) != 0) {
        const char* reason = dlerror();
        logWarning("Free library error code: ", reason != nullptr ? reason : "");
        freed = false;
    }
    module_ = nullptr;
    if (logWritersOn()) {
        if (freed) {
            logNormal("Release adapter state: ", "Success");
        } else {
            logWarning("Release adapter state: ", "Fail");
        }
    }

    if (ownsFile_ && !file_.empty()) {
        std::error_code ec;
        const bool deleted = fs::remove(file_, ec);
        if (logWritersOn()) {
            if (deleted) {
                logNormal("Delete adapter state: ", "Success");
            } else {
                logWarning("Delete adapter state: ", "Fail");
            }
        }
    }
    file_.clear();
    ownsFile_ = false;
}
