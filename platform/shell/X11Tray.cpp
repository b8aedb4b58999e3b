#include "platform/shell/X11Tray.h"

#include "platform/shell/ShellState.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/X11Backend.h"
#include "platform/window/MessageWindow.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

// After our own headers: Xlib defines macros (None, Bool, Status) that
// would clash with names there.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace platform::shell::detail {
namespace {

using Clock = std::chrono::steady_clock;
using platform::ui::Point;

constexpr int kIconSize = 24;
constexpr auto kBalloonLife = std::chrono::seconds(5);
constexpr auto kTipDelay = std::chrono::milliseconds(500);
constexpr Time kDoubleClickMs = 500;
constexpr int kItemHeight = 22;
constexpr int kSeparatorHeight = 9;
constexpr int kMenuBorder = 2;
// A callback that hangs must not hold the icons for long.
constexpr std::uint32_t kPostTimeoutMs = 1000;

// The freedesktop system-tray and XEMBED protocols.
constexpr long kSystemTrayRequestDock = 0;
constexpr long kXembedVersion = 0;
constexpr long kXembedMapped = 1;

// A failed request (a window that went meanwhile) must not end the process.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

std::string withoutMnemonics(std::u16string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size()) {
            ++i;
        }
        out += text[i];
    }
    return utf16ToUtf8(out);
}

unsigned long scaleToMask(unsigned value, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    const int bits = std::popcount(mask);
    const unsigned long scaled =
        bits >= 8 ? static_cast<unsigned long>(value) << (bits - 8) : value >> (8 - bits);
    return scaled << std::countr_zero(mask);
}

bool enabled(const MenuItem& item) {
    return (item.flags & (kMfGrayed | kMfDisabled)) == 0;
}

bool separator(const MenuItem& item) {
    return (item.flags & kMfSeparator) != 0;
}

int itemHeight(const MenuItem& item) {
    return separator(item) ? kSeparatorHeight : kItemHeight;
}

struct Balloon {
    ::Window window = 0;
    XftDraw* draw = nullptr;
    std::string title;
    std::vector<std::string> lines;
    Clock::time_point until;
};

struct Icon {
    TrayIconView view;
    std::string key; // the window's class folded
    ::Window window = 0;
    bool docked = false;
    Time lastLeftPress = 0;
    bool leftPressed = false; // a press that a second one makes a double click
    Balloon balloon;
};

struct MenuLevel {
    const std::vector<MenuItem>* items = nullptr;
    ::Window window = 0;
    XftDraw* draw = nullptr;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int hot = -1;
};

// Everything on the display; the pump thread's alone.
class Tray {
public:
    explicit Tray(Display* display)
        : display_(display), screen_(DefaultScreen(display)), root_(RootWindow(display, screen_)) {
        const auto atom = [this](const std::string& name) {
            return XInternAtom(display_, name.c_str(), False);
        };
        trayAtom_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screen_));
        opcode_ = atom("_NET_SYSTEM_TRAY_OPCODE");
        manager_ = atom("MANAGER");
        xembedInfo_ = atom("_XEMBED_INFO");
        netWmName_ = atom("_NET_WM_NAME");
        utf8String_ = atom("UTF8_STRING");
        windowType_ = atom("_NET_WM_WINDOW_TYPE");
        typeNotification_ = atom("_NET_WM_WINDOW_TYPE_NOTIFICATION");
        typePopupMenu_ = atom("_NET_WM_WINDOW_TYPE_POPUP_MENU");
        typeTooltip_ = atom("_NET_WM_WINDOW_TYPE_TOOLTIP");
        wmState_ = atom("_NET_WM_STATE");
        stateAbove_ = atom("_NET_WM_STATE_ABOVE");
        gc_ = XCreateGC(display_, root_, 0, nullptr);
        XSelectInput(display_, root_, StructureNotifyMask);
        {
            std::lock_guard lock(platform::ui::xftLock());
            font_ = XftFontOpenName(display_, screen_, "sans-9");
            bold_ = XftFontOpenName(display_, screen_, "sans-9:bold");
            const std::pair<XftColor*, unsigned short> colours[] = {
                {&black_, 0}, {&grey_, 0x8080}, {&white_, 0xFFFF}};
            for (const auto& colour : colours) {
                XRenderColor c{colour.second, colour.second, colour.second, 0xFFFF};
                XftColorAllocValue(display_, visual(), colormap(), &c, colour.first);
            }
        }
        findHost();
    }

    ~Tray() {
        if (lost_) {
            return; // the server went: nothing of it can be freed any more
        }
        closeMenuWindows();
        closeTip();
        for (auto& icon : icons_) {
            destroyIcon(icon);
        }
        XFreeGC(display_, gc_);
        std::lock_guard lock(platform::ui::xftLock());
        for (XftFont* font : {font_, bold_}) {
            if (font != nullptr) {
                XftFontClose(display_, font);
            }
        }
        for (XftColor* colour : {&black_, &grey_, &white_}) {
            XftColorFree(display_, visual(), colormap(), colour);
        }
        XCloseDisplay(display_);
    }

    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    bool idle() const { return icons_.empty() && levels_.empty(); }
    void markLost() { lost_ = true; }

    void setIcon(const TrayIconView& view) {
        Icon* icon = find(view.window, view.id);
        if (icon == nullptr) {
            icon = &icons_.emplace_back();
            icon->key = asciiLower(view.window);
        }
        icon->view = view;
        if (icon->window == 0) {
            createIconWindow(*icon);
        }
        setName(icon->window, utf16ToUtf8(view.tip));
        drawIcon(*icon);
        dock(*icon);
        if (tip_.window != 0 && tip_.icon == icon->window) {
            showTip(*icon); // the new text at once
        }
    }

    void removeIcon(const std::string& window, std::uint32_t id) {
        const std::string key = asciiLower(window);
        const auto it = std::find_if(icons_.begin(), icons_.end(), [&](const Icon& icon) {
            return icon.key == key && icon.view.id == id;
        });
        if (it != icons_.end()) {
            if (tip_.icon == it->window) {
                closeTip();
            }
            destroyIcon(*it);
            icons_.erase(it);
        }
    }

    void showBalloon(const std::string& window, std::uint32_t id, const std::u16string& title,
                     const std::u16string& text) {
        Icon* icon = find(window, id);
        if (icon == nullptr) {
            return;
        }
        closeBalloon(icon->balloon);
        if (text.empty()) {
            return;
        }
        Balloon& b = icon->balloon;
        b.title = utf16ToUtf8(title);
        std::string all = utf16ToUtf8(text);
        for (std::size_t start = 0; start <= all.size();) {
            const auto end = std::min(all.find('\n', start), all.size());
            b.lines.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        int width = 160;
        for (const auto& line : b.lines) {
            width = std::max(width, textWidth(font_, line) + 20);
        }
        width = std::max(width, textWidth(bold_, b.title) + 20);
        width = std::min(width, screenWidth() / 2);
        const int lineHeight = this->lineHeight();
        const int height = 16 + (b.title.empty() ? 0 : lineHeight + 4) +
                           lineHeight * static_cast<int>(b.lines.size());
        // Above the icon when it sits in a tray, else in the screen's corner.
        int anchorX = screenWidth() - 4;
        int anchorTop = screenHeight() - 4;
        int anchorBottom = anchorTop;
        if (icon->docked) {
            int x = 0;
            int y = 0;
            ::Window child = 0;
            if (XTranslateCoordinates(display_, icon->window, root_, 0, 0, &x, &y, &child) != 0) {
                anchorX = x + kIconSize;
                anchorTop = y;
                anchorBottom = y + kIconSize;
            }
        }
        int x = anchorX - width;
        int y = anchorTop - height - 6;
        if (y < 0) {
            y = anchorBottom + 6;
        }
        x = std::clamp(x, 0, std::max(0, screenWidth() - width));
        y = std::clamp(y, 0, std::max(0, screenHeight() - height));
        b.window = popup(x, y, width, height, pixel(0xFF, 0xFF, 0xE1),
                         ExposureMask | ButtonPressMask, typeNotification_);
        setName(b.window, all);
        b.draw = newDraw(b.window);
        b.until = Clock::now() + kBalloonLife;
        XMapRaised(display_, b.window);
    }

    void openMenu(const std::string& token, const std::vector<MenuItem>& items, Point at,
                  std::uint32_t flags) {
        closeMenuWindows();
        closeTip();
        menuToken_ = token;
        menuItems_ = items;
        openLevel(menuItems_, at.x, at.y, flags);
        const unsigned mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
        XGrabPointer(display_, levels_.front().window, True, mask, GrabModeAsync, GrabModeAsync, 0,
                     0, CurrentTime);
        XGrabKeyboard(display_, levels_.front().window, True, GrabModeAsync, GrabModeAsync,
                      CurrentTime);
    }

    void closeMenu(const std::string& token) {
        if (!levels_.empty() && token == menuToken_) {
            closeMenuWindows();
        }
    }

    void handle(XEvent& event) {
        switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0) {
                redraw(event.xexpose.window);
            }
            break;
        case ConfigureNotify:
            redraw(event.xconfigure.window);
            break;
        case ButtonPress:
        case ButtonRelease:
            closeTip();
            press(event.xbutton);
            break;
        case EnterNotify:
            // The icon's tip shows once the mouse rests on it for a while.
            if (levels_.empty() && findByWindow(event.xcrossing.window) != nullptr) {
                closeTip();
                tip_.icon = event.xcrossing.window;
                tip_.at = Clock::now() + kTipDelay;
            }
            break;
        case LeaveNotify:
            if (event.xcrossing.window == tip_.icon) {
                closeTip();
            }
            break;
        case MotionNotify:
            if (!levels_.empty()) {
                menuMotion(event.xmotion.x_root, event.xmotion.y_root);
            }
            break;
        case KeyPress:
            if (!levels_.empty()) {
                menuKey(XLookupKeysym(&event.xkey, 0));
            }
            break;
        case ClientMessage:
            if (event.xclient.window == root_ && event.xclient.message_type == manager_ &&
                static_cast<Atom>(event.xclient.data.l[1]) == trayAtom_) {
                findHost();
            }
            break;
        case DestroyNotify:
            gone(event.xdestroywindow.window);
            break;
        case ReparentNotify:
            // A host that ended hands its icons back to the root.
            if (event.xreparent.parent == root_) {
                for (auto& icon : icons_) {
                    if (icon.window == event.xreparent.window) {
                        XUnmapWindow(display_, icon.window);
                        icon.docked = false;
                    }
                }
            }
            break;
        default:
            break;
        }
    }

    // Takes away balloons whose time is up and shows a tip whose time has
    // come; the time until the next such change (-1: none due).
    int tick() {
        const auto now = Clock::now();
        int wait = -1;
        if (tip_.icon != 0 && tip_.window == 0) {
            if (tip_.at <= now) {
                if (Icon* icon = findByWindow(tip_.icon)) {
                    showTip(*icon);
                }
            } else {
                wait = static_cast<int>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(tip_.at - now)
                               .count()) +
                       1;
            }
        }
        for (auto& icon : icons_) {
            if (icon.balloon.window == 0) {
                continue;
            }
            if (icon.balloon.until <= now) {
                closeBalloon(icon.balloon);
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(icon.balloon.until - now)
                    .count();
            const int ms = static_cast<int>(left) + 1;
            wait = wait < 0 ? ms : std::min(wait, ms);
        }
        return wait;
    }

private:
    Visual* visual() const { return DefaultVisual(display_, screen_); }
    Colormap colormap() const { return DefaultColormap(display_, screen_); }
    int screenWidth() const { return DisplayWidth(display_, screen_); }
    int screenHeight() const { return DisplayHeight(display_, screen_); }

    unsigned long pixel(unsigned r, unsigned g, unsigned b) const {
        const Visual* v = visual();
        return scaleToMask(r, v->red_mask) | scaleToMask(g, v->green_mask) |
               scaleToMask(b, v->blue_mask);
    }

    int lineHeight() const { return font_ != nullptr ? font_->ascent + font_->descent + 2 : 14; }

    int textWidth(XftFont* font, const std::string& text) const {
        if (font == nullptr || text.empty()) {
            return 0;
        }
        XGlyphInfo extents{};
        std::lock_guard lock(platform::ui::xftLock());
        XftTextExtentsUtf8(display_, font, reinterpret_cast<const FcChar8*>(text.data()),
                           static_cast<int>(text.size()), &extents);
        return extents.xOff;
    }

    void drawText(XftDraw* draw, XftFont* font, XftColor& colour, int x, int baseline,
                  const std::string& text) {
        if (draw == nullptr || font == nullptr || text.empty()) {
            return;
        }
        std::lock_guard lock(platform::ui::xftLock());
        XftDrawStringUtf8(draw, &colour, font, x, baseline,
                          reinterpret_cast<const FcChar8*>(text.data()),
                          static_cast<int>(text.size()));
    }

    XftDraw* newDraw(::Window window) {
        std::lock_guard lock(platform::ui::xftLock());
        return XftDrawCreate(display_, window, visual(), colormap());
    }

    void freeDraw(XftDraw*& draw) {
        if (draw != nullptr) {
            std::lock_guard lock(platform::ui::xftLock());
            XftDrawDestroy(draw);
            draw = nullptr;
        }
    }

    void setName(::Window window, const std::string& utf8) {
        XChangeProperty(display_, window, netWmName_, utf8String_, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(utf8.data()),
                        static_cast<int>(utf8.size()));
        XChangeProperty(display_, window, XA_WM_NAME, utf8String_, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(utf8.data()),
                        static_cast<int>(utf8.size()));
    }

    // A top-most window of its own: no window manager moves or frames it.
    ::Window popup(int x, int y, int width, int height, unsigned long background, long events,
                   Atom type) {
        XSetWindowAttributes a{};
        a.background_pixel = background;
        a.border_pixel = pixel(0x40, 0x40, 0x40);
        a.override_redirect = True;
        a.save_under = True;
        a.event_mask = events;
        const ::Window window = XCreateWindow(
            display_, root_, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 1,
            CopyFromParent, InputOutput, CopyFromParent,
            CWBackPixel | CWBorderPixel | CWOverrideRedirect | CWSaveUnder | CWEventMask, &a);
        XChangeProperty(display_, window, windowType_, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&type), 1);
        XChangeProperty(display_, window, wmState_, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&stateAbove_), 1);
        return window;
    }

    Icon* findByWindow(::Window window) {
        for (auto& icon : icons_) {
            if (window != 0 && icon.window == window) {
                return &icon;
            }
        }
        return nullptr;
    }

    Icon* find(const std::string& window, std::uint32_t id) {
        const std::string key = asciiLower(window);
        for (auto& icon : icons_) {
            if (icon.key == key && icon.view.id == id) {
                return &icon;
            }
        }
        return nullptr;
    }

    // ---- Icons and their host --------------------------------------------------

    void findHost() {
        const ::Window before = host_;
        host_ = XGetSelectionOwner(display_, trayAtom_);
        if (host_ == 0) {
            return;
        }
        // Its window's end says the host went.
        XSelectInput(display_, host_, StructureNotifyMask);
        for (auto& icon : icons_) {
            icon.docked = icon.docked && host_ == before;
            dock(icon);
        }
    }

    void createIconWindow(Icon& icon) {
        XSetWindowAttributes a{};
        a.background_pixel = pixel(0xE8, 0xE8, 0xE8);
        a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask |
                       EnterWindowMask | LeaveWindowMask;
        icon.window = XCreateWindow(display_, root_, 0, 0, kIconSize, kIconSize, 0, CopyFromParent,
                                    InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
        const long info[2] = {kXembedVersion, kXembedMapped};
        XChangeProperty(display_, icon.window, xembedInfo_, xembedInfo_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(info), 2);
        XSizeHints hints{};
        hints.flags = PMinSize | PBaseSize;
        hints.min_width = hints.base_width = kIconSize;
        hints.min_height = hints.base_height = kIconSize;
        XSetWMNormalHints(display_, icon.window, &hints);
        icon.docked = false;
    }

    void dock(Icon& icon) {
        if (host_ == 0 || icon.docked || icon.window == 0) {
            return;
        }
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = host_;
        e.xclient.message_type = opcode_;
        e.xclient.format = 32;
        e.xclient.data.l[0] = CurrentTime;
        e.xclient.data.l[1] = kSystemTrayRequestDock;
        e.xclient.data.l[2] = static_cast<long>(icon.window);
        XSendEvent(display_, host_, False, NoEventMask, &e);
        icon.docked = true;
    }

    void destroyIcon(Icon& icon) {
        closeBalloon(icon.balloon);
        if (icon.window != 0) {
            XDestroyWindow(display_, icon.window);
            icon.window = 0;
        }
    }

    void gone(::Window window) {
        if (window == host_ && host_ != 0) {
            host_ = 0;
            for (auto& icon : icons_) {
                icon.docked = false;
            }
            return;
        }
        if (window == tip_.icon) {
            closeTip();
        }
        // An icon window that went with its host's window comes back for
        // the next host.
        for (auto& icon : icons_) {
            if (icon.window == window) {
                closeBalloon(icon.balloon);
                icon.window = 0;
                createIconWindow(icon);
                setName(icon.window, utf16ToUtf8(icon.view.tip));
                dock(icon);
            }
        }
    }

    // Our own image per icon number: a colour and a shape of its own.
    void drawIcon(const Icon& icon) {
        XWindowAttributes at{};
        if (icon.window == 0 || XGetWindowAttributes(display_, icon.window, &at) == 0) {
            return;
        }
        const int w = at.width;
        const int h = at.height;
        XSetForeground(display_, gc_, pixel(0xE8, 0xE8, 0xE8));
        XFillRectangle(display_, icon.window, gc_, 0, 0, static_cast<unsigned>(w),
                       static_cast<unsigned>(h));
        std::uint32_t hash = icon.view.icon * 2654435761u;
        hash ^= hash >> 13;
        XSetForeground(
            display_, gc_,
            pixel(32 + (hash & 0xBF), 32 + ((hash >> 8) & 0xBF), 32 + ((hash >> 16) & 0xBF)));
        const int side = std::max(4, std::min(w, h) - std::min(w, h) / 4);
        const int x = (w - side) / 2;
        const int y = (h - side) / 2;
        const auto s = static_cast<unsigned>(side);
        switch (icon.view.icon % 3) {
        case 0:
            XFillArc(display_, icon.window, gc_, x, y, s, s, 0, 360 * 64);
            break;
        case 1:
            XFillRectangle(display_, icon.window, gc_, x, y, s, s);
            break;
        default: {
            XPoint diamond[4] = {{static_cast<short>(x + side / 2), static_cast<short>(y)},
                                 {static_cast<short>(x + side), static_cast<short>(y + side / 2)},
                                 {static_cast<short>(x + side / 2), static_cast<short>(y + side)},
                                 {static_cast<short>(x), static_cast<short>(y + side / 2)}};
            XFillPolygon(display_, icon.window, gc_, diamond, 4, Convex, CoordModeOrigin);
            break;
        }
        }
    }

    void click(Icon& icon, const XButtonEvent& e) {
        using namespace platform::ui;
        const bool down = e.type == ButtonPress;
        std::uint32_t mouse = 0;
        if (e.button == Button1) {
            if (down) {
                const bool twice =
                    icon.leftPressed && e.time - icon.lastLeftPress <= kDoubleClickMs;
                mouse = twice ? kWmLButtonDblClk : kWmLButtonDown;
                icon.leftPressed = !twice;
                icon.lastLeftPress = e.time;
            } else {
                mouse = kWmLButtonUp;
            }
        } else if (e.button == Button3) {
            mouse = down ? kWmRButtonDown : kWmRButtonUp;
        } else {
            return;
        }
        {
            // Where a menu the click opens is to show.
            StateLock lock;
            setCursorPos({e.x_root, e.y_root});
        }
        if (icon.view.callbackMessage != 0) {
            postMessage(icon.view.window, icon.view.callbackMessage, icon.view.id, mouse,
                        kPostTimeoutMs);
        }
    }

    // ---- Tips and balloons -----------------------------------------------------

    void showTip(const Icon& icon) {
        closeTip();
        tip_.icon = icon.window;
        tip_.text = utf16ToUtf8(icon.view.tip);
        int x = 0;
        int y = 0;
        ::Window child = 0;
        if (tip_.text.empty() ||
            XTranslateCoordinates(display_, icon.window, root_, 0, 0, &x, &y, &child) == 0) {
            return;
        }
        const int width = textWidth(font_, tip_.text) + 12;
        const int height = lineHeight() + 6;
        y = y - height - 4 < 0 ? y + kIconSize + 4 : y - height - 4;
        x = std::clamp(x, 0, std::max(0, screenWidth() - width - 2));
        tip_.window =
            popup(x, y, width, height, pixel(0xFF, 0xFF, 0xE1), ExposureMask, typeTooltip_);
        setName(tip_.window, tip_.text);
        tip_.draw = newDraw(tip_.window);
        XMapRaised(display_, tip_.window);
    }

    void closeTip() {
        freeDraw(tip_.draw);
        if (tip_.window != 0) {
            XDestroyWindow(display_, tip_.window);
        }
        tip_ = Tip{};
    }

    void closeBalloon(Balloon& b) {
        freeDraw(b.draw);
        if (b.window != 0) {
            XDestroyWindow(display_, b.window);
        }
        b = Balloon{};
    }

    void drawBalloon(const Balloon& b) {
        int y = 8;
        if (!b.title.empty() && bold_ != nullptr) {
            drawText(b.draw, bold_, black_, 10, y + bold_->ascent, b.title);
            y += lineHeight() + 4;
        }
        for (const auto& line : b.lines) {
            drawText(b.draw, font_, black_, 10, y + (font_ != nullptr ? font_->ascent : 10), line);
            y += lineHeight();
        }
    }

    // ---- Menus ---------------------------------------------------------------

    void openLevel(const std::vector<MenuItem>& items, int x, int y, std::uint32_t flags) {
        MenuLevel level;
        level.items = &items;
        int width = 100;
        int height = 2 * kMenuBorder;
        for (const auto& item : items) {
            width = std::max(width, textWidth(font_, withoutMnemonics(item.text)) + 52);
            height += itemHeight(item);
        }
        if ((flags & kTpmRightAlign) != 0) {
            x -= width;
        }
        if ((flags & kTpmBottomAlign) != 0) {
            y -= height;
        }
        level.x = std::clamp(x, 0, std::max(0, screenWidth() - width - 2));
        level.y = std::clamp(y, 0, std::max(0, screenHeight() - height - 2));
        level.width = width;
        level.height = height;
        level.window = popup(level.x, level.y, width, height, pixel(0xF2, 0xF2, 0xF2),
                             ExposureMask | ButtonPressMask | ButtonReleaseMask |
                                 PointerMotionMask | KeyPressMask,
                             typePopupMenu_);
        setName(level.window, "menu");
        level.draw = newDraw(level.window);
        XMapRaised(display_, level.window);
        levels_.push_back(level);
    }

    void closeLevel() {
        MenuLevel& level = levels_.back();
        freeDraw(level.draw);
        XDestroyWindow(display_, level.window);
        levels_.pop_back();
    }

    void closeMenuWindows() {
        if (levels_.empty()) {
            return;
        }
        XUngrabPointer(display_, CurrentTime);
        XUngrabKeyboard(display_, CurrentTime);
        while (!levels_.empty()) {
            closeLevel();
        }
        menuToken_.clear();
    }

    void endMenu(std::optional<std::uint32_t> id) {
        const std::string token = menuToken_;
        closeMenuWindows();
        XFlush(display_);
        endMenuOf(token, id);
    }

    int itemTop(const MenuLevel& level, int index) const {
        int top = kMenuBorder;
        for (int i = 0; i < index; ++i) {
            top += itemHeight((*level.items)[static_cast<std::size_t>(i)]);
        }
        return top;
    }

    // The deepest level under a point of the screen and its item there.
    std::pair<int, int> menuAt(int x, int y) const {
        for (int l = static_cast<int>(levels_.size()) - 1; l >= 0; --l) {
            const MenuLevel& level = levels_[static_cast<std::size_t>(l)];
            if (x < level.x || x >= level.x + level.width + 2 || y < level.y ||
                y >= level.y + level.height + 2) {
                continue;
            }
            int top = level.y + 1 + kMenuBorder;
            for (std::size_t i = 0; i < level.items->size(); ++i) {
                const int bottom = top + itemHeight((*level.items)[i]);
                if (y >= top && y < bottom) {
                    return {l, static_cast<int>(i)};
                }
                top = bottom;
            }
            return {l, -1};
        }
        return {-1, -1};
    }

    void setHot(int l, int index) {
        MenuLevel& level = levels_[static_cast<std::size_t>(l)];
        if (level.hot != index) {
            level.hot = index;
            drawLevel(level);
        }
    }

    void openChild(int l, int index) {
        while (static_cast<int>(levels_.size()) > l + 1) {
            closeLevel();
        }
        const MenuLevel& level = levels_[static_cast<std::size_t>(l)];
        const MenuItem& item = (*level.items)[static_cast<std::size_t>(index)];
        if (item.items.empty()) {
            return;
        }
        openLevel(item.items, level.x + level.width, level.y + itemTop(level, index) - kMenuBorder,
                  0);
    }

    // Chooses the item's command or opens its sub-menu.
    void activate(int l, int index) {
        const MenuItem& item =
            (*levels_[static_cast<std::size_t>(l)].items)[static_cast<std::size_t>(index)];
        if (separator(item) || !enabled(item)) {
            return;
        }
        if ((item.flags & kMfPopup) != 0) {
            if (static_cast<int>(levels_.size()) <= l + 1) {
                openChild(l, index);
            }
            if (static_cast<int>(levels_.size()) > l + 1) {
                setHot(l + 1, nextItem(levels_.back(), -1, 1));
            }
            return;
        }
        endMenu(item.id);
    }

    int nextItem(const MenuLevel& level, int from, int step) const {
        const int count = static_cast<int>(level.items->size());
        for (int n = 1; n <= count; ++n) {
            const int i = ((from + step * n) % count + count) % count;
            if (!separator((*level.items)[static_cast<std::size_t>(i)])) {
                return i;
            }
        }
        return -1;
    }

    void menuPress(const XButtonEvent& e) {
        const auto [l, index] = menuAt(e.x_root, e.y_root);
        if (l < 0) {
            if (e.type == ButtonPress) {
                endMenu(std::nullopt); // a click elsewhere closes it
            }
        } else if (e.type == ButtonPress && index >= 0) {
            activate(l, index);
        }
    }

    void menuMotion(int x, int y) {
        const auto [l, index] = menuAt(x, y);
        if (l < 0 || index < 0) {
            return;
        }
        setHot(l, index);
        const MenuItem& item =
            (*levels_[static_cast<std::size_t>(l)].items)[static_cast<std::size_t>(index)];
        if ((item.flags & kMfPopup) != 0 && enabled(item)) {
            if (static_cast<int>(levels_.size()) == l + 1) {
                openChild(l, index);
            }
        } else {
            while (static_cast<int>(levels_.size()) > l + 1) {
                closeLevel();
            }
        }
    }

    void menuKey(KeySym sym) {
        const int l = static_cast<int>(levels_.size()) - 1;
        MenuLevel& level = levels_.back();
        switch (sym) {
        case XK_Down:
        case XK_KP_Down:
            setHot(l, nextItem(level, level.hot, 1));
            break;
        case XK_Up:
        case XK_KP_Up:
            setHot(l, nextItem(level, level.hot < 0 ? 0 : level.hot, -1));
            break;
        case XK_Right:
        case XK_KP_Right:
        case XK_Return:
        case XK_KP_Enter:
        case XK_space:
            if (level.hot >= 0) {
                activate(l, level.hot);
            }
            break;
        case XK_Left:
        case XK_KP_Left:
            if (l > 0) {
                closeLevel();
            }
            break;
        case XK_Escape:
            if (l > 0) {
                closeLevel();
            } else {
                endMenu(std::nullopt);
            }
            break;
        default:
            break;
        }
    }

    void drawLevel(const MenuLevel& level) {
        XSetForeground(display_, gc_, pixel(0xF2, 0xF2, 0xF2));
        XFillRectangle(display_, level.window, gc_, 0, 0, static_cast<unsigned>(level.width),
                       static_cast<unsigned>(level.height));
        int top = kMenuBorder;
        for (std::size_t i = 0; i < level.items->size(); ++i) {
            const MenuItem& item = (*level.items)[i];
            const int h = itemHeight(item);
            if (separator(item)) {
                XSetForeground(display_, gc_, pixel(0xA0, 0xA0, 0xA0));
                XDrawLine(display_, level.window, gc_, 4, top + h / 2, level.width - 5,
                          top + h / 2);
                top += h;
                continue;
            }
            const bool hot = static_cast<int>(i) == level.hot && enabled(item);
            if (hot) {
                XSetForeground(display_, gc_, pixel(0x30, 0x70, 0xC0));
                XFillRectangle(display_, level.window, gc_, kMenuBorder, top,
                               static_cast<unsigned>(level.width - 2 * kMenuBorder),
                               static_cast<unsigned>(h));
            }
            XftColor& colour = !enabled(item) ? grey_ : hot ? white_ : black_;
            XSetForeground(display_, gc_, colour.pixel);
            if ((item.flags & kMfChecked) != 0) {
                XPoint tick[3] = {{6, static_cast<short>(top + h / 2)},
                                  {10, static_cast<short>(top + h / 2 + 4)},
                                  {16, static_cast<short>(top + h / 2 - 5)}};
                XDrawLines(display_, level.window, gc_, tick, 3, CoordModeOrigin);
            }
            if ((item.flags & kMfPopup) != 0) {
                const int x = level.width - 14;
                XPoint arrow[3] = {{static_cast<short>(x), static_cast<short>(top + h / 2 - 4)},
                                   {static_cast<short>(x + 5), static_cast<short>(top + h / 2)},
                                   {static_cast<short>(x), static_cast<short>(top + h / 2 + 4)}};
                XFillPolygon(display_, level.window, gc_, arrow, 3, Convex, CoordModeOrigin);
            }
            if (font_ != nullptr) {
                drawText(level.draw, font_, colour, 24,
                         top + (h + font_->ascent - font_->descent) / 2,
                         withoutMnemonics(item.text));
            }
            top += h;
        }
    }

    void redraw(::Window window) {
        if (window == tip_.window && tip_.window != 0 && font_ != nullptr) {
            drawText(tip_.draw, font_, black_, 6, 3 + font_->ascent, tip_.text);
        }
        for (const auto& icon : icons_) {
            if (icon.window == window) {
                drawIcon(icon);
            } else if (icon.balloon.window == window) {
                drawBalloon(icon.balloon);
            }
        }
        for (const auto& level : levels_) {
            if (level.window == window) {
                drawLevel(level);
            }
        }
    }

    void press(const XButtonEvent& e) {
        if (!levels_.empty()) {
            const bool inMenu = menuAt(e.x_root, e.y_root).first >= 0;
            menuPress(e);
            if (inMenu) {
                return;
            }
        }
        for (auto& icon : icons_) {
            if (icon.window == e.window) {
                click(icon, e);
                return;
            }
            if (icon.balloon.window == e.window && e.type == ButtonPress) {
                closeBalloon(icon.balloon);
                return;
            }
        }
    }

    Display* display_;
    int screen_;
    ::Window root_;
    GC gc_ = nullptr;
    XftFont* font_ = nullptr;
    XftFont* bold_ = nullptr;
    XftColor black_{}, grey_{}, white_{};
    Atom trayAtom_ = 0, opcode_ = 0, manager_ = 0, xembedInfo_ = 0, netWmName_ = 0, utf8String_ = 0,
         windowType_ = 0, typeNotification_ = 0, typePopupMenu_ = 0, typeTooltip_ = 0, wmState_ = 0,
         stateAbove_ = 0;
    ::Window host_ = 0;
    bool lost_ = false;
    std::deque<Icon> icons_; // stable while a handler holds one
    std::string menuToken_;
    std::vector<MenuItem> menuItems_;
    std::vector<MenuLevel> levels_;
    struct Tip {
        ::Window icon = 0; // the icon the mouse rests on
        Clock::time_point at;
        ::Window window = 0;
        XftDraw* draw = nullptr;
        std::string text;
    } tip_;
};

// The queue to the pump and the pump's thread.
class Pump {
public:
    Pump() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Pump() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        if (thread_.joinable()) {
            // An exit from the thread itself (Xlib's on a lost server) cannot wait for it.
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();
            } else {
                thread_.join();
            }
        }
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    bool busy() const { return busy_; }

    // Queues work; start says whether it is worth a connection when none is
    // open (taking something away is not).
    void submit(std::function<void(Tray&)> work, bool start) {
        std::lock_guard lock(mutex_);
        if (stopping_ || wakeFd_ < 0) {
            return;
        }
        if (!running_) {
            if (!start) {
                return;
            }
            if (thread_.joinable()) {
                thread_.join(); // one that ended by itself
            }
            static const bool once = [] {
                XInitThreads();
                XSetErrorHandler(ignoreXError);
                return true;
            }();
            (void)once;
            Display* display = XOpenDisplay(nullptr);
            if (display == nullptr) {
                return;
            }
            running_ = true;
            busy_ = true;
            thread_ = std::thread([this, display] {
                run(display);
                busy_ = false;
            });
        }
        work_.push_back(std::move(work));
        wake();
    }

private:
    void wake() const {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }

    void run(Display* display) {
        Tray tray(display);
        for (;;) {
            std::deque<std::function<void(Tray&)>> work;
            bool stop = false;
            {
                std::lock_guard lock(mutex_);
                work.swap(work_);
                stop = stopping_;
            }
            for (auto& w : work) {
                w(tray);
            }
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                tray.handle(event);
            }
            const int wait = tray.tick();
            XFlush(display);
            {
                std::lock_guard lock(mutex_);
                if (stop || (tray.idle() && work_.empty())) {
                    running_ = false;
                    return;
                }
            }
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, wait) < 0 && errno != EINTR) {
                break;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                (void)!::read(wakeFd_, &count, sizeof count);
            }
            if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                tray.markLost();
                break;
            }
        }
        std::lock_guard lock(mutex_);
        running_ = false;
        work_.clear();
    }

    std::mutex mutex_;
    std::deque<std::function<void(Tray&)>> work_;
    std::thread thread_;
    bool running_ = false;
    bool stopping_ = false;
    std::atomic<bool> busy_{false}; // until the connection is closed
    int wakeFd_;
};

Pump& pump() {
    static Pump p;
    return p;
}

} // namespace

bool x11ShellVisible() {
    return platform::ui::chooseBackend(std::getenv("CORVANTIX_UI_BACKEND"),
                                       std::getenv("DISPLAY")) ==
           platform::ui::BackendChoice::Visible;
}

void x11IconSet(const TrayIconView& icon) {
    if (x11ShellVisible()) {
        pump().submit([icon](Tray& tray) { tray.setIcon(icon); }, true);
    }
}

void x11IconBalloon(const std::string& window, std::uint32_t id, const std::u16string& title,
                    const std::u16string& text) {
    if (x11ShellVisible()) {
        pump().submit([=](Tray& tray) { tray.showBalloon(window, id, title, text); }, false);
    }
}

void x11IconRemove(const std::string& window, std::uint32_t id) {
    pump().submit([=](Tray& tray) { tray.removeIcon(window, id); }, false);
}

void x11MenuOpen(const std::string& token, const std::vector<MenuItem>& items,
                 platform::ui::Point at, std::uint32_t flags) {
    if (x11ShellVisible()) {
        pump().submit([=](Tray& tray) { tray.openMenu(token, items, at, flags); }, true);
    }
}

bool x11ShellBusy() {
    return pump().busy();
}

void x11MenuClose(const std::string& token) {
    pump().submit([token](Tray& tray) { tray.closeMenu(token); }, false);
}

} // namespace platform::shell::detail
