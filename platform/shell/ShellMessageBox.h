#pragma once

// Message boxes as programs show them from a window's thread. The box is
// the dialog layer's (platform/ui/MessageBox.h): modal, a top-level window
// of the shared list titled by its caption, so that another process (the
// scripted user, the session tool) finds it by its title to answer or close
// it. While it is open, the loop of the message window running on the
// calling thread goes on, nested: the window's callbacks and copy-data
// messages are handled meanwhile. A quit of that loop ends the box (answer
// 0) and goes on to the loops outside.
//
// Opening and closing are appended to the journal (Shell.h).

#include "platform/ui/MessageBox.h"

#include <cstdint>
#include <string_view>

namespace platform::shell {

// The button pressed (platform::ui::kIdOk, ...), 0 when a quit ended the
// box, -1 when it could not be shown.
int messageBox(std::u16string_view text, std::u16string_view caption, std::uint32_t style);

// Posts kWmClose to the first dialog of this process with that title; false
// when there is none.
bool postCloseByTitle(std::u16string_view title);

} // namespace platform::shell
