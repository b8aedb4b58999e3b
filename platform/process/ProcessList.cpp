#include "platform/process/ProcessList.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view kRootVariable = "CORVANTIX_ROOT=";
constexpr std::string_view kDeletedMark = " (deleted)";

// The whole of a /proc file (their sizes read as 0); nullopt when unreadable.
std::optional<std::string> readProcFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return text;
}

// A root as written, without trailing separators, so "/a/b/" is "/a/b".
std::string normalRoot(std::string_view root) {
    std::string text = std::filesystem::path(root).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

std::string ownRoot() {
    const char* root = std::getenv("CORVANTIX_ROOT");
    return root != nullptr && *root != '\0' ? normalRoot(root) : std::string();
}

std::string processRoot(std::string_view environment) {
    while (!environment.empty()) {
        const auto end = environment.find('\0');
        const auto entry = environment.substr(0, end);
        if (entry.starts_with(kRootVariable)) {
            const auto value = entry.substr(kRootVariable.size());
            return value.empty() ? std::string() : normalRoot(value);
        }
        if (end == std::string_view::npos) {
            break;
        }
        environment.remove_prefix(end + 1);
    }
    return {};
}

std::string baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool isZombie(const std::string& stat) {
    // "pid (comm) S ...": the state follows the last ")".
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return true; // unreadable: gone or going
    }
    const char state = stat[close + 2];
    return state == 'Z' || state == 'X';
}

std::string programName(const std::string& folder) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink(folder + "/exe", ec);
    if (!ec) {
        std::string name = exe.filename().string();
        if (name.ends_with(kDeletedMark)) {
            name.resize(name.size() - kDeletedMark.size());
        }
        if (!name.empty()) {
            return name;
        }
    }
    const auto cmdline = readProcFile(folder + "/cmdline");
    if (!cmdline || cmdline->empty()) {
        return {};
    }
    return baseName(std::string_view(cmdline->c_str()));
}

// The entry of one pid when it is a live process of this user in this sandbox.
std::optional<ProcessEntry> readProcess(pid_t pid, const std::string& root) {
    const std::string folder = "/proc/" + std::to_string(pid);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || st.st_uid != geteuid()) {
        return std::nullopt;
    }
    const auto stat = readProcFile(folder + "/stat");
    if (!stat || isZombie(*stat)) {
        return std::nullopt;
    }
    const auto environment = readProcFile(folder + "/environ");
    if (!environment || processRoot(*environment) != root) {
        return std::nullopt;
    }
    ProcessEntry entry{pid, programName(folder)};
    if (entry.name.empty()) {
        return std::nullopt; // kernel threads have neither a file nor arguments
    }
    return entry;
}

std::string_view withoutExe(std::string_view name) {
    if (name.size() > 4 && name.ends_with(".exe")) {
        name.remove_suffix(4);
    }
    return name;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Signals through a process descriptor, checking after it is open that the
// pid still names the process that was listed.
bool signalListed(const ProcessEntry& entry, const std::string& root, NameCase nameCase,
                  std::string_view name, int signal) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, entry.pid, 0));
    if (fd < 0) {
        if (errno == ENOSYS) {
            return ::kill(entry.pid, signal) == 0;
        }
        return false; // already gone
    }
    bool sent = false;
    const auto now = readProcess(entry.pid, root);
    if (now && programNameMatches(now->name, name, nameCase)) {
        sent = ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0;
    }
    ::close(fd);
    return sent;
}

} // namespace

std::optional<std::vector<ProcessEntry>> listProcesses() {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return std::nullopt;
    }
    const std::string root = ownRoot();
    std::vector<ProcessEntry> entries;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        if (auto entry = readProcess(static_cast<pid_t>(pid), root)) {
            entries.push_back(std::move(*entry));
        }
    }
    ::closedir(proc);
    return entries;
}

bool programNameMatches(std::string_view processName, std::string_view wanted, NameCase nameCase) {
    const auto a = withoutExe(processName);
    const auto b = withoutExe(wanted);
    return nameCase == NameCase::Exact ? a == b : equalIgnoringCase(a, b);
}

int signalProcessesByName(std::string_view name, NameCase nameCase, int signal) {
    const auto processes = listProcesses();
    if (!processes) {
        return 0;
    }
    const std::string root = ownRoot();
    int signalled = 0;
    for (const auto& entry : *processes) {
        if (programNameMatches(entry.name, name, nameCase) &&
            signalListed(entry, root, nameCase, name, signal)) {
            ++signalled;
        }
    }
    return signalled;
}

std::optional<int> runNativeCommand(const std::vector<std::string>& words) {
    if (words.empty() ||
        !(equalIgnoringCase(words[0], "taskkill") || equalIgnoringCase(words[0], "taskkill.exe"))) {
        return std::nullopt;
    }
    bool force = false;
    std::optional<std::string> image;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (equalIgnoringCase(words[i], "/F")) {
            force = true;
        } else if (equalIgnoringCase(words[i], "/IM") && i + 1 < words.size()) {
            image = words[++i];
        } else {
            return 1;
        }
    }
    if (!image || image->empty()) {
        return 1;
    }
    const int ended = signalProcessesByName(*image, NameCase::Ignore, force ? SIGKILL : SIGTERM);
    return ended > 0 ? 0 : 128;
}

} // namespace platform
