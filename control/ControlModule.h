#pragma once

// The control library's module-wide values and its one-time start.

namespace tavelo {

// The module-wide g_szUserBrowser and isFinish live with the dialogs that
// read them (control/ui/UIConfirm.h).

// An address inside this library: its dialogs and resources load from it.
const void* moduleInstance() noexcept;

// What the library's load did on its platform, run once at the first class
// object request: the control log ("Tavelo", "Tavelo.ini"), the dialogs' and
// detection's module instance.
void moduleStart() noexcept;

} // namespace tavelo
