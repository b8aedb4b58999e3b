#include "platform/folders/Folders.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {
namespace {

std::string envOr(const char* name, std::string fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/tmp";
}

std::filesystem::path ensured(std::filesystem::path path, std::filesystem::perms perms) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        std::filesystem::create_directories(path, ec);
        if (!ec) {
            std::filesystem::permissions(path, perms, ec);
        }
    }
    return path;
}

constexpr auto kPrivate = std::filesystem::perms::owner_all;

constexpr mode_t kRunMode = 0700;
constexpr mode_t kGlobalRunMode = 01777;

// Names a refused run folder: nothing can be made below a device file.
const std::filesystem::path kRefusedFolder = "/dev/null/corvantix-refused";

// The mode a run folder as found is used with; nullopt when it is refused.
// Only this user's own folder that nobody else could have written in is
// repaired: one that others could write may already hold their files.
std::optional<mode_t> acceptedMode(const struct stat& st, bool shared) {
    if (!S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    const mode_t mode = st.st_mode & 07777;
    const bool mine = st.st_uid == geteuid();
    const bool othersWrite = (mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!shared) {
        return mine && !othersWrite ? std::optional(kRunMode) : std::nullopt;
    }
    if (mine && ((mode & S_ISVTX) != 0 || !othersWrite)) {
        return kGlobalRunMode;
    }
    // Another account's shared folder is used as it is, if it is sticky.
    return (mode & S_ISVTX) != 0 ? std::optional(mode) : std::nullopt;
}

// Opens a run folder, making it when missing, never through a link; -1 when
// it is refused. `parent` is the folder a relative name starts from (AT_FDCWD
// for the working folder).
int openChecked(int parent, const std::filesystem::path& name, bool shared) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        if (parent == AT_FDCWD) {
            std::error_code ec;
            std::filesystem::create_directories(name.parent_path(), ec);
        }
        // Closed to others until it has passed the checks and got its mode.
        if (::mkdirat(parent, name.c_str(), 0700) == 0 || errno == EEXIST) {
            fd = ::openat(parent, name.c_str(), kFlags);
        }
    }
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    const auto mode = fstat(fd, &st) == 0 ? acceptedMode(st, shared) : std::nullopt;
    if (!mode || ((st.st_mode & 07777) != *mode && fchmod(fd, *mode) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- Private folders found foreign ----------------------------------------

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::mutex fallbackLock;
// Per refused folder, the private one this process uses instead. Plain
// arrays, never destroyed: a thread still running at exit may ask for a
// folder after static destructors ran, and each adapter copy keeps its own
// without a block that outlives it.
struct FallbackEntry {
    char refused[PATH_MAX];
    char used[PATH_MAX];
};
FallbackEntry fallbackTable[8];

FallbackEntry* fallbackEntry(const std::string& refused, bool add) {
    FallbackEntry* empty = nullptr;
    for (FallbackEntry& entry : fallbackTable) {
        if (entry.refused[0] == '\0') {
            empty = empty ? empty : &entry;
        } else if (refused == entry.refused) {
            return &entry;
        }
    }
    if (!add || empty == nullptr || refused.size() >= sizeof empty->refused) {
        return nullptr;
    }
    refused.copy(empty->refused, refused.size());
    empty->refused[refused.size()] = '\0';
    empty->used[0] = '\0';
    return empty;
}

std::filesystem::path knownFallback(const std::filesystem::path& refused) {
    const FallbackEntry* entry = fallbackEntry(refused.string(), false);
    return entry ? std::filesystem::path(entry->used) : std::filesystem::path();
}

void keepFallback(const std::filesystem::path& refused, const std::filesystem::path& used) {
    const std::string text = used.string();
    FallbackEntry* entry = fallbackEntry(refused.string(), !text.empty());
    if (entry == nullptr) {
        return;
    }
    if (text.size() >= sizeof entry->used) {
        entry->used[0] = '\0';
        return;
    }
    text.copy(entry->used, text.size());
    entry->used[text.size()] = '\0';
}

std::mutex noticeLock;
std::vector<std::string> notices;
std::atomic<bool> noticesPending{false};

// A fallback of this user's as mkdtemp made it: the user's own, 0700.
bool isOwnFallback(int parent, const char* name) {
    const int fd = ::openat(parent, name, kFolderFlags);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool own =
        fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) == kRunMode;
    ::close(fd);
    return own;
}

// The first fallback of the user's for `prefix` in the folder, by name.
std::string firstFallback(int parent, const std::string& prefix) {
    const int scan = ::dup(parent);
    DIR* dir = scan >= 0 ? fdopendir(scan) : nullptr;
    if (dir == nullptr) {
        if (scan >= 0) {
            ::close(scan);
        }
        return {};
    }
    // The copy shares its offset with the folder's descriptor: from the top.
    rewinddir(dir);
    std::string best;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        // mkdtemp's six characters after the prefix.
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix) &&
            (best.empty() || name < best) && isOwnFallback(parent, entry->d_name)) {
            best = name;
        }
    }
    closedir(dir);
    return best;
}

// A private folder beside a refused one: the first the user made there
// before, or a new one (mkdtemp, so nobody can have made it first). Every
// process of the user picks the first by name, so they meet in one folder;
// one made at the same time as another's is given up for the first.
std::filesystem::path makeFallback(const std::filesystem::path& refused) {
    const auto parentPath = refused.has_parent_path() ? refused.parent_path() : ".";
    const int parent = ::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        return {};
    }
    const std::string prefix = refused.filename().string() + ".";
    std::string chosen = firstFallback(parent, prefix);
    if (chosen.empty()) {
        std::string pattern = (parentPath / (prefix + "XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            const std::string made = std::filesystem::path(pattern).filename().string();
            chosen = firstFallback(parent, prefix);
            if (!chosen.empty() && chosen != made) {
                ::unlinkat(parent, made.c_str(), AT_REMOVEDIR);
            }
        }
    }
    ::close(parent);
    return chosen.empty() ? std::filesystem::path() : parentPath / chosen;
}

void addNotice(std::string text) {
    std::lock_guard guard(noticeLock);
    notices.push_back(std::move(text));
    noticesPending = true;
}

// Opens a folder that must be the user's own and closed to others (made when
// missing); one found foreign is left as it is and the private fallback
// beside it is opened instead. The folder opened goes to `used`; -1 when
// neither can be had.
int openPrivate(const std::filesystem::path& name, std::filesystem::path& used) {
    std::lock_guard guard(fallbackLock);
    if (const auto known = knownFallback(name); !known.empty()) {
        // Kept once taken, so this process's sockets and locks stay where
        // its peers found them; never made again under the same name.
        int fd = ::open(known.c_str(), kFolderFlags);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
            (st.st_mode & 07777) == kRunMode) {
            used = known;
            return fd;
        }
        if (fd >= 0) {
            ::close(fd);
        }
        keepFallback(name, {});
    }
    int fd = openChecked(AT_FDCWD, name, false);
    if (fd >= 0) {
        used = name;
        return fd;
    }
    const auto made = makeFallback(name);
    if (made.empty()) {
        return -1;
    }
    fd = openChecked(AT_FDCWD, made, false);
    if (fd < 0) {
        return -1;
    }
    keepFallback(name, made);
    addNotice(name.string() + " -> " + made.string());
    used = made;
    return fd;
}

// ---- Run folders ------------------------------------------------------------

// Where a run folder belongs.
std::filesystem::path runFolderName(Folder folder) {
    const auto root = sandboxRoot();
    if (!root.empty()) {
        return folder == Folder::Run ? root / "run" : root / "run" / "Global";
    }
    if (folder == Folder::GlobalRun) {
        return "/tmp/corvantix-global";
    }
    const std::string runtime = envOr("XDG_RUNTIME_DIR", "");
    if (!runtime.empty()) {
        return std::filesystem::path(runtime) / "corvantix";
    }
    return "/tmp/corvantix-" + std::to_string(geteuid());
}

// The folder opened goes to `used`.
int openRunFolder(Folder folder, std::filesystem::path& used) {
    if (folder == Folder::Run) {
        return openPrivate(runFolderName(folder), used);
    }
    if (!sandboxRoot().empty()) {
        // In a sandbox the machine-wide folder lies in the run folder.
        std::filesystem::path run;
        const int runFd = openRunFolder(Folder::Run, run);
        if (runFd < 0) {
            return -1;
        }
        const auto name = runFolderName(folder).filename();
        const int global = openChecked(runFd, name, true);
        ::close(runFd);
        used = run / name;
        return global;
    }
    // A machine-wide folder cannot be exchanged for a private one.
    used = runFolderName(folder);
    return openChecked(AT_FDCWD, used, true);
}

// The user's temporary folder: never a shared folder itself.
std::filesystem::path userTempName() {
    const auto root = sandboxRoot();
    if (!root.empty()) {
        return root / "Temp";
    }
    const std::string runtime = envOr("XDG_RUNTIME_DIR", "");
    if (!runtime.empty()) {
        return std::filesystem::path(runtime) / "corvantix-temp";
    }
    return homeFolder() / ".cache" / "corvantix-temp";
}

// A TMPDIR that names a folder of its own, not the shared /tmp.
std::optional<std::filesystem::path> namedTemp() {
    const std::string named = envOr("TMPDIR", "");
    if (named.empty() || !sandboxRoot().empty()) {
        return std::nullopt;
    }
    auto path = std::filesystem::path(named).lexically_normal();
    if (!path.has_filename()) {
        path = path.parent_path();
    }
    if (path == "/tmp") {
        return std::nullopt;
    }
    return path;
}

} // namespace

RunFolder RunFolder::open(Folder folder) {
    std::filesystem::path used;
    return RunFolder(
        folder == Folder::Run || folder == Folder::GlobalRun ? openRunFolder(folder, used) : -1);
}

RunFolder::~RunFolder() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::filesystem::path sandboxRoot() {
    return envOr("CORVANTIX_ROOT", "");
}

std::filesystem::path driveFolder(char letter) {
    const auto root = sandboxRoot();
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (!root.empty()) {
        // A drive always exists.
        return ensured(root / std::string(1, upper), kPrivate);
    }
    // Outside a sandbox the system drive is the file system root.
    return "/";
}

std::filesystem::path folderPath(Folder folder) {
    if (folder == Folder::Run || folder == Folder::GlobalRun) {
        std::filesystem::path used;
        const int fd = openRunFolder(folder, used);
        if (fd < 0) {
            return kRefusedFolder;
        }
        ::close(fd);
        return used;
    }
    if (folder == Folder::UserTemp) {
        if (const auto named = namedTemp()) {
            // The user's own choice, taken as it is.
            return ensured(*named, kPrivate);
        }
        std::filesystem::path used;
        const int fd = openPrivate(userTempName(), used);
        if (fd < 0) {
            return kRefusedFolder;
        }
        ::close(fd);
        return used;
    }
    const auto root = sandboxRoot();
    if (!root.empty()) {
        switch (folder) {
        case Folder::CommonAppData:
            return root / "ProgramData";
        case Folder::Windows:
            return root / "Windows";
        case Folder::System:
            return root / "Windows" / "System32";
        case Folder::UserTemp:
            break; // above
        case Folder::Desktop:
            return root / "Desktop";
        case Folder::HomeDrive:
            return driveFolder('C');
        case Folder::Home:
            return root / "Home";
        case Folder::Run:
        case Folder::GlobalRun:
            break; // above
        case Folder::UserRegistry:
            return root / "Registry" / "User";
        case Folder::MachineRegistry:
            return root / "Registry" / "Machine";
        case Folder::TrustStore:
            return root / "TrustStore";
        }
    }
    const auto home = homeFolder();
    switch (folder) {
    case Folder::CommonAppData:
        if (access("/var/lib", W_OK) == 0) {
            return "/var/lib";
        }
        return std::filesystem::path(envOr("XDG_DATA_HOME", (home / ".local" / "share").string()));
    case Folder::Windows:
        return "/etc";
    case Folder::System:
        return "/usr/lib";
    case Folder::UserTemp:
        break; // above
    case Folder::Desktop:
        return home / "Desktop";
    case Folder::HomeDrive:
        return driveFolder('C');
    case Folder::Home:
        return home;
    case Folder::Run:
    case Folder::GlobalRun:
        break; // above
    case Folder::UserRegistry:
        return std::filesystem::path(envOr("XDG_CONFIG_HOME", (home / ".config").string())) /
               "corvantix" / "registry";
    case Folder::MachineRegistry:
        // Like the common application data: machine-wide when writable, else
        // the user's own copy.
        return folderPath(Folder::CommonAppData) / "corvantix-registry";
    case Folder::TrustStore:
        return "/";
    }
    return {};
}

std::filesystem::path nativePath(std::string_view path) {
    std::string text(path);
    std::filesystem::path prefix;
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
        prefix = driveFolder(text[0]);
        text.erase(0, 2);
        while (!text.empty() && (text.front() == '\\' || text.front() == '/')) {
            text.erase(0, 1);
        }
    }
    for (char& c : text) {
        if (c == '\\') {
            c = '/';
        }
    }
    return prefix.empty() ? std::filesystem::path(text) : prefix / text;
}

std::vector<std::string> takeFolderNotices() {
    if (!noticesPending) {
        return {};
    }
    std::lock_guard guard(noticeLock);
    noticesPending = false;
    return std::exchange(notices, {});
}

int openOwnFile(const std::filesystem::path& path, OwnFile how, mode_t mode) {
    const auto folderPath = path.has_parent_path() ? path.parent_path() : ".";
    const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return -1;
    }
    struct stat st {};
    int fd = -1;
    if (fstat(folder, &st) == 0 && st.st_uid == geteuid() && path.has_filename()) {
        // Not blocking: a pipe put in the file's place fails at once.
        const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                          (how == OwnFile::Append ? O_APPEND : 0);
        fd = ::openat(folder, path.filename().c_str(), flags, mode);
    }
    ::close(folder);
    if (fd < 0) {
        return -1;
    }
    // Only a file of the user's with no other name: never one of another
    // account's, nor a second name of a file of the user's elsewhere.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
        ((st.st_mode & 07777 & ~mode) != 0 && fchmod(fd, st.st_mode & 07777 & mode) != 0) ||
        (how == OwnFile::Replace && ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status >= 0) {
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool makeOwnFolder(const std::filesystem::path& path) {
    std::error_code ec;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ec);
    }
    if (::mkdir(path.c_str(), kRunMode) != 0 && errno != EEXIST) {
        return false;
    }
    const int fd = ::open(path.c_str(), kFolderFlags);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool own = fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
                     ((st.st_mode & 07777) == kRunMode || fchmod(fd, kRunMode) == 0);
    ::close(fd);
    return own;
}

} // namespace platform
