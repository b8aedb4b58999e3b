#pragma once

// The user's X display, for a process that shows its dialogs on one (the
// dialog layer's default choice: DISPLAY named and not overruled by
// CORVANTIX_UI_BACKEND). There the keys held down and the screen are the
// real ones; the state the session tool sets still counts beside them.

#include "platform/shell/Screen.h"

#include <cstdint>
#include <optional>

namespace platform::shell::detail {

// Whether the key is down on the display; false without a display.
bool x11KeyDown(std::uint32_t virtualKey);

// The whole screen of the display; nullopt without a display.
std::optional<Image> x11CaptureScreen();
std::optional<ScreenSize> x11ScreenSize();

} // namespace platform::shell::detail
