#include "platform/windowlist/WindowList.h"

#include "platform/folders/Folders.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

std::atomic<std::uint32_t> nextSerial{1};

fs::path listFolder() {
    const auto folder = folderPath(Folder::Run) / "windows";
    std::error_code ec;
    fs::create_directories(folder, ec);
    return folder;
}

// File name: "<pid>-<serial>"; the handle packs both.
fs::path windowFile(WindowHandle window) {
    const auto pid = static_cast<std::uint32_t>(window >> 32);
    const auto serial = static_cast<std::uint32_t>(window & 0xFFFFFFFFu);
    return listFolder() / (std::to_string(pid) + "-" + std::to_string(serial));
}

std::optional<WindowHandle> parseName(const std::string& name) {
    const auto dash = name.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= name.size()) {
        return std::nullopt;
    }
    try {
        const unsigned long pid = std::stoul(name.substr(0, dash));
        const unsigned long serial = std::stoul(name.substr(dash + 1));
        return (static_cast<WindowHandle>(pid) << 32) | (serial & 0xFFFFFFFFu);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool processAlive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// A window file holds the top-most flag, the enabled flag and the class on a
// line each, and the title after them.
bool writeWindow(const TopLevelWindow& window) {
    const auto path = windowFile(window.handle);
    const auto temp = fs::path(path.string() + ".new");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out << (window.topMost ? '1' : '0') << '\n'
            << (window.enabled ? '1' : '0') << '\n'
            << window.className << '\n'
            << window.title;
        if (!out) {
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    return !ec;
}

std::optional<TopLevelWindow> readWindow(WindowHandle handle) {
    std::ifstream in(windowFile(handle), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string topMost;
    std::string enabled;
    TopLevelWindow window;
    if (!std::getline(in, topMost) || !std::getline(in, enabled) ||
        !std::getline(in, window.className)) {
        return std::nullopt;
    }
    std::ostringstream title;
    title << in.rdbuf();
    window.handle = handle;
    window.owner = static_cast<pid_t>(handle >> 32);
    window.topMost = topMost == "1";
    window.enabled = enabled == "1";
    window.title = title.str();
    return window;
}

bool sameClass(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return fold(x) == fold(y); });
}

// The desktop's handle names no process (pid 0) and no file.
constexpr WindowHandle kDesktop = 1;

template <typename Change>
bool changeWindow(WindowHandle handle, Change change) {
    if (handle == kDesktop) {
        return false;
    }
    auto window = findTopLevelWindow(handle);
    if (!window) {
        return false;
    }
    change(*window);
    return writeWindow(*window);
}

} // namespace

WindowHandle createTopLevelWindow(std::string_view title, std::string_view className) {
    TopLevelWindow window;
    window.className = std::string(className);
    window.owner = getpid();
    window.handle = (static_cast<WindowHandle>(static_cast<std::uint32_t>(window.owner)) << 32) |
                    nextSerial.fetch_add(1);
    window.title = std::string(title);
    // A line break would end the class early; titles may hold any text.
    if (window.className.find('\n') != std::string::npos) {
        return 0;
    }
    return writeWindow(window) ? window.handle : 0;
}

void destroyTopLevelWindow(WindowHandle window) {
    if (window == 0 || window == kDesktop) {
        return;
    }
    std::error_code ec;
    fs::remove(windowFile(window), ec);
}

std::vector<TopLevelWindow> enumTopLevelWindows() {
    std::vector<TopLevelWindow> windows;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(listFolder(), ec)) {
        const auto name = entry.path().filename().string();
        const auto handle = parseName(name);
        if (!handle || name.ends_with(".new")) {
            continue;
        }
        if (!processAlive(static_cast<pid_t>(*handle >> 32))) {
            fs::remove(entry.path(), ec);
            continue;
        }
        if (auto window = readWindow(*handle)) {
            windows.push_back(std::move(*window));
        }
    }
    std::sort(windows.begin(), windows.end(),
              [](const auto& a, const auto& b) { return a.handle < b.handle; });
    return windows;
}

WindowHandle desktopWindow() {
    return kDesktop;
}

std::optional<TopLevelWindow> findTopLevelWindow(WindowHandle window) {
    if (window == 0) {
        return std::nullopt;
    }
    if (window == kDesktop) {
        TopLevelWindow desktop;
        desktop.handle = kDesktop;
        desktop.className = std::string(kDesktopWindowClass);
        return desktop;
    }
    return readWindow(window);
}

WindowHandle findWindowByClass(std::string_view className, std::optional<std::string_view> title) {
    for (const auto& window : enumTopLevelWindows()) {
        if (sameClass(window.className, className) && (!title || window.title == *title)) {
            return window.handle;
        }
    }
    return 0;
}

bool setWindowTopMost(WindowHandle handle, bool topMost) {
    return changeWindow(handle, [&](TopLevelWindow& w) { w.topMost = topMost; });
}

bool setWindowTitle(WindowHandle handle, std::string_view title) {
    return changeWindow(handle, [&](TopLevelWindow& w) { w.title = std::string(title); });
}

bool setWindowEnabled(WindowHandle handle, bool enabled) {
    return changeWindow(handle, [&](TopLevelWindow& w) { w.enabled = enabled; });
}

} // namespace platform
