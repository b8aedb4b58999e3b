#include "common/QxLog.h"

#include "common/QxIni.h"
#include "platform/folders/Folders.h"
#include "platform/mutex/NamedMutex.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

LogSettings settings;
std::unique_ptr<platform::NamedMutex> logMutex;

// Any local account can hold the machine-wide log lock, so it is waited for a
// bounded time: a line takes well under a millisecond under it, so a holder
// still there after this long is stopped or hostile, and the line is then
// written without the lock rather than lost.
constexpr std::uint32_t kLogLockWaitMs = 250;
// After a wait that ran out, lines only try the lock without waiting for this
// long, so such a holder costs a writer one wait, not one per line.
constexpr std::chrono::seconds kLogLockPause{10};
std::atomic<std::chrono::steady_clock::rep> logLockPatientFrom{0};
// Whether this thread's line is being written under the lock.
thread_local bool logLockHeld = false;

constexpr const char* kLevelTags[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};

// Stops the roll-over search even if every numbered file exists and is full.
constexpr int kRollOverLimit = 100000;

void logOpenMutex() {
    if (!logMutex) {
        logMutex = platform::NamedMutex::open(kLogMutexName);
    }
    settings.mutexOpen = logMutex != nullptr;
}

void logLock() {
    logLockHeld = false;
    if (!logMutex) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    const bool patient = now.time_since_epoch().count() >= logLockPatientFrom.load();
    logLockHeld = logMutex->lock(patient ? kLogLockWaitMs : 0);
    if (!logLockHeld && patient) {
        logLockPatientFrom.store((now + kLogLockPause).time_since_epoch().count());
    }
}

void logUnlock() {
    if (logMutex && logLockHeld) {
        logMutex->unlock();
    }
    logLockHeld = false;
}

unsigned long logMillis(std::chrono::system_clock::time_point now) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return static_cast<unsigned long>(ms % 1000);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string out;
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(n));
    } else if (n >= 0) {
        out.resize(static_cast<std::size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    }
    va_end(args);
    return out;
}

// Only a "." in the last path element starts the file's ending; a dot in a
// folder name must not split the path.
std::size_t endingDot(const std::string& name) {
    const auto dot = name.rfind('.');
    const auto sep = name.find_last_of("/\\");
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) {
        return std::string::npos;
    }
    return dot;
}

std::string composeName(const std::string& base, const std::tm& t, int number) {
    const auto dot = endingDot(base);
    const std::string stem = dot == std::string::npos ? base : base.substr(0, dot);
    const std::string ending = dot == std::string::npos ? "" : base.substr(dot);
    if (number == 0) {
        return stem + format("_%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) + ending;
    }
    return stem + format("_%04d%02d%02d_%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, number) +
           ending;
}

// The line as it is appended, without its line end, into `line` (whose room
// is kept): the prefix, then the message.
void composeLine(std::string& line, const LogFileName& name, int level, const char* fmt,
                 va_list args) {
    char prefix[128];
    const int p = std::snprintf(prefix, sizeof prefix, "%s %s [%05lu-%05lu] ", name.stamp.c_str(),
                                logLevelTag(level), static_cast<unsigned long>(getpid()) % 100000,
                                static_cast<unsigned long>(gettid()) % 100000);
    line.assign(prefix, static_cast<std::size_t>(std::clamp(p, 0, int{sizeof prefix} - 1)));
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) {
        return;
    }
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(n));
    std::vsnprintf(line.data() + start, static_cast<std::size_t>(n) + 1, fmt, args);
}

void logWriteLine(int level, const char* fmt, va_list args) {
    const auto name = logMakeFileName();
    if (!name) {
        return;
    }
    // Never through a link, only the user's own file in the user's folder.
    const int fd =
        platform::openOwnFile(platform::nativePath(name->name), platform::OwnFile::Append);
    if (fd < 0) {
        return;
    }
    std::string line;
    composeLine(line, *name, level, fmt, args);
    line += '\n';
    platform::writeAll(fd, line);
    ::close(fd);
}

// ---- Memory target -------------------------------------------------------

// The last lines in a ring whose strings keep their room, so a busy writer
// allocates nothing once the ring has filled; the ring exists only while the
// target is on. Guarded by a lock of this process only: no other process
// reads the ring.
struct MemoryTarget {
    std::mutex lock;
    std::atomic<bool> on{false};
    std::vector<std::string> ring;
    std::size_t next = 0;  // the slot the next line goes to
    std::size_t count = 0; // slots in use
    std::uint64_t total = 0;
};

MemoryTarget memoryLog;

// While the memory target is on, keeps the line as logWriteLine would append
// it (without the line end), or drops it where that would; false when off.
bool logKeepLine(int level, const char* fmt, va_list args) {
    if (!memoryLog.on) {
        return false;
    }
    std::lock_guard guard(memoryLog.lock);
    if (!memoryLog.on) {
        return false;
    }
    const auto name = logMakeFileName();
    if (!name) {
        return true;
    }
    composeLine(memoryLog.ring[memoryLog.next], *name, level, fmt, args);
    memoryLog.next = (memoryLog.next + 1) % kLogMemoryLines;
    memoryLog.count = std::min(memoryLog.count + 1, kLogMemoryLines);
    ++memoryLog.total;
    return true;
}

} // namespace

void logSetMemoryTarget(bool on) {
    std::lock_guard guard(memoryLog.lock);
    memoryLog.on = on;
    memoryLog.ring = on ? std::vector<std::string>(kLogMemoryLines) : std::vector<std::string>();
    memoryLog.next = 0;
    memoryLog.count = 0;
    memoryLog.total = 0;
}

std::vector<std::string> logMemoryLines() {
    std::lock_guard guard(memoryLog.lock);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < memoryLog.count; ++i) {
        out.push_back(memoryLog.ring[(memoryLog.next + kLogMemoryLines - memoryLog.count + i) %
                                     kLogMemoryLines]);
    }
    return out;
}

std::uint64_t logMemoryLineCount() {
    std::lock_guard guard(memoryLog.lock);
    return memoryLog.total;
}

const LogSettings& logSettings() {
    return settings;
}

const char* logLevelTag(int level) {
    if (level < 0 || level > 5) {
        return "";
    }
    return kLevelTags[level];
}

std::optional<LogFileName> logMakeFileName() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm t{};
    localtime_r(&seconds, &t);
    LogFileName out;
    out.stamp = format("%d-%02d-%02d %02d:%02d:%02d.%03lu", t.tm_year + 1900, t.tm_mon + 1,
                       t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, logMillis(now));
    for (;;) {
        out.name = composeName(settings.fileName, t, settings.rollOver);
        if (out.name.size() > kLogFileNameMax) {
            return std::nullopt;
        }
        if (settings.maxSize <= 0 || settings.rollOver >= kRollOverLimit) {
            return out;
        }
        // The file itself: a link in its place is never measured.
        struct stat st {};
        if (lstat(platform::nativePath(out.name).c_str(), &st) != 0 ||
            st.st_size <= static_cast<off_t>(settings.maxSize)) {
            return out;
        }
        ++settings.rollOver;
    }
}

int logConfigure(std::string_view section, const std::filesystem::path& iniPath) {
    if (settings.enabled) {
        return -1;
    }
    std::filesystem::path path = iniPath;
    const std::string text = iniPath.string();
    // Whether the file that is read below could not be opened a moment ago:
    // every read of it would fail alike, so the keys take their defaults
    // without opening it again.
    bool unopened = false;
    if (text.find_first_of("/\\") == std::string::npos) {
        const std::filesystem::path candidates[] = {
            platform::folderPath(platform::Folder::Windows) / text,
            platform::folderPath(platform::Folder::Home) / text,
            platform::folderPath(platform::Folder::HomeDrive) / "tmp" / text,
        };
        path = candidates[2];
        for (const auto& candidate : candidates) {
            std::string probe;
            const int probed =
                iniGetString(section, "Log File", probe, kLogFileNameMax + 1, candidate);
            unopened = probed == kIniNoFile;
            if (probed == kIniFound) {
                path = candidate;
                break;
            }
        }
    }
    const auto read = [&](std::string_view key, std::string& out, std::size_t size) {
        return unopened ? kIniNoFile : iniGetString(section, key, out, size, path);
    };

    std::string value;
    if (read("Log File", value, kLogFileNameMax + 1) == kIniFound) {
        settings.fileName = value;
    } else {
        settings.fileName = kLogDefaultFile;
    }

    std::string maxSize;
    settings.maxSize = 0;
    if (read("Log MaxSize", maxSize, 64) == kIniFound) {
        char* end = nullptr;
        const long parsed = std::strtol(maxSize.c_str(), &end, 10);
        settings.maxSize = (end != maxSize.c_str() && parsed > 0 && parsed <= 0x7FFFFFFF)
                               ? static_cast<int>(parsed)
                               : 0;
    }

    std::string level;
    const int result = read("Log Level", level, 16);
    if (result != kIniFound) {
        settings.level = 0;
        settings.enabled = false;
    } else {
        const long parsed = std::strtol(level.c_str(), nullptr, 10);
        settings.level = static_cast<int>(std::clamp<long>(parsed, -0x7FFFFFFF - 1, 0x7FFFFFFF));
        settings.enabled = true;
        logOpenMutex();
        logPrint(settings.level, 0, "Log Enable '%s'", path.c_str());
    }
    // While off nothing is written: the machine-wide lock is opened once a
    // level turns writing on, not by every module that only looks for its
    // settings (each adapter copy does on load).
    return result;
}

int logSetTarget(std::optional<std::string_view> fileName, int level) {
    if (level == 0) {
        settings.enabled = false;
        settings.level = 0;
    } else if (fileName) {
        settings.fileName = std::string(fileName->substr(0, kLogFileNameMax));
        settings.level = level;
        settings.enabled = true;
    }
    if (settings.enabled) {
        logOpenMutex();
    }
    return 0;
}

int logPrintV(int level, int /*reserved*/, const char* fmt, va_list args) {
    // While off nothing is written, whatever the level: there is no file yet.
    if (!settings.enabled || level > settings.level) {
        return -2;
    }
    if (logKeepLine(level, fmt, args)) {
        return 0;
    }
    logLock();
    logWriteLine(level, fmt, args);
    logUnlock();
    return 0;
}

int logPrint(int level, int reserved, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int result = logPrintV(level, reserved, fmt, args);
    va_end(args);
    return result;
}

void logResetForTest() {
    settings = LogSettings{};
    logMutex.reset();
    logLockPatientFrom.store(0);
}
