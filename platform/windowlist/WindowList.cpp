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

// A window file holds the top-most flag on its first line and the title after it.
bool writeWindow(const TopLevelWindow& window) {
    const auto path = windowFile(window.handle);
    const auto temp = fs::path(path.string() + ".new");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out << (window.topMost ? '1' : '0') << '\n' << window.title;
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
    std::string flag;
    std::getline(in, flag);
    std::ostringstream title;
    title << in.rdbuf();
    TopLevelWindow window;
    window.handle = handle;
    window.owner = static_cast<pid_t>(handle >> 32);
    window.topMost = flag == "1";
    window.title = title.str();
    return window;
}

} // namespace

WindowHandle createTopLevelWindow(std::string_view title) {
    TopLevelWindow window;
    window.owner = getpid();
    window.handle = (static_cast<WindowHandle>(static_cast<std::uint32_t>(window.owner)) << 32) |
                    nextSerial.fetch_add(1);
    window.title = std::string(title);
    return writeWindow(window) ? window.handle : 0;
}

void destroyTopLevelWindow(WindowHandle window) {
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

std::optional<TopLevelWindow> findTopLevelWindow(WindowHandle window) {
    if (window == 0) {
        return std::nullopt;
    }
    return readWindow(window);
}

bool setWindowTopMost(WindowHandle handle, bool topMost) {
    auto window = findTopLevelWindow(handle);
    if (!window) {
        return false;
    }
    window->topMost = topMost;
    return writeWindow(*window);
}

} // namespace platform
