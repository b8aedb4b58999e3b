#pragma once

// Message boxes: small modal dialogs the layer makes itself from a text, a
// caption and a style. They run like any modal dialog (owner disabled, the
// modal ceiling, the scripted user answers them by their buttons) and answer
// the id of the button pressed. Closing the box answers kIdCancel when it
// has a Cancel (or only an OK) button; otherwise closing is ignored.

#include "platform/ui/Messages.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace platform::ui {

// Buttons (low four bits).
inline constexpr std::uint32_t kMbOk = 0x0;
inline constexpr std::uint32_t kMbOkCancel = 0x1;
inline constexpr std::uint32_t kMbAbortRetryIgnore = 0x2;
inline constexpr std::uint32_t kMbYesNoCancel = 0x3;
inline constexpr std::uint32_t kMbYesNo = 0x4;
inline constexpr std::uint32_t kMbRetryCancel = 0x5;
// Icons.
inline constexpr std::uint32_t kMbIconError = 0x10;
inline constexpr std::uint32_t kMbIconQuestion = 0x20;
inline constexpr std::uint32_t kMbIconExclamation = 0x30;
inline constexpr std::uint32_t kMbIconInformation = 0x40;
// The program's own icon instead of a standard one.
inline constexpr std::uint32_t kMbUserIcon = 0x80;
// Brought to the foreground when shown.
inline constexpr std::uint32_t kMbSetForeground = 0x10000;
// Above all windows.
inline constexpr std::uint32_t kMbTopMost = 0x40000;

// The control ids inside a message box: the text, and each button by its
// command id.
inline constexpr int kMessageBoxTextId = 0xFFFF;

// -1 with the last error set when the owner is no window.
int messageBox(Window owner, std::u16string_view text, std::u16string_view caption,
               std::uint32_t style);
// The same; made() is given the box's window on the calling thread once the
// box exists, before it shows, so that another thread can end it.
int messageBox(Window owner, std::u16string_view text, std::u16string_view caption,
               std::uint32_t style, const std::function<void(Window)>& made);

} // namespace platform::ui
