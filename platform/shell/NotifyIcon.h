#pragma once

// The notification area of the user's desktop shell. Icons live in the
// shell's state in the run folder (no shell process runs): each belongs to
// a message window, named by its class, and to the process that added it.
// A click on an icon posts the icon's callback message to its window with
// the icon id in the word parameter and the mouse message in the long one.
//
// While the shell is down (ShellDriver.h) every call here fails; a restart
// leaves the area empty and posts the registered message "TaskbarCreated"
// to every window registered for it, so that programs add their icons again.
//
// Every call is appended to the journal (Shell.h).

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::shell {

// Actions.
inline constexpr std::uint32_t kNimAdd = 0;
inline constexpr std::uint32_t kNimModify = 1;
inline constexpr std::uint32_t kNimDelete = 2;

// Which members of the data count.
inline constexpr std::uint32_t kNifMessage = 0x1;
inline constexpr std::uint32_t kNifIcon = 0x2;
inline constexpr std::uint32_t kNifTip = 0x4;
inline constexpr std::uint32_t kNifState = 0x8;
inline constexpr std::uint32_t kNifInfo = 0x10;

// Longest texts; longer ones are cut.
inline constexpr std::size_t kTipMax = 127;
inline constexpr std::size_t kInfoMax = 255;
inline constexpr std::size_t kInfoTitleMax = 63;

struct NotifyIconData {
    std::string window; // the class of the owning message window
    std::uint32_t id = 0;
    std::uint32_t flags = 0;
    std::uint32_t callbackMessage = 0;
    std::uint32_t icon = 0; // the image: an icon resource number
    std::u16string tip;
    std::uint32_t state = 0;
    std::uint32_t stateMask = 0;
    std::u16string info; // a balloon's text; empty removes the balloon
    std::u16string infoTitle;
};

// Adds, modifies or deletes the icon of (window, id). Adding fails while the
// shell is down, when no window of the class lives, or when a live icon of
// (window, id) exists (one left by an ended process is replaced); modifying
// and deleting fail for an icon that does not exist.
bool notifyIcon(std::uint32_t action, const NotifyIconData& data);

struct NotifyIconRecord {
    std::string window;
    std::uint32_t id = 0;
    pid_t owner = 0;
    std::uint32_t callbackMessage = 0;
    std::uint32_t icon = 0;
    std::u16string tip;
    std::uint32_t state = 0;
    std::u16string balloon; // the balloon shown last, if any
    std::u16string balloonTitle;
};

// The icons in the order added.
std::vector<NotifyIconRecord> notifyIcons();

// Drops the icons whose process has ended, as the shell does when the
// mouse passes over them; the number dropped.
int sweepNotifyIcons();

} // namespace platform::shell
