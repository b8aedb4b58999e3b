#pragma once

// Keeps the card control's dialogs in front during an adapter call: every
// top-level window that appears while the watch runs is made top-most once.
// Windows that existed when the watch began are left alone.

#include <cstddef>
#include <sys/types.h>

inline constexpr int kTopUIOwnWindows = 0;
inline constexpr int kTopUIAllWindows = 1;

// Throws std::system_error when the watcher thread cannot be made.
void startTopUI(pid_t processId, int mode);
void stopTopUI();

// The known-windows capacity, kept from one watch to the next.
std::size_t topUICapacity();

// Test seam: the watcher thread cannot be made, as when the system refuses
// another thread.
void setTopUIThreadFault(bool fail);
