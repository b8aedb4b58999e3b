#include "platform/process/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findIn(const std::filesystem::path& folder,
                                            const std::vector<std::string>& names) {
    for (const auto& name : names) {
        if (auto candidate = folder / name; isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// This process's environment with the variables given ("NAME=value") put
// in place of those of the same name or added.
std::vector<std::string> environmentWith(const std::vector<std::string>& variables) {
    const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name = nameOf(*entry);
        bool replaced = false;
        for (const auto& variable : variables) {
            replaced = replaced || nameOf(variable) == name;
        }
        if (!replaced) {
            all.emplace_back(*entry);
        }
    }
    all.insert(all.end(), variables.begin(), variables.end());
    return all;
}

// Starts argv hidden; standard output goes to outFd when it is not -1,
// and closeFd (the other end of a pipe) is closed in the child. Without a
// pid, error says why.
std::optional<pid_t> spawnHidden(const std::vector<std::string>& argv, int outFd, int closeFd,
                                 const std::vector<std::string>& variables, int& error) {
    error = ENOENT;
    if (argv.empty()) {
        return std::nullopt;
    }
    const auto program = findProgram(argv[0]);
    if (!program) {
        return std::nullopt;
    }
    std::vector<std::string> environment;
    std::vector<char*> environmentWords;
    if (!variables.empty()) {
        environment = environmentWith(variables);
        for (auto& entry : environment) {
            environmentWords.push_back(entry.data());
        }
        environmentWords.push_back(nullptr);
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (closeFd >= 0) {
        posix_spawn_file_actions_addclose(&actions, closeFd);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program->c_str(), &actions, &attr, args.data(),
                               variables.empty() ? environ : environmentWords.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    error = rc;
    if (rc != 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<pid_t> spawnHidden(const std::vector<std::string>& argv, int outFd, int closeFd) {
    int error = 0;
    return spawnHidden(argv, outFd, closeFd, {}, error);
}

} // namespace

std::optional<std::filesystem::path> executableFile() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::nullopt;
    }
    return self;
}

std::optional<std::filesystem::path> executableFolder() {
    const auto self = executableFile();
    if (!self) {
        return std::nullopt;
    }
    return self->parent_path();
}

std::vector<std::string> splitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
            word += '"';
            inWord = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::optional<std::filesystem::path> findProgram(std::string_view name) {
    if (name.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> names{std::string(name)};
    if (name.size() > 4 && name.ends_with(".exe")) {
        names.insert(names.begin(), std::string(name.substr(0, name.size() - 4)));
    }
    if (name.find('/') != std::string_view::npos) {
        for (const auto& candidate : names) {
            if (isExecutableFile(candidate)) {
                return std::filesystem::path(candidate);
            }
        }
        return std::nullopt;
    }
    if (auto own = executableFolder()) {
        if (auto found = findIn(*own, names)) {
            return found;
        }
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const auto dir = dirs.substr(0, colon);
        if (!dir.empty()) {
            if (auto found = findIn(std::filesystem::path(dir), names)) {
                return found;
            }
        }
        if (colon == std::string_view::npos) {
            break;
        }
        dirs.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

std::optional<pid_t> startHidden(const std::vector<std::string>& argv) {
    return spawnHidden(argv, -1, -1);
}

std::optional<pid_t> startHidden(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment, int& error) {
    return spawnHidden(argv, -1, -1, environment, error);
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

void detach(pid_t pid) {
    std::thread([pid] { waitForExit(pid); }).detach();
}

std::optional<CapturedRun> runCaptured(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const auto pid = spawnHidden(argv, out[1], out[0]);
    close(out[1]);
    if (!pid) {
        close(out[0]);
        return std::nullopt;
    }
    CapturedRun run;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0) {
            run.out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    run.exitCode = waitForExit(*pid);
    return run;
}

bool deleteFileLater(const std::filesystem::path& file, std::chrono::milliseconds delay) {
    // Everything the child needs is made before the fork: after it, in a
    // process that may have other threads, only async-signal-safe calls.
    const std::string path = file.string();
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(delay.count() / 1000);
    wait.tv_nsec = static_cast<long>((delay.count() % 1000) * 1000000);
    // The pipe's last write end closes when the grandchild has let go of
    // every descriptor it inherited: the caller waits for that, so a lock it
    // releases afterwards is free at once.
    int gone[2];
    if (pipe2(gone, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(gone[0]);
        close(gone[1]);
        return false;
    }
    if (child == 0) {
        // A grandchild does the work, so the caller has nothing to reap and
        // may end at once. It holds none of the caller's files, locks included.
        setsid();
        if (fork() != 0) {
            _exit(0);
        }
        close_range(0, ~0U, 0);
        while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
        unlink(path.c_str());
        _exit(0);
    }
    close(gone[1]);
    const bool started = waitForExit(child) == 0;
    char byte;
    while (read(gone[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(gone[0]);
    return started;
}

} // namespace platform
