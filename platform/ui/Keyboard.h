#pragma once

// The keyboard's state as the process sees it: Caps Lock and the keys held
// down, and keys injected as if typed. The state is the process's own (the
// scripted user sets it per process).

#include <cstdint>

namespace platform::ui {

// Bit 0x8000: the key is down; bit 1: the key is toggled on (Caps Lock).
std::int16_t getKeyState(std::uint32_t virtualKey);
bool capsLockOn();
// Sets the Caps Lock toggle directly, without key messages.
void setCapsLock(bool on);

// A key press or release as the keyboard makes it: the key's state changes
// (a press of Caps Lock toggles it), and kWmKeyDown or kWmKeyUp is posted to
// the focus window of the thread of the dialog activated last.
void injectKey(std::uint32_t virtualKey, bool release, bool extended = false);

} // namespace platform::ui
