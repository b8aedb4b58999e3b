#pragma once

// The keyboard as every process of the user sees it, read the way a poll of
// the physical keys reads it: a table of 256 keys in the shell's state,
// mapped into each reader, that only the session tool sets (ShellDriver.h).
// Keys injected into this process through the dialog layer
// (platform/ui/Keyboard.h), and keys held on the X display where the
// process shows its dialogs on one, count as down too.
//
// Each read is counted in the table, by the state it found, so that the
// tool can hold a key exactly until a poll has seen it down, and keep it up
// until a poll has seen it up.

#include <cstdint>

namespace platform::shell {

inline constexpr std::uint32_t kKeyCount = 256;

// 0x8000 (the sign bit) while the key is down, else 0; 0 for a code beyond
// the table.
std::int16_t getAsyncKeyState(std::uint32_t virtualKey);

} // namespace platform::shell
