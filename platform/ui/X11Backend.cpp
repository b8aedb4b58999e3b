#include "platform/ui/X11Backend.h"

#include "platform/text/TextCodec.h"
#include "platform/ui/Messages.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// After our own headers: Xlib defines macros (None, Bool, Status) that
// would clash with names there.
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace platform::ui {
namespace {

// The pump hands actions on without waiting for the dialog's thread.
constexpr Milliseconds kNoWait(0);

std::mutex& xftMutex() {
    return xftLock();
}

// A failed request (a window that went meanwhile) must not end the process.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

void initXlibOnce() {
    static const bool done = [] {
        XInitThreads();
        XSetErrorHandler(ignoreXError);
        return true;
    }();
    (void)done;
}

unsigned long scaleToMask(unsigned value, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const unsigned long scaled =
        bits >= 8 ? static_cast<unsigned long>(value) << (bits - 8) : value >> (8 - bits);
    return scaled << shift;
}

// Strips the mnemonic marks of a control's label ("&OK" shows "OK", "&&" one "&").
std::u16string withoutMnemonics(std::u16string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size()) {
            ++i;
        }
        out += text[i];
    }
    return out;
}

Rect offsetRect(const Rect& r, int dx, int dy) {
    return {r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

Rect intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    if (r.right < r.left) {
        r.right = r.left;
    }
    if (r.bottom < r.top) {
        r.bottom = r.top;
    }
    return r;
}

// A shade of a colour: factor 256 keeps it.
Colour shade(Colour c, int factor) {
    const auto part = [factor](int v) {
        return static_cast<std::uint8_t>(std::clamp(v * factor / 256, 0, 255));
    };
    return rgb(part(redOf(c)), part(greenOf(c)), part(blueOf(c)));
}

// The colour of a bitmap of ours, fixed per id.
Colour bitmapColour(std::uint32_t id) {
    std::uint32_t h = id * 2654435761u;
    h ^= h >> 15;
    return rgb(static_cast<std::uint8_t>(64 + (h & 0x7F)),
               static_cast<std::uint8_t>(64 + ((h >> 8) & 0x7F)),
               static_cast<std::uint8_t>(64 + ((h >> 16) & 0x7F)));
}

struct KeyName {
    KeySym sym;
    std::uint32_t key;
};

constexpr KeyName kNamedKeys[] = {
    {XK_Return, kVkReturn}, {XK_KP_Enter, kVkReturn},  {XK_Escape, kVkEscape},
    {XK_Tab, kVkTab},       {XK_ISO_Left_Tab, kVkTab}, {XK_BackSpace, kVkBack},
    {XK_Delete, kVkDelete}, {XK_KP_Delete, kVkDelete}, {XK_Left, kVkLeft},
    {XK_KP_Left, kVkLeft},  {XK_Right, kVkRight},      {XK_KP_Right, kVkRight},
    {XK_Home, kVkHome},     {XK_KP_Home, kVkHome},     {XK_End, kVkEnd},
    {XK_KP_End, kVkEnd},    {XK_space, kVkSpace},      {XK_Caps_Lock, kVkCapital},
};

} // namespace

// One display connection and the thread that serves it. The model's calls
// queue requests; everything Xlib is done by the pump alone.
struct X11Backend::Connection {
    std::thread::id owner; // the dialogs' thread
    X11Backend* backend = nullptr;
    Display* display = nullptr;
    int wakeFd = -1;
    std::thread pump;

    // Guarded by the backend's mutex.
    std::deque<std::pair<Window, bool>> requests; // dialog, closed
    int dialogs = 0;                              // open on this connection
    bool stopping = false;
    bool finished = false;

    // The pump's own.
    struct Shown {
        ::Window window = 0;
        Pixmap pixmap = 0;
        XftDraw* draw = nullptr;
        int width = 0;
        int height = 0;
        DialogSnapshot snapshot;
        bool topMost = false;
        Window pressed = 0; // the control the left button went down on
        Window hovered = 0;
    };
    std::map<Window, Shown> shown;
    std::map<std::tuple<std::u16string, int, int>, XftFont*> fonts;
    GC gc = nullptr;
    Atom wmProtocols = 0, wmDelete = 0, netWmName = 0, utf8String = 0, netWmState = 0,
         netWmStateAbove = 0, netWmStateModal = 0, netWmWindowType = 0, netWmTypeDialog = 0;

    ~Connection() {
        for (auto& [dialog, s] : shown) {
            destroy(s);
        }
        {
            std::lock_guard lock(xftMutex());
            for (auto& [key, font] : fonts) {
                XftFontClose(display, font);
            }
        }
        if (gc != nullptr) {
            XFreeGC(display, gc);
        }
        if (display != nullptr) {
            std::lock_guard lock(xftMutex());
            XCloseDisplay(display);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void wake() const {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }

    void setup() {
        const int screen = DefaultScreen(display);
        gc = XCreateGC(display, RootWindow(display, screen), 0, nullptr);
        const auto atom = [this](const char* name) { return XInternAtom(display, name, False); };
        wmProtocols = atom("WM_PROTOCOLS");
        wmDelete = atom("WM_DELETE_WINDOW");
        netWmName = atom("_NET_WM_NAME");
        utf8String = atom("UTF8_STRING");
        netWmState = atom("_NET_WM_STATE");
        netWmStateAbove = atom("_NET_WM_STATE_ABOVE");
        netWmStateModal = atom("_NET_WM_STATE_MODAL");
        netWmWindowType = atom("_NET_WM_WINDOW_TYPE");
        netWmTypeDialog = atom("_NET_WM_WINDOW_TYPE_DIALOG");
    }

    unsigned long pixel(Colour c) const {
        Visual* v = DefaultVisual(display, DefaultScreen(display));
        return scaleToMask(redOf(c), v->red_mask) | scaleToMask(greenOf(c), v->green_mask) |
               scaleToMask(blueOf(c), v->blue_mask);
    }

    void run() {
        setup();
        for (;;) {
            std::vector<std::pair<Window, bool>> work;
            bool stop = false;
            {
                std::lock_guard lock(backend->mutex_);
                work.assign(requests.begin(), requests.end());
                requests.clear();
                stop = stopping;
            }
            // A dialog changed several times is drawn once, as it is now.
            std::vector<Window> seen;
            std::vector<std::pair<Window, std::uint64_t>> drawn;
            for (auto it = work.rbegin(); it != work.rend(); ++it) {
                if (std::find(seen.begin(), seen.end(), it->first) != seen.end()) {
                    continue;
                }
                seen.push_back(it->first);
                if (it->second) {
                    close(it->first);
                } else if (const auto upTo = show(it->first)) {
                    drawn.emplace_back(it->first, *upTo);
                }
            }
            XSync(display, False);
            settle(drawn);
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                handle(event);
            }
            if (stop) {
                std::lock_guard lock(backend->mutex_);
                if (requests.empty()) {
                    return;
                }
                continue;
            }
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                (void)!::read(wakeFd, &count, sizeof count);
            }
            if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                return;
            }
        }
    }

    // Records what reached the display (the display has handled it).
    void settle(const std::vector<std::pair<Window, std::uint64_t>>& drawn) {
        std::lock_guard lock(backend->mutex_);
        for (const auto& [dialog, upTo] : drawn) {
            const auto it = backend->shown_.find(dialog);
            if (it == backend->shown_.end()) {
                continue;
            }
            const auto mine = shown.find(dialog);
            it->second.xWindow = mine != shown.end() ? mine->second.window : 0;
            it->second.drawn = std::max(it->second.drawn, upTo);
        }
        backend->changed_.notify_all();
    }

    void markMapped(Window dialog, bool mapped) {
        std::lock_guard lock(backend->mutex_);
        const auto it = backend->shown_.find(dialog);
        if (it != backend->shown_.end()) {
            it->second.mapped = mapped;
        }
        backend->changed_.notify_all();
    }

    ::Window xWindowOfDialog(Window dialog) {
        std::lock_guard lock(backend->mutex_);
        const auto it = backend->shown_.find(dialog);
        return it != backend->shown_.end() ? it->second.xWindow : 0;
    }

    void destroy(Shown& s) {
        if (s.draw != nullptr) {
            std::lock_guard lock(xftMutex());
            XftDrawDestroy(s.draw);
        }
        if (s.pixmap != 0) {
            XFreePixmap(display, s.pixmap);
        }
        if (s.window != 0) {
            XDestroyWindow(display, s.window);
        }
        s = Shown{};
    }

    void close(Window dialog) {
        const auto it = shown.find(dialog);
        if (it != shown.end()) {
            destroy(it->second);
            shown.erase(it);
        }
    }

    void setTitle(::Window window, const std::u16string& caption) {
        const std::string utf8 = utf16ToUtf8(caption);
        XChangeProperty(display, window, netWmName, utf8String, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(utf8.data()),
                        static_cast<int>(utf8.size()));
        // WM_NAME in Latin-1 where the caption allows, else as UTF-8.
        std::string latin;
        bool fits = true;
        for (const char16_t unit : caption) {
            fits = fits && unit < 0x100;
            latin += static_cast<char>(unit);
        }
        const std::string& name = fits ? latin : utf8;
        XChangeProperty(display, window, XA_WM_NAME, fits ? XA_STRING : utf8String, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(name.data()),
                        static_cast<int>(name.size()));
    }

    // Asks the window manager to keep the window above others (or not).
    void setAbove(const Shown& s, bool above) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = s.window;
        e.xclient.message_type = netWmState;
        e.xclient.format = 32;
        e.xclient.data.l[0] = above ? 1 : 0;
        e.xclient.data.l[1] = static_cast<long>(netWmStateAbove);
        e.xclient.data.l[3] = 1;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &e);
    }

    void create(Window dialog, Shown& s) {
        const DialogSnapshot& snap = s.snapshot;
        const int screen = DefaultScreen(display);
        s.width = std::max(1, snap.clientRect.width());
        s.height = std::max(1, snap.clientRect.height());
        XSetWindowAttributes attributes{};
        attributes.background_pixel = pixel(systemColour(kColor3dFace));
        attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask |
                                PointerMotionMask | LeaveWindowMask | KeyPressMask |
                                StructureNotifyMask;
        s.window = XCreateWindow(display, RootWindow(display, screen), snap.clientRect.left,
                                 snap.clientRect.top, static_cast<unsigned>(s.width),
                                 static_cast<unsigned>(s.height), 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWBackPixel | CWEventMask, &attributes);
        XSetWMProtocols(display, s.window, &wmDelete, 1);
        XSizeHints* hints = XAllocSizeHints();
        hints->flags = PPosition | USPosition | PMinSize | PMaxSize;
        hints->x = snap.clientRect.left;
        hints->y = snap.clientRect.top;
        hints->min_width = hints->max_width = s.width;
        hints->min_height = hints->max_height = s.height;
        XSetWMNormalHints(display, s.window, hints);
        XFree(hints);
        XWMHints wm{};
        wm.flags = InputHint;
        wm.input = True;
        XSetWMHints(display, s.window, &wm);
        XChangeProperty(display, s.window, netWmWindowType, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&netWmTypeDialog), 1);
        std::vector<Atom> states;
        if (snap.topMost) {
            states.push_back(netWmStateAbove);
        }
        if (snap.modal) {
            states.push_back(netWmStateModal);
        }
        if (!states.empty()) {
            XChangeProperty(display, s.window, netWmState, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(states.data()),
                            static_cast<int>(states.size()));
        }
        s.topMost = snap.topMost;
        if (snap.owner != 0) {
            if (const ::Window owner = xWindowOfDialog(snap.owner)) {
                XSetTransientForHint(display, s.window, owner);
            }
        }
        XClassHint classHint{};
        std::string name = "corvantix-dialog";
        classHint.res_name = name.data();
        classHint.res_class = name.data();
        XSetClassHint(display, s.window, &classHint);
        setTitle(s.window, snap.caption);
        makePixmap(s);
        (void)dialog;
    }

    void makePixmap(Shown& s) {
        std::lock_guard lock(xftMutex());
        if (s.draw != nullptr) {
            XftDrawDestroy(s.draw);
        }
        if (s.pixmap != 0) {
            XFreePixmap(display, s.pixmap);
        }
        const int screen = DefaultScreen(display);
        s.pixmap = XCreatePixmap(display, s.window, static_cast<unsigned>(s.width),
                                 static_cast<unsigned>(s.height),
                                 static_cast<unsigned>(DefaultDepth(display, screen)));
        s.draw = XftDrawCreate(display, s.pixmap, DefaultVisual(display, screen),
                               DefaultColormap(display, screen));
    }

    // Draws a dialog as it is now; the number of the last change this
    // covers, nullopt when the dialog went.
    std::optional<std::uint64_t> show(Window dialog) {
        std::uint64_t upTo = 0;
        {
            std::lock_guard lock(backend->mutex_);
            const auto it = backend->shown_.find(dialog);
            if (it == backend->shown_.end()) {
                return std::nullopt;
            }
            upTo = it->second.wanted;
        }
        auto snapshot = snapshotDialog(dialog);
        auto found = shown.find(dialog);
        if (!snapshot) {
            // Hidden (or not yet shown): off the screen until it is again.
            if (found != shown.end() && found->second.window != 0) {
                XUnmapWindow(display, found->second.window);
                markMapped(dialog, false);
            }
            return upTo;
        }
        Shown& s = shown[dialog];
        const std::u16string oldCaption = s.snapshot.caption;
        const bool fresh = s.window == 0;
        s.snapshot = std::move(*snapshot);
        if (fresh) {
            create(dialog, s);
        } else {
            const int width = std::max(1, s.snapshot.clientRect.width());
            const int height = std::max(1, s.snapshot.clientRect.height());
            if (width != s.width || height != s.height) {
                s.width = width;
                s.height = height;
                XResizeWindow(display, s.window, static_cast<unsigned>(width),
                              static_cast<unsigned>(height));
                makePixmap(s);
            }
            if (oldCaption != s.snapshot.caption) {
                setTitle(s.window, s.snapshot.caption);
            }
            if (s.topMost != s.snapshot.topMost) {
                s.topMost = s.snapshot.topMost;
                setAbove(s, s.topMost);
            }
        }
        paint(s);
        XMapRaised(display, s.window);
        XCopyArea(display, s.pixmap, s.window, gc, 0, 0, static_cast<unsigned>(s.width),
                  static_cast<unsigned>(s.height), 0, 0);
        return upTo;
    }

    // Drawing -------------------------------------------------------------

    void fill(const Shown& s, const Rect& r, Colour colour) {
        if (r.width() <= 0 || r.height() <= 0) {
            return;
        }
        XSetForeground(display, gc, pixel(colour));
        XFillRectangle(display, s.pixmap, gc, r.left, r.top, static_cast<unsigned>(r.width()),
                       static_cast<unsigned>(r.height()));
    }

    void line(const Shown& s, int x1, int y1, int x2, int y2, Colour colour) {
        XSetForeground(display, gc, pixel(colour));
        XDrawLine(display, s.pixmap, gc, x1, y1, x2, y2);
    }

    // A frame: raised (light top-left) or sunken.
    void frame(const Shown& s, const Rect& r, bool raised) {
        const Colour light = rgb(255, 255, 255);
        const Colour dark = rgb(160, 160, 160);
        const Colour first = raised ? light : dark;
        const Colour second = raised ? dark : light;
        line(s, r.left, r.top, r.right - 1, r.top, first);
        line(s, r.left, r.top, r.left, r.bottom - 1, first);
        line(s, r.left, r.bottom - 1, r.right - 1, r.bottom - 1, second);
        line(s, r.right - 1, r.top, r.right - 1, r.bottom - 1, second);
    }

    void outline(const Shown& s, const Rect& r, Colour colour) {
        XSetForeground(display, gc, pixel(colour));
        XDrawRectangle(display, s.pixmap, gc, r.left, r.top,
                       static_cast<unsigned>(std::max(0, r.width() - 1)),
                       static_cast<unsigned>(std::max(0, r.height() - 1)));
    }

    // Our image of a bitmap: a solid panel with a disc, in colours of its id.
    void bitmap(const Shown& s, std::uint32_t id, const Rect& r) {
        const Colour colour = bitmapColour(id);
        fill(s, r, colour);
        outline(s, r, shade(colour, 160));
        const int size = std::min(r.width(), r.height()) / 2;
        if (size > 0) {
            XSetForeground(display, gc, pixel(shade(colour, 360)));
            XFillArc(display, s.pixmap, gc, r.left + (r.width() - size) / 2,
                     r.top + (r.height() - size) / 2, static_cast<unsigned>(size),
                     static_cast<unsigned>(size), 0, 360 * 64);
        }
    }

    XftFont* font(const Font& wanted, const DialogSnapshot& dialog) {
        std::u16string face = wanted.face.empty() ? dialog.font.face : wanted.face;
        int height = std::abs(wanted.height);
        if (height == 0) {
            height = std::abs(dialog.font.height);
        }
        if (height == 0) {
            height = 12;
        }
        const int weight = wanted.weight;
        const auto key = std::make_tuple(face, height, weight);
        if (const auto it = fonts.find(key); it != fonts.end()) {
            return it->second;
        }
        // The face when the system has it; else a face for traditional
        // Chinese, which covers Latin text as well.
        const std::string family = utf16ToUtf8(face);
        XftFont* made =
            XftFontOpen(display, DefaultScreen(display), XFT_FAMILY, XftTypeString, family.c_str(),
                        FC_LANG, XftTypeString, "zh-tw", XFT_PIXEL_SIZE, XftTypeDouble,
                        static_cast<double>(height), XFT_WEIGHT, XftTypeInteger,
                        weight >= kFontWeightBold ? XFT_WEIGHT_BOLD : XFT_WEIGHT_MEDIUM, nullptr);
        if (made == nullptr) {
            made = XftFontOpenName(display, DefaultScreen(display), "sans-serif");
        }
        fonts[key] = made;
        return made;
    }

    int textWidth(XftFont* f, const std::string& utf8) {
        XGlyphInfo extents{};
        XftTextExtentsUtf8(display, f, reinterpret_cast<const FcChar8*>(utf8.data()),
                           static_cast<int>(utf8.size()), &extents);
        return extents.xOff;
    }

    // Lines of a text as they fit a width: at line breaks always, and where
    // the text is too wide when asked to break: after a space, or between
    // two ideographs; a word too long for the width is cut off, not split.
    std::vector<std::u16string> lines(XftFont* f, std::u16string_view text, int width, bool wrap) {
        std::vector<std::u16string> out;
        std::u16string current;
        const auto widthOf = [&](const std::u16string& t) { return textWidth(f, utf16ToUtf8(t)); };
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char16_t unit = text[i];
            if (unit == u'\r') {
                continue;
            }
            if (unit == u'\n') {
                out.push_back(std::move(current));
                current.clear();
                continue;
            }
            current += unit;
            if (wrap && current.size() > 1 && widthOf(current) > width) {
                const std::size_t space = current.rfind(u' ', current.size() - 2);
                const bool ideograph = unit >= 0x2E80 || current[current.size() - 2] >= 0x2E80;
                std::u16string rest;
                if (ideograph) {
                    rest = current.substr(current.size() - 1);
                    current.pop_back();
                } else if (space != std::u16string::npos && space > 0) {
                    rest = current.substr(space + 1);
                    current.resize(space);
                } else {
                    continue;
                }
                out.push_back(std::move(current));
                current = std::move(rest);
            }
        }
        out.push_back(std::move(current));
        return out;
    }

    void setClip(const Shown& s, const Rect& clip) {
        XRectangle r{static_cast<short>(clip.left), static_cast<short>(clip.top),
                     static_cast<unsigned short>(std::max(0, clip.width())),
                     static_cast<unsigned short>(std::max(0, clip.height()))};
        XftDrawSetClipRectangles(s.draw, 0, 0, &r, 1);
        XSetClipRectangles(display, gc, 0, 0, &r, 1, Unsorted);
    }

    void clearClip(const Shown& s) {
        XftDrawSetClip(s.draw, nullptr);
        XSetClipMask(display, gc, 0);
    }

    void text(const Shown& s, std::u16string_view content, const Rect& r, const Font& f,
              Colour colour, std::optional<Colour> background, std::uint32_t format) {
        XftFont* xf = font(f, s.snapshot);
        if (xf == nullptr) {
            return;
        }
        const bool single = (format & kDtSingleLine) != 0;
        std::u16string flat(content);
        if (single) {
            std::replace(flat.begin(), flat.end(), u'\n', u' ');
        }
        const auto rows = lines(xf, flat, r.width(), !single && (format & kDtWordBreak) != 0);
        const int lineHeight = xf->ascent + xf->descent;
        int y = r.top;
        if (single && (format & kDtVCenter) != 0) {
            y = r.top + (r.height() - lineHeight) / 2;
        }
        XRenderColor rc{static_cast<unsigned short>(redOf(colour) * 257),
                        static_cast<unsigned short>(greenOf(colour) * 257),
                        static_cast<unsigned short>(blueOf(colour) * 257), 0xFFFF};
        XftColor xc{};
        const int screen = DefaultScreen(display);
        XftColorAllocValue(display, DefaultVisual(display, screen),
                           DefaultColormap(display, screen), &rc, &xc);
        for (const auto& row : rows) {
            const std::string utf8 = utf16ToUtf8(row);
            const int width = textWidth(xf, utf8);
            int x = r.left;
            if ((format & kDtCenter) != 0) {
                x = r.left + (r.width() - width) / 2;
            } else if ((format & kDtRight) != 0) {
                x = r.right - width;
            }
            if (background) {
                fill(s, intersect({x, y, x + width, y + lineHeight}, r), *background);
            }
            XftDrawStringUtf8(s.draw, &xc, xf, x, y + xf->ascent,
                              reinterpret_cast<const FcChar8*>(utf8.data()),
                              static_cast<int>(utf8.size()));
            y += lineHeight;
        }
        XftColorFree(display, DefaultVisual(display, screen), DefaultColormap(display, screen),
                     &xc);
    }

    // What a dialog or a control recorded, its rectangles moved by dx, dy.
    void replay(const Shown& s, const std::vector<DrawOp>& ops, int dx, int dy, const Rect& clip) {
        for (const auto& op : ops) {
            setClip(s, clip);
            if (const auto* b = std::get_if<DrawnBitmap>(&op)) {
                bitmap(s, b->id, offsetRect(b->rect, dx, dy));
            } else if (const auto* t = std::get_if<DrawnText>(&op)) {
                text(s, t->text, offsetRect(t->rect, dx, dy), t->font, t->colour,
                     t->transparent ? std::nullopt : std::optional<Colour>(t->background),
                     t->format);
            } else if (const auto* f = std::get_if<FilledRect>(&op)) {
                fill(s, offsetRect(f->rect, dx, dy), f->colour);
            }
        }
        clearClip(s);
    }

    void paintControl(const Shown& s, const ControlSnapshot& c) {
        const Rect& r = c.rect;
        const Colour black = systemColour(kColorWindowText);
        const Colour grey = systemColour(kColorGrayText);
        switch (c.kind) {
        case ControlKind::Static: {
            setClip(s, r);
            if (c.background) {
                fill(s, r, *c.background);
            }
            std::uint32_t format = kDtWordBreak;
            format |= (c.style & kStyleCenter) != 0  ? kDtCenter
                      : (c.style & kStyleRight) != 0 ? kDtRight
                                                     : kDtLeft;
            text(s, withoutMnemonics(c.text), r, s.snapshot.font,
                 c.textColour.value_or(c.enabled ? black : grey), std::nullopt, format);
            clearClip(s);
            if ((c.style & kStyleBorder) != 0) {
                frame(s, r, false);
            }
            break;
        }
        case ControlKind::Group: {
            XftFont* xf = font(s.snapshot.font, s.snapshot);
            const int half = xf != nullptr ? (xf->ascent + xf->descent) / 2 : 6;
            frame(s, {r.left, r.top + half, r.right, r.bottom}, false);
            const std::u16string label = withoutMnemonics(c.text);
            if (!label.empty() && xf != nullptr) {
                const int width = textWidth(xf, utf16ToUtf8(label));
                text(s, label, {r.left + 8, r.top, r.left + 12 + width, r.top + 2 * half},
                     s.snapshot.font, c.textColour.value_or(black),
                     c.background.value_or(systemColour(kColor3dFace)), kDtLeft | kDtSingleLine);
            }
            break;
        }
        case ControlKind::Button:
            if (c.ownerDraw) {
                replay(s, c.drawing, r.left, r.top, r);
                break;
            }
            fill(s, r, c.background.value_or(systemColour(kColor3dFace)));
            if (c.defaultButton) {
                outline(s, r, black);
                frame(s, {r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, true);
            } else {
                frame(s, r, true);
            }
            setClip(s, r);
            text(s, withoutMnemonics(c.text), r, s.snapshot.font, c.enabled ? black : grey,
                 std::nullopt, kDtCenter | kDtVCenter | kDtSingleLine);
            clearClip(s);
            if (c.focused) {
                XSetLineAttributes(display, gc, 1, LineOnOffDash, CapButt, JoinMiter);
                outline(s, {r.left + 4, r.top + 4, r.right - 4, r.bottom - 4}, black);
                XSetLineAttributes(display, gc, 0, LineSolid, CapButt, JoinMiter);
            }
            break;
        case ControlKind::Edit: {
            const bool editable = c.enabled && !c.readOnly;
            fill(s, r, c.background.value_or(systemColour(editable ? kColorWindow : kColor3dFace)));
            if ((c.style & kStyleBorder) != 0) {
                frame(s, r, false);
            }
            paintEditText(s, c, {r.left + 3, r.top + 1, r.right - 3, r.bottom - 1},
                          c.textColour.value_or(c.enabled ? black : grey));
            break;
        }
        case ControlKind::Picture:
            replay(s, c.drawing, r.left, r.top, r);
            break;
        }
    }

    // An edit's text (as the screen shows it: masked already), scrolled so
    // the caret stays inside, with its selection and caret when focused.
    void paintEditText(const Shown& s, const ControlSnapshot& c, const Rect& r, Colour colour) {
        XftFont* xf = font(s.snapshot.font, s.snapshot);
        if (xf == nullptr) {
            return;
        }
        const auto prefixWidth = [&](int units) {
            const auto n = static_cast<std::size_t>(std::clamp(units, 0, int(c.text.size())));
            return textWidth(xf, utf16ToUtf8(std::u16string_view(c.text).substr(0, n)));
        };
        const int caret = prefixWidth(c.selectionEnd);
        const int scroll = std::max(0, caret - r.width() + 1);
        const int lineHeight = xf->ascent + xf->descent;
        const int top = r.top + (r.height() - lineHeight) / 2;
        setClip(s, r);
        if (c.focused && c.selectionStart != c.selectionEnd) {
            const int a = prefixWidth(std::min(c.selectionStart, c.selectionEnd));
            const int b = prefixWidth(std::max(c.selectionStart, c.selectionEnd));
            fill(s, {r.left + a - scroll, top, r.left + b - scroll, top + lineHeight},
                 rgb(173, 214, 255));
        }
        text(s, c.text, {r.left - scroll, r.top, r.right + caret, r.bottom}, s.snapshot.font,
             colour, std::nullopt, kDtLeft | kDtVCenter | kDtSingleLine);
        if (c.focused && c.enabled) {
            line(s, r.left + caret - scroll, top, r.left + caret - scroll, top + lineHeight - 1,
                 colour);
        }
        clearClip(s);
    }

    void paint(Shown& s) {
        std::lock_guard lock(xftMutex());
        const Rect client{0, 0, s.width, s.height};
        fill(s, client, systemColour(kColor3dFace));
        replay(s, s.snapshot.drawing, 0, 0, client);
        for (const auto& control : s.snapshot.controls) {
            if (control.visible) {
                paintControl(s, control);
            }
        }
    }

    // Input ---------------------------------------------------------------

    Shown* byWindow(::Window window, Window* dialog) {
        for (auto& [handle, s] : shown) {
            if (s.window == window) {
                *dialog = handle;
                return &s;
            }
        }
        return nullptr;
    }

    // The control under a point of the client area: the first in the
    // dialog's order that takes the mouse (statics and pictures let it
    // through unless they are all there is).
    static const ControlSnapshot* hit(const Shown& s, int x, int y, bool clickable) {
        const ControlSnapshot* any = nullptr;
        for (const auto& c : s.snapshot.controls) {
            if (!c.visible || !c.rect.contains({x, y})) {
                continue;
            }
            if (c.kind == ControlKind::Button || c.kind == ControlKind::Edit) {
                return &c;
            }
            if (any == nullptr) {
                any = &c;
            }
        }
        return clickable ? nullptr : any;
    }

    void hover(Shown& s, Window dialog, Window target) {
        if (s.hovered != target) {
            s.hovered = target;
            hoverWindow(target == 0 ? 0 : target, kNoWait);
        }
        (void)dialog;
    }

    void handle(XEvent& event) {
        Window dialog = 0;
        Shown* s = byWindow(event.xany.window, &dialog);
        if (s == nullptr) {
            return;
        }
        switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0) {
                XCopyArea(display, s->pixmap, s->window, gc, 0, 0, static_cast<unsigned>(s->width),
                          static_cast<unsigned>(s->height), 0, 0);
            }
            break;
        case MapNotify:
            markMapped(dialog, true);
            XSetInputFocus(display, s->window, RevertToParent, CurrentTime);
            break;
        case UnmapNotify:
            markMapped(dialog, false);
            break;
        case ButtonPress:
            if (event.xbutton.button == Button1) {
                const ControlSnapshot* c = hit(*s, event.xbutton.x, event.xbutton.y, true);
                s->pressed = c != nullptr ? c->handle : 0;
                if (c != nullptr && c->kind == ControlKind::Edit) {
                    focusControl(c->handle, kNoWait);
                }
            }
            break;
        case ButtonRelease:
            if (event.xbutton.button == Button1 && s->pressed != 0) {
                const ControlSnapshot* c = hit(*s, event.xbutton.x, event.xbutton.y, true);
                // A press let go over the same button is a click; the
                // layer refuses it when the button is disabled or hidden.
                if (c != nullptr && c->handle == s->pressed && c->kind == ControlKind::Button) {
                    clickControl(c->handle, kNoWait);
                }
                s->pressed = 0;
            }
            break;
        case MotionNotify: {
            const ControlSnapshot* c = hit(*s, event.xmotion.x, event.xmotion.y, false);
            hover(*s, dialog, c != nullptr ? c->handle : dialog);
            break;
        }
        case LeaveNotify:
            hover(*s, dialog, 0);
            break;
        case KeyPress:
            key(dialog, event.xkey);
            break;
        case ClientMessage:
            if (event.xclient.message_type == wmProtocols &&
                static_cast<Atom>(event.xclient.data.l[0]) == wmDelete) {
                closeDialog(dialog, kNoWait);
            }
            break;
        default:
            break;
        }
    }

    void key(Window dialog, XKeyEvent& event) {
        char bytes[32];
        KeySym sym = NoSymbol;
        const int n = XLookupString(&event, bytes, sizeof bytes, &sym, nullptr);
        for (const auto& named : kNamedKeys) {
            if (named.sym == sym) {
                pressKey(dialog, named.key, kNoWait);
                return;
            }
        }
        const bool plain = (event.state & (ShiftMask | ControlMask | Mod1Mask)) == 0;
        if (plain && sym >= XK_0 && sym <= XK_9) {
            pressKey(dialog, static_cast<std::uint32_t>('0' + (sym - XK_0)), kNoWait);
        } else if (plain && sym >= XK_a && sym <= XK_z) {
            pressKey(dialog, static_cast<std::uint32_t>('A' + (sym - XK_a)), kNoWait);
        } else if (n > 0 && (event.state & ControlMask) == 0) {
            // Latin-1 as XLookupString gives it.
            std::u16string typed;
            for (int i = 0; i < n; ++i) {
                const auto unit = static_cast<unsigned char>(bytes[i]);
                if (unit >= 0x20 && unit != 0x7F) {
                    typed += static_cast<char16_t>(unit);
                }
            }
            if (!typed.empty()) {
                typeText(dialog, typed, kNoWait);
            }
        }
        explicit_bzero(bytes, sizeof bytes);
    }
};

std::shared_ptr<X11Backend> X11Backend::start(std::shared_ptr<ScriptedBackend> scripted,
                                              std::string display) {
    initXlibOnce();
    Display* probe = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (probe == nullptr) {
        return nullptr;
    }
    // Dialogs centre themselves on the screen they are shown on.
    const int screen = DefaultScreen(probe);
    setScreenSize({DisplayWidth(probe, screen), DisplayHeight(probe, screen)});
    XCloseDisplay(probe);
    return std::shared_ptr<X11Backend>(new X11Backend(std::move(scripted), std::move(display)));
}

X11Backend::~X11Backend() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard lock(mutex_);
        all = std::move(connections_);
        for (auto& connection : all) {
            connection->stopping = true;
        }
    }
    for (auto& connection : all) {
        connection->wake();
        if (connection->pump.joinable()) {
            connection->pump.join();
        }
    }
}

void X11Backend::reapStopped() {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        connection->pump.join();
    }
}

void X11Backend::request(Window dialog, bool close) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(mutex_);
        const auto it = shown_.find(dialog);
        if (it == shown_.end()) {
            return;
        }
        connection = it->second.connection;
        if (close) {
            shown_.erase(it);
            if (--connection->dialogs == 0) {
                connection->stopping = true;
            }
        } else {
            ++it->second.wanted;
        }
        connection->requests.emplace_back(dialog, close);
        changed_.notify_all();
    }
    connection->wake();
}

void X11Backend::dialogOpened(const DialogEvent& event) {
    // Taken in before the scripted user hears of it, so that whoever finds
    // the dialog there finds it here too.
    showOpened(event);
    if (scripted_) {
        scripted_->dialogOpened(event);
    }
}

void X11Backend::showOpened(const DialogEvent& event) {
    reapStopped();
    const auto self = std::this_thread::get_id();
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(mutex_);
        for (const auto& c : connections_) {
            if (c->owner == self && !c->stopping) {
                connection = c;
            }
        }
    }
    if (!connection) {
        Display* display = XOpenDisplay(display_.empty() ? nullptr : display_.c_str());
        if (display == nullptr) {
            return; // the dialog goes on unseen; the scripted user still has it
        }
        connection = std::make_shared<Connection>();
        connection->owner = self;
        connection->backend = this;
        connection->display = display;
        connection->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (connection->wakeFd < 0) {
            return;
        }
        connection->pump = std::thread([raw = connection.get()] {
            raw->run();
            std::lock_guard lock(raw->backend->mutex_);
            raw->stopping = true;
            raw->finished = true;
        });
        std::lock_guard lock(mutex_);
        connections_.push_back(connection);
    }
    {
        std::lock_guard lock(mutex_);
        Shown& s = shown_[event.dialog];
        s.connection = connection;
        ++connection->dialogs;
        changed_.notify_all();
    }
    request(event.dialog, false);
}

void X11Backend::dialogChanged(Window dialog) {
    if (scripted_) {
        scripted_->dialogChanged(dialog);
    }
    request(dialog, false);
}

void X11Backend::dialogClosed(const DialogEvent& event) {
    request(event.dialog, true);
    if (scripted_) {
        scripted_->dialogClosed(event);
    }
}

unsigned long X11Backend::xWindowOf(Window dialog) {
    std::lock_guard lock(mutex_);
    const auto it = shown_.find(dialog);
    return it != shown_.end() ? it->second.xWindow : 0;
}

bool X11Backend::waitShown(Window dialog, Milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, until, [&] { return shown_.count(dialog) != 0; })) {
        return false;
    }
    const std::uint64_t wanted = shown_.at(dialog).wanted;
    return changed_.wait_until(lock, until, [&] {
        const auto now = shown_.find(dialog);
        return now != shown_.end() && now->second.mapped && now->second.drawn >= wanted &&
               now->second.xWindow != 0;
    });
}

std::mutex& xftLock() {
    static std::mutex m;
    return m;
}

BackendChoice chooseBackend(const char* setting, const char* display) {
    const std::string_view chosen = setting != nullptr ? setting : "";
    if (chosen == "none") {
        return BackendChoice::NoBackend;
    }
    if (chosen == "scripted") {
        return BackendChoice::Scripted;
    }
    if (chosen == "x11") {
        return BackendChoice::Visible;
    }
    return display != nullptr && *display != '\0' ? BackendChoice::Visible
                                                  : BackendChoice::Scripted;
}

std::shared_ptr<Backend> startVisibleBackend() {
    auto scripted = ScriptedBackend::start();
    auto visible = X11Backend::start(scripted);
    if (visible) {
        return visible;
    }
    return scripted;
}

} // namespace platform::ui
