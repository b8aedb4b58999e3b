#pragma once

// Well-known folders of the original platform, mapped onto Linux folders.
// Setting CORVANTIX_ROOT moves every one of them below that folder, so a test
// or a demo run never touches the real machine.

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

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
// Run, GlobalRun and UserTemp are checked on every call, never through a link
// in their place. Run and UserTemp must be folders of the effective user that
// no other user can write; one that others may only read or enter is set back
// to 0700. One found foreign (another's, open to others' writes, a link or no
// folder) is left as it is, and a private folder beside it is used instead:
// "<name>.XXXXXX" made by mkdtemp, the first of the user's such folders by
// name, so all the user's processes meet in it (takeFolderNotices() tells).
// UserTemp is root/Temp in a sandbox, else $TMPDIR when it names a folder
// other than /tmp, else corvantix-temp below $XDG_RUNTIME_DIR, else
// .cache/corvantix-temp below the home; never a shared folder itself.
// GlobalRun is shared by every account: a folder with the sticky bit (made
// 01777); this user's own one that nobody else can write is given 01777; in
// a sandbox it lies in Run. A folder that cannot be had is named by a path
// below /dev/null, so that every lock, socket or file a caller puts there
// fails.
std::filesystem::path folderPath(Folder folder);

// The folders refused since the last call, as "<refused> -> <used instead>",
// for the log.
std::vector<std::string> takeFolderNotices();

enum class OwnFile { Append, Replace };
// Opens a file of the user's for writing (appending, or emptied first),
// created with the mode when missing: only in a folder the effective user
// owns, never through a link in the file's place (O_NOFOLLOW), and only when
// what was opened is a regular file of the user's with no second name. An
// existing file loses mode bits beyond the mode. The descriptor, or -1.
int openOwnFile(const std::filesystem::path& path, OwnFile how, mode_t mode = 0600);
// Writes all of the text to the descriptor (again after a short write); false
// when the system refuses some of it.
bool writeAll(int fd, std::string_view text);

// Makes a folder of the user's own, 0700 (an existing one of the user's is
// set so), with its missing parents; false when it is another's, a link or no
// folder.
bool makeOwnFolder(const std::filesystem::path& path);

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
