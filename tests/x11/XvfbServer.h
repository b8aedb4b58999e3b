#pragma once

// A private X server for one test: Xvfb on a display number it picks itself
// (-displayfd), named in DISPLAY for the test's process while it runs, and
// stopped (DISPLAY unset again) at the end.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace x11_test {

class XvfbServer {
public:
    XvfbServer() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args = {"Xvfb",         "-displayfd", fd,    "-screen", "0",
                                         "1280x1024x24", "-nolisten",  "tcp", "-noreset"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        // Its chatter stays out of the test's output.
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            pid_ = -1;
            ::close(fds[0]);
            return;
        }
        // The server writes its number once it takes connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
            char chunk[16];
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            number.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (number.find('\n') == std::string::npos) {
            return;
        }
        name_ = ":" + number.substr(0, number.find('\n'));
        ::setenv("DISPLAY", name_.c_str(), 1);
    }

    ~XvfbServer() {
        ::unsetenv("DISPLAY");
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Empty when the server did not come up.
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

// A connection of the test's own, to look at the screen and play the mouse.
struct RootPoint {
    int x = 0;
    int y = 0;
};

// A point of a window on the root window, where the pointer goes.
inline RootPoint onRoot(Display* display, ::Window window, int x, int y) {
    RootPoint point;
    ::Window child = 0;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &point.x, &point.y,
                          &child);
    return point;
}

class TestDisplay {
public:
    explicit TestDisplay(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~TestDisplay() {
        if (display_ != nullptr) {
            XCloseDisplay(display_);
        }
    }
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;
    Display* get() const { return display_; }

    // A text property of a window as UTF-8 bytes (empty when absent).
    std::string property(unsigned long window, const char* name) const {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::string value;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, name, False), 0, 4096, False,
                               AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
            data != nullptr) {
            value.assign(reinterpret_cast<const char*>(data), count);
        }
        if (data != nullptr) {
            XFree(data);
        }
        return value;
    }

    // The window's pixels as 0x00BBGGRR, row by row.
    struct Image {
        int width = 0;
        int height = 0;
        std::vector<std::uint32_t> pixels;
        std::uint32_t at(int x, int y) const {
            return pixels[static_cast<std::size_t>(y * width + x)];
        }
    };
    Image capture(unsigned long window) const {
        Image image;
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, window, &attributes) == 0) {
            return image;
        }
        XImage* x = XGetImage(display_, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
        if (x == nullptr) {
            return image;
        }
        const auto part = [](unsigned long pixel, unsigned long mask) {
            int shift = 0;
            while (mask != 0 && (mask & 1) == 0) {
                mask >>= 1;
                ++shift;
            }
            return static_cast<std::uint32_t>(((pixel >> shift) & mask) * 255 / (mask ? mask : 1));
        };
        image.width = attributes.width;
        image.height = attributes.height;
        for (int y = 0; y < image.height; ++y) {
            for (int i = 0; i < image.width; ++i) {
                const unsigned long p = XGetPixel(x, i, y);
                image.pixels.push_back(part(p, x->red_mask) | (part(p, x->green_mask) << 8) |
                                       (part(p, x->blue_mask) << 16));
            }
        }
        XDestroyImage(x);
        return image;
    }

    // Moves the pointer to a point of a window and clicks a button there.
    void click(unsigned long window, int x, int y, unsigned button = 1) const {
        const RootPoint at = onRoot(display_, window, x, y);
        XWarpPointer(display_, 0, DefaultRootWindow(display_), 0, 0, 0, 0, at.x, at.y);
        XSync(display_, False);
        XTestFakeButtonEvent(display_, button, True, CurrentTime);
        XTestFakeButtonEvent(display_, button, False, CurrentTime);
        XSync(display_, False);
    }

private:
    Display* display_;
};

} // namespace x11_test
