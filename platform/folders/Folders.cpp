#include "platform/folders/Folders.h"

#include <cctype>
#include <cstdlib>
#include <pwd.h>
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
constexpr auto kShared = std::filesystem::perms::all | std::filesystem::perms::sticky_bit;

} // namespace

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
            return ensured(root / "run", kPrivate);
        case Folder::GlobalRun:
            return ensured(root / "run" / "Global", kPrivate);
        case Folder::UserRegistry:
            return root / "Registry" / "User";
        case Folder::MachineRegistry:
            return root / "Registry" / "Machine";
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
    case Folder::Run: {
        const std::string runtime = envOr("XDG_RUNTIME_DIR", "");
        if (!runtime.empty()) {
            return ensured(std::filesystem::path(runtime) / "corvantix", kPrivate);
        }
        return ensured("/tmp/corvantix-" + std::to_string(geteuid()), kPrivate);
    }
    case Folder::GlobalRun:
        return ensured("/tmp/corvantix-global", kShared);
    case Folder::UserRegistry:
        return std::filesystem::path(envOr("XDG_CONFIG_HOME", (home / ".config").string())) /
               "corvantix" / "registry";
    case Folder::MachineRegistry:
        // Like the common application data: machine-wide when writable, else
        // the user's own copy.
        return folderPath(Folder::CommonAppData) / "corvantix-registry";
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
