#include "control/ControlLog.h"

#include "common/LogEscape.h"
#include "common/QxIni.h"
#include "platform/folders/Folders.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fcntl.h>
#include <list>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

constexpr const char* kDefaultLogFile = "C:\\QxLog.log";
// Longest values read from the ini file, terminator included.
constexpr std::size_t kLogFileValueSize = 256;
constexpr std::size_t kLogLevelValueSize = 16;

// Fixed once Log_Init has filled it; writers only read it.
struct LogState {
    std::string fileName; // dated, written the Windows way
    std::string nativePath;
    int level = 0;
    std::uint32_t startTick = 0;
};

std::mutex initLock;
std::atomic<const LogState*> current{nullptr};
// Every state ever published, so a writer still holding an older one after a
// test's reset never reads freed memory.
std::list<std::unique_ptr<LogState>> states;

std::uint32_t tickCount() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<std::uint32_t>(ms);
}

std::tm localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

void appendV(std::string& out, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
void appendV(std::string& out, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(n));
    std::vsnprintf(out.data() + start, static_cast<std::size_t>(n) + 1, format, args);
}

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    appendV(out, format, args);
    va_end(args);
}

// One conversion of a format, its star arguments (width, precision) first.
template <typename T>
void appendOne(std::string& out, const std::string& directive, const int* stars, int starCount,
               T value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const auto print = [&](char* buffer, std::size_t size) {
        switch (starCount) {
        case 0:
            return std::snprintf(buffer, size, directive.c_str(), value);
        case 1:
            return std::snprintf(buffer, size, directive.c_str(), stars[0], value);
        default:
            return std::snprintf(buffer, size, directive.c_str(), stars[0], stars[1], value);
        }
    };
#pragma GCC diagnostic pop
    const int n = print(nullptr, 0);
    if (n <= 0) {
        return;
    }
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    print(text.data(), text.size());
    out.append(text.data(), static_cast<std::size_t>(n));
}

// Formats as vsnprintf does, but the text of every %s and %c argument goes
// in with its control characters escaped: what a caller passes is data, the
// format's own line ends stay.
void appendEscapedV(std::string& out, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            const std::size_t n =
                next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        int stars[2] = {0, 0};
        int starCount = 0;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            ++p;
        }
        if (*p == '*') {
            stars[starCount++] = va_arg(ap, int);
            ++p;
        }
        while (std::isdigit(static_cast<unsigned char>(*p)) != 0) {
            ++p;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                stars[starCount++] = va_arg(ap, int);
                ++p;
            }
            while (std::isdigit(static_cast<unsigned char>(*p)) != 0) {
                ++p;
            }
        }
        std::string length;
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) {
            length += *p++;
        }
        if (*p == '\0') {
            break;
        }
        const char conversion = *p++;
        std::string directive(start, p);
        const bool isLong = length == "l";
        const bool isLongLong = length == "ll" || length == "q";
        switch (conversion) {
        case 'd':
        case 'i':
            if (isLong) {
                appendOne(out, directive, stars, starCount, va_arg(ap, long));
            } else if (isLongLong) {
                appendOne(out, directive, stars, starCount, va_arg(ap, long long));
            } else if (length == "z" || length == "t" || length == "j") {
                appendOne(out, directive, stars, starCount, va_arg(ap, std::intmax_t));
            } else {
                appendOne(out, directive, stars, starCount, va_arg(ap, int));
            }
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (isLong) {
                appendOne(out, directive, stars, starCount, va_arg(ap, unsigned long));
            } else if (isLongLong) {
                appendOne(out, directive, stars, starCount, va_arg(ap, unsigned long long));
            } else if (length == "z" || length == "t" || length == "j") {
                appendOne(out, directive, stars, starCount, va_arg(ap, std::uintmax_t));
            } else {
                appendOne(out, directive, stars, starCount, va_arg(ap, unsigned));
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L") {
                appendOne(out, directive, stars, starCount, va_arg(ap, long double));
            } else {
                appendOne(out, directive, stars, starCount, va_arg(ap, double));
            }
            break;
        case 'p':
            appendOne(out, directive, stars, starCount, va_arg(ap, void*));
            break;
        case 'c':
        case 's': {
            if (!length.empty()) {
                // Wide forms: nothing this log is given; written as given.
                if (conversion == 'c') {
                    appendOne(out, directive, stars, starCount, va_arg(ap, wint_t));
                } else {
                    appendOne(out, directive, stars, starCount, va_arg(ap, const wchar_t*));
                }
                break;
            }
            std::string text;
            if (conversion == 'c') {
                text.assign(1, static_cast<char>(va_arg(ap, int)));
            } else {
                const char* value = va_arg(ap, const char*);
                text = value != nullptr ? value : "(null)";
            }
            std::string escaped;
            appendLogEscaped(escaped, text);
            directive.back() = 's';
            appendOne(out, directive, stars, starCount, escaped.c_str());
            break;
        }
        default:
            // Nothing this log is given; written as it stands.
            out += directive;
            break;
        }
    }
    va_end(ap);
}

// One write() for the whole text; only a short write (a full disk) makes a
// second one for the rest.
int writeWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int>(std::min<std::size_t>(done, INT_MAX));
}

const char* levelWord(int level) {
    static constexpr const char* kWords[] = {"FATAL ", "ERROR ", "WARN  ", "INFO  ", "DEBUG "};
    return level >= kLogFatal && level <= kLogDebug ? kWords[level - 1] : "NONE  ";
}

std::string timeStamp(std::uint32_t startTick) {
    const std::tm t = localNow();
    std::string out;
    // The tick difference wraps like the 32-bit counter it stands for.
    append(out, "%d-%02d-%02d %02d:%02d:%02d (%lu)", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec,
           static_cast<unsigned long>(static_cast<std::uint32_t>(tickCount() - startTick)));
    return out;
}

int parseLevel(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

std::unique_ptr<LogState> configure(std::string_view section, std::string_view name, int& result) {
    std::filesystem::path iniPath = std::string(name);
    std::string fileName;
    int fileResult = kIniNoFile;
    if (name.find_first_of("/\\") == std::string_view::npos) {
        iniPath = platform::folderPath(platform::Folder::Windows) / std::string(name);
        fileResult = iniGetString(section, "Log File", fileName, kLogFileValueSize, iniPath);
        if (fileResult != kIniFound) {
            iniPath = platform::folderPath(platform::Folder::Home) / std::string(name);
            fileResult = iniGetString(section, "Log File", fileName, kLogFileValueSize, iniPath);
        }
    } else {
        iniPath = platform::nativePath(name);
        fileResult = iniGetString(section, "Log File", fileName, kLogFileValueSize, iniPath);
    }
    if (fileResult != kIniFound) {
        fileName = kDefaultLogFile;
    }

    auto state = std::make_unique<LogState>();
    // A name near the length limit keeps its date: the name is a string of
    // its own length, never cut to make room.
    state->fileName = Log_DatedName(fileName, Log_DateText());
    state->nativePath = platform::nativePath(state->fileName).string();

    std::string level;
    result = iniGetString(section, "Log Level", level, kLogLevelValueSize, iniPath);
    state->level = result == kIniFound ? parseLevel(level) : 0;
    state->startTick = tickCount();
    return state;
}

} // namespace

int Log_Init(const char* section, const char* iniName) {
    std::lock_guard guard(initLock);
    if (current.load(std::memory_order_acquire) != nullptr) {
        return -1;
    }
    int result = kIniNoFile;
    auto state =
        configure(section != nullptr ? section : "", iniName != nullptr ? iniName : "", result);
    states.push_back(std::move(state));
    current.store(states.back().get(), std::memory_order_release);
    return result;
}

int Log_Write(int level, const char* format, ...) {
    const LogState* state = current.load(std::memory_order_acquire);
    // Nothing below level 1 is ever written, whatever the configuration says.
    if (state == nullptr || level <= 0 || level > state->level) {
        return -2;
    }
    std::string line = timeStamp(state->startTick);
    append(line, " %s[%d-%d] ", levelWord(level), static_cast<int>(getpid()),
           static_cast<int>(gettid()));
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        appendEscapedV(line, format, args);
        va_end(args);
    }
    line += '\n';
    // Card exchanges are logged: the file is the user's alone, never reached
    // through a link or in another's folder.
    const int fd = platform::openOwnFile(state->nativePath, platform::OwnFile::Append);
    if (fd < 0) {
        return -3;
    }
    writeWhole(fd, line);
    ::close(fd);
    return 0;
}

int Log_HexDump(int level, const char* label, const std::uint8_t* data, std::size_t length) {
    const LogState* state = current.load(std::memory_order_acquire);
    if (state == nullptr || level <= 0 || level > state->level) {
        return 0;
    }
    std::string hex;
    if (data != nullptr) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        hex.reserve(2 * length);
        for (std::size_t i = 0; i < length; ++i) {
            hex += kDigits[data[i] >> 4];
            hex += kDigits[data[i] & 0x0F];
        }
    }
    Log_Write(level, "%s %zu %s", label != nullptr ? label : "", length, hex.c_str());
    return 0;
}

int Log_FilePrintf(int fd, const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    appendV(text, format, args);
    va_end(args);
    return writeWhole(fd, text);
}

std::string Log_DateText() {
    const std::tm t = localNow();
    std::string out;
    append(out, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return out;
}

std::string Log_TimeStamp() {
    const LogState* state = current.load(std::memory_order_acquire);
    return timeStamp(state != nullptr ? state->startTick : 0);
}

std::string Log_DatedName(std::string_view name, std::string_view date) {
    // Only a "." in the last element starts the ending: a dot in a folder's
    // name must not split the path.
    const std::size_t element = name.find_last_of("/\\");
    const std::size_t dot = name.rfind('.');
    std::string out;
    if (dot == std::string_view::npos || (element != std::string_view::npos && dot < element)) {
        out.append(name).append("_").append(date);
    } else {
        out.append(name.substr(0, dot)).append("_").append(date).append(name.substr(dot));
    }
    return out;
}

std::string Log_FileName() {
    const LogState* state = current.load(std::memory_order_acquire);
    return state != nullptr ? state->fileName : std::string();
}

int Log_Level() {
    const LogState* state = current.load(std::memory_order_acquire);
    return state != nullptr ? state->level : 0;
}

void Log_ResetForTest() {
    std::lock_guard guard(initLock);
    current.store(nullptr, std::memory_order_release);
}
