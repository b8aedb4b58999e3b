#pragma once

// The routines that touch the operating system: folders and files, programs,
// named mutexes, the port probe and the OS flags.

#include "platform/mutex/NamedMutex.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- Folders and files ---------------------------------------------------

std::optional<std::filesystem::path> getExecutePath();
std::optional<std::filesystem::path> getWindowsPath();
// Ends with a separator; empty when it cannot be had.
std::filesystem::path getUserTempPath();
// The common application-data folder with the name below it; the name absent
// gives the folder itself. The last result is kept (lastCopyPath()).
std::filesystem::path getCopyPath(std::optional<std::string_view> name);
const std::filesystem::path& lastCopyPath();
std::optional<std::string> getUserName();
// True for an ordinary file; false for a folder or a missing path.
bool isFileExist(const std::filesystem::path& path);
// The whole file with CR LF as LF; nullopt when missing or empty.
std::optional<std::string> readFileText(const std::optional<std::filesystem::path>& path);
// Writes the text as the whole file (created or truncated); false without a
// path, with an empty one, without a text, or when the file cannot be opened.
// Only the user's own file in a folder of the user's is written, never
// through a link (platform::openOwnFile).
bool writeTextFile(const std::optional<std::filesystem::path>& path,
                   std::optional<std::string_view> text);

// ---- Programs, mutexes, ports, OS ----------------------------------------

inline constexpr int kCommandNotStarted = -1;
// Runs a command line hidden and waits; its exit code, 1 for no command,
// kCommandNotStarted when it cannot start. The shell commands that
// platform::runNativeCommand knows ("taskkill") are done natively.
int runCommandWait(std::optional<std::string_view> commandLine);
void hideNOWaitCommand(std::optional<std::string_view> commandLine);
// hideNOWaitCommand with the variables given ("NAME=value") set for the
// program on top of this process's environment; 0 when it started, else the
// errno value why not.
int startHiddenCommand(std::string_view commandLine,
                       const std::vector<std::string>& environment = {});
// The per-user mutex "<user>_<name>" held by the caller, or nullptr when it
// could not be taken within the time-out.
std::unique_ptr<platform::NamedMutex> getMutexLock(std::optional<std::string_view> name,
                                                   std::uint32_t timeoutMs);
// Releases a mutex that getMutexLock gave and closes it; none does nothing.
void releaseMutexLock(std::unique_ptr<platform::NamedMutex> mutex);
// True when the loopback port is listening or connected on 127.0.0.1 (or [::1]).
bool detectPort(int port, bool ipv6);

struct KernelVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
};
std::optional<KernelVersion> getKernelVersion();
std::uint32_t getOsFlags();
std::string getOsName(std::uint32_t flags);
