#include "platform/ui/Keyboard.h"

#include "platform/ui/Core.h"

namespace platform::ui {

using namespace detail;

std::int16_t getKeyState(std::uint32_t virtualKey) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    std::uint16_t state = 0;
    if (c.keysDown.count(virtualKey) != 0) {
        state |= 0x8000;
    }
    if (virtualKey == kVkCapital && c.capsLock) {
        state |= 1;
    }
    return static_cast<std::int16_t>(state);
}

bool capsLockOn() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.capsLock;
}

void setCapsLock(bool on) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    c.capsLock = on;
    notifyAll(c);
}

void injectKey(std::uint32_t virtualKey, bool release, bool extended) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (release) {
        c.keysDown.erase(virtualKey);
    } else {
        if (virtualKey == kVkCapital && c.keysDown.count(virtualKey) == 0) {
            c.capsLock = !c.capsLock;
        }
        c.keysDown.insert(virtualKey);
    }
    DialogState* target = findDialog(c, c.foreground);
    if (target == nullptr || target->destroyed) {
        notifyAll(c);
        return;
    }
    // Bit 24 marks an extended key; bit 31 a release, as the keyboard sends.
    LParam flags = 1;
    if (extended) {
        flags |= LParam(1) << 24;
    }
    if (release) {
        flags |= LParam(1) << 31;
    }
    Queued key;
    key.message = {0, release ? kWmKeyUp : kWmKeyDown, virtualKey, flags};
    key.toFocus = true;
    key.input = true;
    target->thread->posted.push_back(std::move(key));
    notifyAll(c);
}

} // namespace platform::ui
