#pragma once

// Overwrites the bytes of a string (its whole capacity) and empties it, so a
// secret such as a typed PIN does not outlive its use in freed memory.

#include <string>

namespace platform::ui {

void wipeString(std::string& text);
void wipeString(std::u16string& text);

} // namespace platform::ui
