#pragma once

// Popup menus. A program builds a menu as a value and tracks it: the menu
// becomes the open menu of the user's desktop (one at a time; a new one
// closes the one before) and its model can be read by the session tool,
// which chooses one of its commands or closes it (ShellDriver.h). Tracking
// returns once the menu has closed; while it waits, the loop of the owner
// window goes on dispatching (nested) when it runs on the calling thread.

#include "platform/ui/Messages.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::shell {

// Item flags.
inline constexpr std::uint32_t kMfString = 0x0;
inline constexpr std::uint32_t kMfGrayed = 0x1;
inline constexpr std::uint32_t kMfDisabled = 0x2;
inline constexpr std::uint32_t kMfChecked = 0x8;
inline constexpr std::uint32_t kMfPopup = 0x10;
inline constexpr std::uint32_t kMfSeparator = 0x800;

// Tracking flags.
inline constexpr std::uint32_t kTpmLeftAlign = 0x0;
inline constexpr std::uint32_t kTpmRightAlign = 0x8;
inline constexpr std::uint32_t kTpmBottomAlign = 0x20;
inline constexpr std::uint32_t kTpmReturnCmd = 0x100;

struct MenuItem {
    std::uint32_t flags = 0;
    std::uint32_t id = 0;
    std::u16string text;
    std::vector<MenuItem> items; // a sub-menu's own
};

class Menu {
public:
    // A command, or with kMfSeparator a separator.
    void append(std::uint32_t flags, std::uint32_t id, std::u16string_view text = {});
    void appendPopup(std::uint32_t flags, Menu popup, std::u16string_view text);
    const std::vector<MenuItem>& items() const { return items_; }

private:
    std::vector<MenuItem> items_;
};

// Tracks the menu at a point of the screen for the owner window (a message
// window's class). A chosen command is posted to the owner as kWmCommand
// (the id in the low word of the word parameter) and the answer is nonzero;
// with kTpmReturnCmd the chosen id is the answer instead (0: none). 0 when
// the menu is empty, the owner has no window or the shell is down.
std::uint32_t trackPopupMenu(const Menu& menu, std::uint32_t flags, platform::ui::Point at,
                             std::string_view owner);

// Where the mouse is: where a click of the session tool put it last, the
// screen's centre before any.
platform::ui::Point cursorPos();
void setCursorPos(platform::ui::Point point);

} // namespace platform::shell
