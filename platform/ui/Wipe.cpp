#include "platform/ui/Wipe.h"

#include <string.h>

namespace platform::ui {

void wipeString(std::string& text) {
    // The whole capacity: a shorter text may have left older bytes behind it.
    explicit_bzero(text.data(), text.capacity());
    text.clear();
}

void wipeString(std::u16string& text) {
    explicit_bzero(text.data(), text.capacity() * sizeof(char16_t));
    text.clear();
}

} // namespace platform::ui
