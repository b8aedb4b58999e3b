#include "platform/shell/ShellState.h"

#include "platform/folders/Folders.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::shell::detail {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kJournal = "journal";

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

void lockFd(int fd) {
    while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

} // namespace

fs::path shellFolder() {
    const fs::path folder = folderPath(Folder::Run) / "shell";
    // Inside the user's own run folder (0700); what fails here fails again
    // on the first file made in it.
    (void)::mkdir(folder.c_str(), 0700);
    return folder;
}

StateLock::StateLock()
    : fd_(::open((shellFolder() / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    lockFd(fd_);
}

StateLock::~StateLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void journal(std::string_view op, const JsonValue& fields) {
    JsonValue entry;
    entry.set("op", op);
    entry.set("pid", static_cast<std::int64_t>(getpid()));
    if (const auto* members = fields.asObject()) {
        for (const auto& [key, value] : *members) {
            entry.set(key, value);
        }
    }
    const std::string line = platform::ui::serializeJson(entry) + "\n";
    const int fd = ::open((shellFolder() / std::string(kJournal)).c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    // Lines of several processes never mix: one locked write each.
    lockFd(fd);
    (void)writeAll(fd, line);
    ::close(fd);
}

std::optional<JsonValue> readState(std::string_view name) {
    std::ifstream in(shellFolder() / std::string(name), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = platform::ui::parseJson(text.str());
    return std::move(parsed.value);
}

bool writeState(std::string_view name, const JsonValue& value) {
    const fs::path path = shellFolder() / std::string(name);
    const fs::path temp = path.string() + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = writeAll(fd, platform::ui::serializeJson(value));
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void removeState(std::string_view name) {
    ::unlink((shellFolder() / std::string(name)).c_str());
}

namespace {

// Fields 3 and 22 of /proc/<pid>/stat: the state letter and the start time
// in clock ticks after boot; {0, 0} when the process is not there.
struct StatFields {
    char state = 0;
    std::uint64_t started = 0;
};

StatFields statOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // The command name may hold blanks and parentheses: count from its end.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream fields(text.substr(close + 1));
    StatFields out;
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 3) {
            out.state = field[0];
        } else if (i == 22) {
            out.started = std::stoull(field);
        }
    }
    return out;
}

} // namespace

ProcessId thisProcess() {
    return {getpid(), statOf(getpid()).started};
}

bool processLives(const ProcessId& process) {
    if (process.pid <= 0 || (::kill(process.pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    // A process that ended but is not reaped yet (its parent has not waited
    // for it) still answers kill(), yet its windows are gone: its icons and
    // menus must not hold their places against the process that follows it.
    const StatFields stat = statOf(process.pid);
    if (stat.state == 'Z' || stat.state == 'X') {
        return false;
    }
    return process.started == 0 || stat.started == process.started;
}

JsonValue processJson(const ProcessId& process) {
    JsonValue value;
    value.set("pid", static_cast<std::int64_t>(process.pid));
    value.set("started", static_cast<std::uint64_t>(process.started));
    return value;
}

ProcessId processFromJson(const JsonValue* value) {
    if (value == nullptr) {
        return {};
    }
    return {static_cast<pid_t>(memberNumber(*value, "pid")),
            static_cast<std::uint64_t>(memberNumber(*value, "started"))};
}

std::int64_t memberNumber(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr ? value->asNumber().value_or(0) : 0;
}

std::uint32_t member32(const JsonValue& object, std::string_view key) {
    return static_cast<std::uint32_t>(memberNumber(object, key));
}

std::string memberText(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    const std::string* text = value != nullptr ? value->asString() : nullptr;
    return text != nullptr ? *text : std::string();
}

} // namespace platform::shell::detail
