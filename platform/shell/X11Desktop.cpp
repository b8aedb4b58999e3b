#include "platform/shell/X11Desktop.h"

#include "platform/ui/X11Backend.h"

#include <bit>
#include <cstdlib>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace platform::shell::detail {
namespace {

// Runs with a connection of its own to the display, if the process shows
// its dialogs on one; false otherwise. A connection is not kept between
// calls: a display that went away meanwhile is then simply absent.
template <typename F>
bool withDisplay(F&& use) {
    if (platform::ui::chooseBackend(std::getenv("CORVANTIX_UI_BACKEND"), std::getenv("DISPLAY")) !=
        platform::ui::BackendChoice::Visible) {
        return false;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    use(display);
    XCloseDisplay(display);
    return true;
}

struct KeyMapping {
    std::uint32_t virtualKey;
    KeySym first;
    KeySym second; // NoSymbol when one key alone makes it
};

constexpr KeyMapping kKeys[] = {
    {0x08, XK_BackSpace, NoSymbol},
    {0x09, XK_Tab, NoSymbol},
    {0x0D, XK_Return, XK_KP_Enter},
    {0x10, XK_Shift_L, XK_Shift_R},
    {0x11, XK_Control_L, XK_Control_R},
    {0x12, XK_Alt_L, XK_Alt_R},
    {0x14, XK_Caps_Lock, NoSymbol},
    {0x1B, XK_Escape, NoSymbol},
    {0x20, XK_space, NoSymbol},
    {0x23, XK_End, NoSymbol},
    {0x24, XK_Home, NoSymbol},
    {0x25, XK_Left, NoSymbol},
    {0x26, XK_Up, NoSymbol},
    {0x27, XK_Right, NoSymbol},
    {0x28, XK_Down, NoSymbol},
    {0x2A, XK_Print, NoSymbol},
    {0x2C, XK_Print, XK_Sys_Req},
    {0x2E, XK_Delete, NoSymbol},
    {0xA0, XK_Shift_L, NoSymbol},
    {0xA1, XK_Shift_R, NoSymbol},
    {0xA2, XK_Control_L, NoSymbol},
    {0xA3, XK_Control_R, NoSymbol},
    {0xA4, XK_Alt_L, NoSymbol},
    {0xA5, XK_Alt_R, NoSymbol},
};

// The key symbols a virtual key stands for.
std::pair<KeySym, KeySym> symbolsOf(std::uint32_t virtualKey) {
    if (virtualKey >= '0' && virtualKey <= '9') {
        return {XK_0 + (virtualKey - '0'), NoSymbol};
    }
    if (virtualKey >= 'A' && virtualKey <= 'Z') {
        return {XK_a + (virtualKey - 'A'), NoSymbol};
    }
    if (virtualKey >= 0x70 && virtualKey <= 0x87) {
        return {XK_F1 + (virtualKey - 0x70), NoSymbol};
    }
    for (const auto& k : kKeys) {
        if (k.virtualKey == virtualKey) {
            return {k.first, k.second};
        }
    }
    return {NoSymbol, NoSymbol};
}

unsigned channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    const unsigned long value = (pixel & mask) >> std::countr_zero(mask);
    return static_cast<unsigned>(value * 255 / (mask >> std::countr_zero(mask)));
}

} // namespace

bool x11KeyDown(std::uint32_t virtualKey) {
    // Plain names, not a structured binding: clang 14 cannot capture those.
    const auto symbols = symbolsOf(virtualKey);
    const KeySym first = symbols.first;
    const KeySym second = symbols.second;
    if (first == NoSymbol) {
        return false;
    }
    bool down = false;
    withDisplay([&](Display* display) {
        char keys[32];
        XQueryKeymap(display, keys);
        for (const KeySym sym : {first, second}) {
            if (sym == NoSymbol) {
                continue;
            }
            const KeyCode code = XKeysymToKeycode(display, sym);
            if (code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0) {
                down = true;
            }
        }
    });
    return down;
}

std::optional<ScreenSize> x11ScreenSize() {
    std::optional<ScreenSize> size;
    withDisplay([&](Display* display) {
        const int screen = DefaultScreen(display);
        size = ScreenSize{DisplayWidth(display, screen), DisplayHeight(display, screen)};
    });
    return size;
}

std::optional<Image> x11CaptureScreen() {
    std::optional<Image> captured;
    withDisplay([&](Display* display) {
        const int screen = DefaultScreen(display);
        const int width = DisplayWidth(display, screen);
        const int height = DisplayHeight(display, screen);
        XImage* x =
            XGetImage(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (x == nullptr) {
            return;
        }
        Image image;
        image.width = width;
        image.height = height;
        image.rgb.reserve(static_cast<std::size_t>(width) * height * 3);
        for (int y = 0; y < height; ++y) {
            for (int i = 0; i < width; ++i) {
                const unsigned long p = XGetPixel(x, i, y);
                image.rgb.push_back(static_cast<std::uint8_t>(channel(p, x->red_mask)));
                image.rgb.push_back(static_cast<std::uint8_t>(channel(p, x->green_mask)));
                image.rgb.push_back(static_cast<std::uint8_t>(channel(p, x->blue_mask)));
            }
        }
        XDestroyImage(x);
        captured = std::move(image);
    });
    return captured;
}

} // namespace platform::shell::detail
