#include "platform/folders/Folders.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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

// Where a run folder lies.
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

int openRunFolder(Folder folder) {
    if (folder == Folder::GlobalRun && !sandboxRoot().empty()) {
        // In a sandbox the machine-wide folder lies in the run folder.
        const int run = openRunFolder(Folder::Run);
        if (run < 0) {
            return -1;
        }
        const int global = openChecked(run, runFolderName(folder).filename(), true);
        ::close(run);
        return global;
    }
    return openChecked(AT_FDCWD, runFolderName(folder), folder == Folder::GlobalRun);
}

} // namespace

RunFolder RunFolder::open(Folder folder) {
    return RunFolder(folder == Folder::Run || folder == Folder::GlobalRun ? openRunFolder(folder)
                                                                          : -1);
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
        const RunFolder checked = RunFolder::open(folder);
        return checked ? runFolderName(folder) : kRefusedFolder;
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
            return ensured(root / "Temp", kPrivate);
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
        return ensured(envOr("TMPDIR", "/tmp"), kPrivate);
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

} // namespace platform
