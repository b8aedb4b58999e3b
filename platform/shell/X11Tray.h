#pragma once

// The shell's windows on the user's X display, for a process that shows its
// dialogs on one (X11Desktop.h): each notification icon is a small window
// docked in the tray host that owns _NET_SYSTEM_TRAY_S<screen> (now, or once
// one announces itself) whose tip shows while the mouse rests on it, its
// balloons are small windows near it, and a
// tracked popup menu is a window at the mouse. The shell's state stays as
// it is; these only show it. A press or release on an icon posts the icon's
// callback message to its window as the session tool's click does.
//
// One thread of the process owns the display connection for all of these;
// it starts with the first icon or menu and ends when the last one goes (or
// at the process's exit). Every call only queues work for it.

#include "platform/shell/Menu.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::shell::detail {

// True when this process shows the shell's windows on a display.
bool x11ShellVisible();

struct TrayIconView {
    std::string window; // the owning message window's class
    std::uint32_t id = 0;
    std::uint32_t callbackMessage = 0;
    std::uint32_t icon = 0;
    std::u16string tip;
};

// Adds the icon's window or brings it up to date.
void x11IconSet(const TrayIconView& icon);
// Shows a balloon by the icon, replacing the one before; empty text only
// takes that one away.
void x11IconBalloon(const std::string& window, std::uint32_t id, const std::u16string& title,
                    const std::u16string& text);
void x11IconRemove(const std::string& window, std::uint32_t id);

// Shows the menu of the token at a point (tracking flags as trackPopupMenu
// takes them) until x11MenuClose(token); a new menu replaces it.
void x11MenuOpen(const std::string& token, const std::vector<MenuItem>& items,
                 platform::ui::Point at, std::uint32_t flags);
void x11MenuClose(const std::string& token);

// Whether the thread still has the display open (a test ends its display
// only after).
bool x11ShellBusy();

// Ends the open menu of the token with a command (nullopt: without one), as
// the session tool's choice does; Menu.cpp has it.
void endMenuOf(const std::string& token, std::optional<std::uint32_t> id);

} // namespace platform::shell::detail
