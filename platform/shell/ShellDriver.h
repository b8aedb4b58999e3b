#pragma once

// What only the desktop-session tool does to the shell: plays the shell's
// own life and the user's hands. Programs never call these; tests reach
// them through the tool (tools/CorvantixSession).

#include "platform/shell/Screen.h"
#include "platform/ui/JsonLine.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::shell {

struct DriverResult {
    bool ok = false;
    std::string why; // when not ok
    explicit operator bool() const { return ok; }
};

// The shell goes away: its icons with it, and every icon call fails.
void markShellDown();
// The shell starts (again): running, no icons, and "TaskbarCreated" posted
// to every window registered for it; the number of windows reached.
int restartShell();

// The user's clicks on an icon, as its window receives them through the
// callback message: right: button down, button up; double: down, up,
// double click, up. The cursor is put on the icon first. An icon whose
// process has ended is dropped instead.
enum class IconClick { Right, Double };
DriverResult clickNotifyIcon(std::string_view window, std::uint32_t id, IconClick click);

// The popup menu open now (Menu.h's model), or nullopt.
std::optional<platform::ui::JsonValue> openMenu();
// Chooses a command of the open menu; refused for an id the open menu does
// not hold as an enabled command. The menu closes and its owner's window
// gets the command.
DriverResult chooseMenuItem(std::uint32_t id);
// Closes the open menu without a choice.
DriverResult dismissMenu();

// Keys as the keyboard holds them, for every process of the user.
bool setKeyDown(std::uint32_t virtualKey, bool down);
// Presses a key and keeps it down until a reader of the key state has seen
// it down, or the limit passes; then releases it and, when it was seen,
// returns once a reader has seen it up (or the limit passes again). True
// when it was seen down.
bool pressKey(std::uint32_t virtualKey, std::chrono::milliseconds limit);

// The image the screen shows from now on.
bool setScreenImage(const Image& image);

} // namespace platform::shell
