#include "common/ToolSystem.h"

#include "common/Tool.h"
#include "common/ToolLog.h"

#include "platform/folders/Folders.h"
#include "platform/osversion/OsVersion.h"
#include "platform/process/Process.h"
#include "platform/process/ProcessList.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace {

std::filesystem::path copyPath;

constexpr std::size_t kUserNameMax = 511;
constexpr std::size_t kMutexNameMax = 511;

struct VersionBit {
    std::uint32_t bit;
    const char* name;
};

constexpr VersionBit kVersionBits[] = {
    {0x1, "WindowsXP"},           {0x2, "WindowsXPx64"},         {0x4, "WindowsServer2003"},
    {0x8, "WindowsHomeServer"},   {0x10, "WindowsServer2003R2"}, {0x20, "WindowsVista"},
    {0x40, "WindowsServer2008"},  {0x80, "WindowsServer2008R2"}, {0x100, "Windows7"},
    {0x200, "WindowsServer2012"}, {0x400, "Windows8"},           {0x800, "WindowsServer2012R2"},
    {0x1000, "Windows8.1"},       {0x2000, "WindowsServer2016"}, {0x4000, "Windows10"},
    {0x8000, "Windows11"},
};

constexpr std::uint32_t kCpu32 = 0x100000;
constexpr std::uint32_t kCpu64 = 0x200000;

// One row of /proc/net/tcp*: "sl local remote st ...", addresses as hex.
struct SocketRow {
    std::string local;
    std::string remote;
    std::string state;
};

std::vector<SocketRow> readSocketTable(const char* path) {
    std::vector<SocketRow> rows;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line); // header
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot;
        SocketRow row;
        if (fields >> slot >> row.local >> row.remote >> row.state) {
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::string hex4(int port) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(4, '0');
    for (int i = 3; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kHex[port & 0xF];
        port >>= 4;
    }
    return out;
}

} // namespace

// ---- Folders and files ---------------------------------------------------

std::optional<std::filesystem::path> getExecutePath() {
    return platform::executableFolder();
}

std::optional<std::filesystem::path> getWindowsPath() {
    return platform::folderPath(platform::Folder::Windows);
}

std::filesystem::path getUserTempPath() {
    auto path = platform::folderPath(platform::Folder::UserTemp);
    if (path.empty()) {
        std::printf("[ERROR] %s extract user temp folder fail at line %d in %s\n",
                    "getUserTempPath", __LINE__, __FILE_NAME__);
        return {};
    }
    return path / "";
}

std::filesystem::path getCopyPath(std::optional<std::string_view> name) {
    auto folder = platform::folderPath(platform::Folder::CommonAppData);
    if (folder.empty()) {
        logError("Get copy path: ", "Fail");
        return {};
    }
    copyPath = name ? folder / std::string(*name) : folder;
    return copyPath;
}

const std::filesystem::path& lastCopyPath() {
    return copyPath;
}

std::optional<std::string> getUserName() {
    std::string name;
    if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr) {
        name = pw->pw_name;
    } else if (const char* user = std::getenv("USER"); user != nullptr) {
        name = user;
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return name.substr(0, kUserNameMax);
}

bool isFileExist(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::string> readFileText(const std::optional<std::filesystem::path>& path) {
    if (!path) {
        logWarning("inputPath is null");
        return std::nullopt;
    }
    std::ifstream file(*path, std::ios::binary);
    if (!file) {
        logWarning("Read file pointer is null");
        return std::nullopt;
    }
    std::ostringstream raw;
    raw << file.rdbuf();
    std::string text = replaceString(raw.str(), "\r\n", "\n");
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

bool writeTextFile(const std::optional<std::filesystem::path>& path,
                   std::optional<std::string_view> text) {
    if (!path || path->empty() || !text) {
        return false;
    }
    // Never through a link put in the file's place, nor over another's file.
    const int fd = platform::openOwnFile(*path, platform::OwnFile::Replace, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = platform::writeAll(fd, text->substr(0, text->find('\0'))); // a C text
    return ::close(fd) == 0 && written;
}

// ---- Programs, mutexes, ports, OS ----------------------------------------

int runCommandWait(std::optional<std::string_view> commandLine) {
    if (!commandLine) {
        return 1;
    }
    const auto words = platform::splitCommandLine(*commandLine);
    if (const auto exitCode = platform::runNativeCommand(words)) {
        return *exitCode;
    }
    const auto pid = platform::startHidden(words);
    if (!pid) {
        logError("runCommandWait start fail: ", *commandLine);
        return kCommandNotStarted;
    }
    return platform::waitForExit(*pid);
}

void hideNOWaitCommand(std::optional<std::string_view> commandLine) {
    if (!commandLine) {
        CORVANTIX_NULL_PARAMETER("inputCommand");
        return;
    }
    startHiddenCommand(*commandLine);
}

int startHiddenCommand(std::string_view commandLine, const std::vector<std::string>& environment) {
    logNormal("hideNOWaitCommand: ", commandLine);
    const auto words = platform::splitCommandLine(commandLine);
    if (platform::runNativeCommand(words)) {
        return 0;
    }
    int error = 0;
    const auto pid = platform::startHidden(words, environment, error);
    if (!pid) {
        logError("hideNOWaitCommand start fail: ", commandLine);
        return error;
    }
    platform::detach(*pid);
    return 0;
}

std::unique_ptr<platform::NamedMutex> getMutexLock(std::optional<std::string_view> name,
                                                   std::uint32_t timeoutMs) {
    if (!name) {
        CORVANTIX_NULL_PARAMETER("inputMutexLock");
        return nullptr;
    }
    const auto user = getUserName();
    if (!user) {
        CORVANTIX_ALLOCATION_FAILURE();
        return nullptr;
    }
    const std::string full = (*user + "_" + std::string(*name)).substr(0, kMutexNameMax);
    auto mutex = platform::NamedMutex::open(full);
    if (!mutex) {
        CORVANTIX_ALLOCATION_FAILURE();
        return nullptr;
    }
    if (!mutex->lock(timeoutMs)) {
        return nullptr;
    }
    return mutex;
}

void releaseMutexLock(std::unique_ptr<platform::NamedMutex> mutex) {
    if (mutex) {
        mutex->unlock();
    }
}

bool detectPort(int port, bool ipv6) {
    // The kernel's socket tables stand for the netstat listing: the loopback
    // address and port, local or foreign, in LISTEN (0A) or ESTABLISHED (01).
    const std::string address =
        (ipv6 ? std::string("00000000000000000000000001000000") : std::string("0100007F")) + ":" +
        hex4(port);
    for (const auto& row : readSocketTable(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp")) {
        if ((row.state == "0A" || row.state == "01") &&
            (row.local == address || row.remote == address)) {
            return true;
        }
    }
    return false;
}

std::optional<KernelVersion> getKernelVersion() {
    const auto record = platform::osVersionRecord();
    if (!record.readable) {
        return std::nullopt;
    }
    return KernelVersion{record.major, record.minor, record.build};
}

std::uint32_t getOsFlags() {
    const auto record = platform::osVersionRecord();
    if (!record.readable) {
        return 0;
    }
    KernelVersion v{record.major, record.minor, record.build};
    if (const auto kernel = getKernelVersion()) {
        v = *kernel;
    }
    const bool workstation = record.productType == platform::ProductType::Workstation;
    const bool wide = record.architecture == platform::Architecture::X64 ||
                      record.architecture == platform::Architecture::Itanium;
    std::uint32_t flags = 0;
    if (v.major == 5) {
        if (v.minor == 1) {
            flags = 0x1;
        } else if (v.minor == 2) {
            if (workstation && wide) {
                return 0x2 | kCpu64;
            }
            if (record.serverR2Metric == 0) {
                flags = 0x4;
            } else {
                flags = (record.suiteMask & 0x8000) != 0 ? 0x8 : 0x10;
            }
        } else {
            return 0;
        }
    } else if (v.major == 6) {
        switch (v.minor) {
        case 0:
            flags = workstation ? 0x20 : 0x40;
            break;
        case 1:
            flags = workstation ? 0x100 : 0x80;
            break;
        case 2:
            flags = workstation ? 0x400 : 0x200;
            break;
        case 3:
            flags = workstation ? 0x1000 : 0x800;
            break;
        default:
            return 0;
        }
    } else if (v.major == 10) {
        if (v.minor != 0) {
            return 0;
        }
        flags = !workstation ? 0x2000 : (v.build < 22000 ? 0x4000 : 0x8000);
    }
    return flags | (wide ? kCpu64 : kCpu32);
}

std::string getOsName(std::uint32_t flags) {
    for (const auto& row : kVersionBits) {
        if ((flags & row.bit) != 0) {
            return row.name;
        }
    }
    return "UnknowOS";
}
