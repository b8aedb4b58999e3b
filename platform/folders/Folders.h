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
    TrustStore,      // where the system's certificate trust store lies: the
                     // anchors in usr/local/share/ca-certificates, the store
                     // in etc/ssl/certs ("/" outside a sandbox)
};

// The Linux folder for a well-known folder. Run, GlobalRun and UserTemp are
// created when missing; the others are only named.
//
// Run and GlobalRun are checked on every call, never through a link in their
// place. Run must be a folder of the effective user that no other user can
// write; one that others may only read or enter is set back to 0700. GlobalRun
// is shared by every account: a folder with the sticky bit (made 01777); this
// user's own one that nobody else can write is given 01777. Any other is
// refused and named by a path below /dev/null, so that every lock, socket or
// file a caller puts there fails.
std::filesystem::path folderPath(Folder folder);

// An open run folder (Run or GlobalRun) that passed the checks of
// folderPath(), for opening files in it with openat(): a link put in the
// folder's place afterwards is never followed. Closed when it goes.
class RunFolder {
public:
    static RunFolder open(Folder folder);

    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    ~RunFolder();

    // False when the folder was refused or could not be made.
    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    explicit RunFolder(int fd) : fd_(fd) {}
    int fd_;
};

// The folder that stands for a drive letter ("C" -> the root's C folder).
std::filesystem::path driveFolder(char letter);

// Turns a path written the Windows way ("C:\Logs\a.txt", "Logs\a.txt") into a
// Linux path: a drive letter maps to driveFolder(), backslashes become slashes.
// A path that is already a Linux path is returned as it is.
std::filesystem::path nativePath(std::string_view path);

// The sandbox root, empty when CORVANTIX_ROOT is not set.
std::filesystem::path sandboxRoot();

} // namespace platform
