#pragma once

// A tray host of a test's own on its private X server, and looks at the
// shell's top-level windows there.

#include "tests/x11/XvfbServer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

namespace x11_test {

using namespace std::chrono_literals;

// Windows of the shell may go between the test's looks at them.
inline int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A tray host: owns _NET_SYSTEM_TRAY_S0, announces itself with MANAGER, and
// embeds each window that asks to dock by reparenting it into its own and
// telling it so with XEMBED_EMBEDDED_NOTIFY.
class TrayHost {
public:
    struct Docked {
        ::Window window = 0;
        bool hadInfo = false; // _XEMBED_INFO was set when it asked
        long flags = 0;
    };

    explicit TrayHost(const std::string& display) : x_(XOpenDisplay(display.c_str())) {
        const ::Window root = DefaultRootWindow(x_);
        window_ = XCreateSimpleWindow(x_, root, 900, 980, 300, 30, 0, 0, 0x303030);
        XMapWindow(x_, window_);
        opcode_ = XInternAtom(x_, "_NET_SYSTEM_TRAY_OPCODE", False);
        info_ = XInternAtom(x_, "_XEMBED_INFO", False);
        xembed_ = XInternAtom(x_, "_XEMBED", False);
        const Atom selection = XInternAtom(x_, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(x_, selection, window_, CurrentTime);
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = root;
        e.xclient.message_type = XInternAtom(x_, "MANAGER", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = CurrentTime;
        e.xclient.data.l[1] = static_cast<long>(selection);
        e.xclient.data.l[2] = static_cast<long>(window_);
        XSendEvent(x_, root, False, StructureNotifyMask, &e);
        XSync(x_, False);
        thread_ = std::thread([this] { serve(); });
    }
    ~TrayHost() {
        stop_ = true;
        thread_.join();
        XCloseDisplay(x_);
    }
    TrayHost(const TrayHost&) = delete;
    TrayHost& operator=(const TrayHost&) = delete;

    ::Window window() const { return window_; }

    std::vector<Docked> docked() const {
        std::lock_guard lock(mutex_);
        return docked_;
    }

private:
    void serve() {
        while (!stop_) {
            while (XPending(x_) > 0) {
                XEvent e;
                XNextEvent(x_, &e);
                if (e.type == ClientMessage && e.xclient.message_type == opcode_ &&
                    e.xclient.data.l[1] == 0) {
                    embed(static_cast<::Window>(e.xclient.data.l[2]));
                }
            }
            pollfd p{ConnectionNumber(x_), POLLIN, 0};
            ::poll(&p, 1, 20);
        }
    }

    void embed(::Window icon) {
        Docked docked{icon, false, 0};
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(x_, icon, info_, 0, 2, False, AnyPropertyType, &type, &format,
                               &count, &after, &data) == Success &&
            data != nullptr && format == 32 && count == 2) {
            docked.hadInfo = true;
            docked.flags = reinterpret_cast<long*>(data)[1];
        }
        if (data != nullptr) {
            XFree(data);
        }
        int slot = 0;
        {
            std::lock_guard lock(mutex_);
            slot = static_cast<int>(docked_.size());
            docked_.push_back(docked);
        }
        XAddToSaveSet(x_, icon);
        XReparentWindow(x_, icon, window_, 4 + 28 * slot, 3);
        if ((docked.flags & 1) != 0) {
            XMapWindow(x_, icon);
        }
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = icon;
        e.xclient.message_type = xembed_;
        e.xclient.format = 32;
        e.xclient.data.l[0] = CurrentTime;
        e.xclient.data.l[1] = 0; // XEMBED_EMBEDDED_NOTIFY
        e.xclient.data.l[3] = static_cast<long>(window_);
        XSendEvent(x_, icon, False, NoEventMask, &e);
        XSync(x_, False);
    }

    Display* x_;
    ::Window window_ = 0;
    Atom opcode_ = 0, info_ = 0, xembed_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Docked> docked_;
    std::thread thread_;
};

inline std::vector<::Window> childrenOf(Display* x, ::Window parent) {
    ::Window root = 0;
    ::Window up = 0;
    ::Window* list = nullptr;
    unsigned count = 0;
    std::vector<::Window> out;
    if (XQueryTree(x, parent, &root, &up, &list, &count) != 0 && list != nullptr) {
        out.assign(list, list + count);
        XFree(list);
    }
    return out;
}

inline bool viewable(Display* x, ::Window w) {
    XWindowAttributes a{};
    return XGetWindowAttributes(x, w, &a) != 0 && a.map_state == IsViewable;
}

inline Atom windowType(Display* x, ::Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    Atom value = 0;
    if (XGetWindowProperty(x, w, XInternAtom(x, "_NET_WM_WINDOW_TYPE", False), 0, 1, False, XA_ATOM,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32 && count == 1) {
        value = *reinterpret_cast<const Atom*>(data);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return value;
}

// The shown top-level windows whose _NET_WM_WINDOW_TYPE is that type.
inline std::vector<::Window> shownWindowsOfType(Display* x, const char* type) {
    const Atom wanted = XInternAtom(x, type, False);
    std::vector<::Window> found;
    for (const ::Window w : childrenOf(x, DefaultRootWindow(x))) {
        if (viewable(x, w) && windowType(x, w) == wanted) {
            found.push_back(w);
        }
    }
    return found;
}

inline ::Window waitShownOfType(Display* x, const char* type,
                                std::chrono::milliseconds limit = 5s) {
    ::Window window = 0;
    waitUntil(
        [&] {
            const auto all = shownWindowsOfType(x, type);
            window = all.empty() ? 0 : all.front();
            return window != 0;
        },
        limit);
    return window;
}

// The window the host docked, once it is on the screen; 0 when none came.
inline ::Window waitDocked(Display* x, const TrayHost& host, std::size_t index = 0,
                           std::chrono::milliseconds limit = 5s) {
    ::Window window = 0;
    const bool docked = waitUntil(
        [&] {
            const auto all = host.docked();
            window = all.size() > index ? all[index].window : 0;
            return window != 0 && viewable(x, window);
        },
        limit);
    return docked ? window : 0;
}

inline void typeKey(Display* x, KeySym sym) {
    const KeyCode code = XKeysymToKeycode(x, sym);
    XTestFakeKeyEvent(x, code, True, CurrentTime);
    XTestFakeKeyEvent(x, code, False, CurrentTime);
    XSync(x, False);
}

} // namespace x11_test
