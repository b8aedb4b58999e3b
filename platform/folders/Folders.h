#pragma once

// Well-known folders of the original platform, mapped onto Linux folders.
// Setting CORVANTIX_ROOT moves every one of them below that folder, so a test
// or a demo run never touches the real machine.

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

enum class Folder {
    CommonAppData,   // machine-wide application data
    Windows,         // the system folder where admin-placed INI files live
    System,          // the system library folder
    UserTemp,        // the user's temporary folder
    Desktop,         // the user's desktop
    HomeDrive,       // the drive that holds the user's home ("C:")
    Home,            // the user's home folder
    Run,             // per-user folder for lock files and sockets
    GlobalRun,       // machine-wide folder for "Global\" objects
    UserRegistry,    // the current user's registry hive
    MachineRegistry, // the machine-wide registry hives (classes, local machine)
};

// The Linux folder for a well-known folder. Run, GlobalRun and UserTemp are
// created when missing; the others are only named.
std::filesystem::path folderPath(Folder folder);

// The folder that stands for a drive letter ("C" -> the root's C folder).
std::filesystem::path driveFolder(char letter);

// Turns a path written the Windows way ("C:\Logs\a.txt", "Logs\a.txt") into a
// Linux path: a drive letter maps to driveFolder(), backslashes become slashes.
// A path that is already a Linux path is returned as it is.
std::filesystem::path nativePath(std::string_view path);

// The sandbox root, empty when CORVANTIX_ROOT is not set.
std::filesystem::path sandboxRoot();

} // namespace platform
