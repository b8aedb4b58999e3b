#pragma once

// The control library's module-wide values and its one-time start.

#include <atomic>
#include <string>

namespace tavelo {

// The user's browser as UserBrowser names it (at most 255 characters); the
// browser-window finder reads it.
extern std::u16string g_szUserBrowser;
inline constexpr std::size_t kUserBrowserMax = 255;

// Set to 1 at the end of the PIN and transaction methods; the keypad-reader
// prompt sets it to 0 when it opens and closes once it is 1.
extern std::atomic<int> isFinish;

// An address inside this library: its dialogs and resources load from it.
const void* moduleInstance() noexcept;

// What the library's load did on its platform, run once at the first class
// object request: the control log ("Tavelo", "Tavelo.ini"), the dialogs' and
// detection's module instance.
void moduleStart() noexcept;

} // namespace tavelo
