#include "platform/devices/Devices.h"

#include "platform/folders/Folders.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Dialog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform::devices {
namespace {

namespace fs = std::filesystem;

struct Plugged {
    GUID interfaceClass{};
    std::string path;
};

fs::path deviceFolder() {
    const auto folder = folderPath(Folder::Run) / "devices";
    std::error_code ec;
    fs::create_directories(folder, ec);
    return folder;
}

bool validId(std::string_view id) {
    return !id.empty() && id.front() != '.' && id.find('/') == std::string_view::npos;
}

std::optional<Plugged> readDevice(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string guid;
    Plugged device;
    if (!in || !std::getline(in, guid) || !std::getline(in, device.path)) {
        return std::nullopt;
    }
    const auto parsed = parseGuid(guid);
    if (!parsed) {
        return std::nullopt;
    }
    device.interfaceClass = *parsed;
    return device;
}

// Every plugged device by id; ids sort in the order plugged.
std::map<std::string, Plugged> scanDevices() {
    std::map<std::string, Plugged> devices;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(deviceFolder(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!validId(name)) {
            continue;
        }
        if (auto device = readDevice(entry.path())) {
            devices.emplace(name, std::move(*device));
        }
    }
    return devices;
}

// ---- Notifications ------------------------------------------------------------

struct Registration {
    platform::ui::Window window = 0;
    GUID interfaceClass{};
};

// The watching thread of the process: inotify on the device folder, and an
// eventfd that tells it to stop.
class Watcher {
public:
    Watcher(std::map<std::string, Plugged> known, int inotifyFd, int stopFd)
        : known_(std::move(known)), inotify_(inotifyFd), stop_(stopFd), thread_([this] { run(); }) {
    }
    ~Watcher() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(inotify_);
        ::close(stop_);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

private:
    void run();

    std::map<std::string, Plugged> known_;
    int inotify_;
    int stop_;
    std::thread thread_;
};

struct State {
    std::mutex mutex;
    std::map<NotificationHandle, Registration> registrations;
    NotificationHandle nextHandle = 1;
    std::unique_ptr<Watcher> watcher;
    std::deque<std::pair<std::uint64_t, DeviceEvent>> events; // the last kKeptEvents
    std::uint64_t nextEvent = 1;
    bool failNext = false;
};

constexpr std::size_t kKeptEvents = 256;

State& state() {
    static State s;
    return s;
}

// Posts an event to the windows registered for its class. The lock is held.
void deliverLocked(State& s, DeviceEvent event) {
    const std::uint64_t serial = s.nextEvent++;
    std::vector<platform::ui::Window> windows;
    for (const auto& [handle, registration] : s.registrations) {
        if (registration.interfaceClass == event.interfaceClass) {
            windows.push_back(registration.window);
        }
    }
    const std::uint32_t code = event.event;
    s.events.emplace_back(serial, std::move(event));
    while (s.events.size() > kKeptEvents) {
        s.events.pop_front();
    }
    for (const auto window : windows) {
        platform::ui::postMessage(window, platform::ui::kWmDeviceChange, code,
                                  static_cast<platform::ui::LParam>(serial));
    }
}

void Watcher::run() {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        // The events only say that something changed: the folder is read
        // again and compared with what was known.
        while (::read(inotify_, buffer, sizeof buffer) > 0) {
        }
        auto now = scanDevices();
        State& s = state();
        std::lock_guard lock(s.mutex);
        for (const auto& [id, device] : known_) {
            if (now.find(id) == now.end()) {
                deliverLocked(s, {kDbtDeviceRemoveComplete, kDbtDevtypDeviceInterface,
                                  device.interfaceClass, device.path});
            }
        }
        for (const auto& [id, device] : now) {
            if (known_.find(id) == known_.end()) {
                deliverLocked(s, {kDbtDeviceArrival, kDbtDevtypDeviceInterface,
                                  device.interfaceClass, device.path});
            }
        }
        known_ = std::move(now);
    }
}

std::unique_ptr<Watcher> startWatcher() {
    const int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        return nullptr;
    }
    const fs::path folder = deviceFolder();
    if (inotify_add_watch(inotifyFd, folder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE) <
        0) {
        ::close(inotifyFd);
        return nullptr;
    }
    const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        ::close(inotifyFd);
        return nullptr;
    }
    // Known before the watch began reading, so every later change is told.
    return std::make_unique<Watcher>(scanDevices(), inotifyFd, stopFd);
}

} // namespace

std::string guidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string plugDevice(const GUID& interfaceClass, std::string_view path) {
    if (path.empty() || path.find('\n') != std::string_view::npos) {
        return {};
    }
    static std::atomic<std::uint32_t> serial{0};
    const auto stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    char id[64];
    std::snprintf(id, sizeof id, "%020lld-%d-%u", static_cast<long long>(stamp),
                  static_cast<int>(::getpid()), serial.fetch_add(1));
    const fs::path folder = deviceFolder();
    const fs::path temp = folder / (std::string(".") + id);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << guidText(interfaceClass) << '\n' << path << '\n';
        if (!out) {
            return {};
        }
    }
    std::error_code ec;
    fs::rename(temp, folder / id, ec);
    if (ec) {
        fs::remove(temp, ec);
        return {};
    }
    return id;
}

bool unplugDevice(std::string_view id) {
    if (!validId(id)) {
        return false;
    }
    std::error_code ec;
    return fs::remove(deviceFolder() / std::string(id), ec);
}

void unplugAllDevices() {
    for (const auto& [id, device] : scanDevices()) {
        unplugDevice(id);
    }
}

std::vector<std::string> presentInterfaces(const GUID& interfaceClass) {
    std::vector<std::string> paths;
    for (const auto& [id, device] : scanDevices()) {
        if (device.interfaceClass == interfaceClass) {
            paths.push_back(device.path);
        }
    }
    return paths;
}

bool setDeviceConfigFlags(std::string_view enumerator, std::string_view deviceKey,
                          std::string_view instance, std::uint32_t flags) {
    std::string key = kHardwareProfileEnumKey;
    for (const auto part : {enumerator, deviceKey, instance}) {
        if (part.empty() || part.find('\\') != std::string_view::npos) {
            return false;
        }
        key += '\\';
        key += part;
    }
    return platform::registrySetNumber(HKEY_LOCAL_MACHINE, key, kConfigFlagsValue, flags) ==
           ERROR_SUCCESS;
}

NotificationHandle registerDeviceNotification(platform::ui::Window window,
                                              const GUID& interfaceClass) {
    if (!platform::ui::isWindow(window)) {
        return 0;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (std::exchange(s.failNext, false)) {
        return 0;
    }
    if (!s.watcher) {
        s.watcher = startWatcher();
        if (!s.watcher) {
            return 0;
        }
    }
    const NotificationHandle handle = s.nextHandle++;
    s.registrations.emplace(handle, Registration{window, interfaceClass});
    return handle;
}

bool unregisterDeviceNotification(NotificationHandle handle) {
    State& s = state();
    std::unique_ptr<Watcher> stopped;
    {
        std::lock_guard lock(s.mutex);
        if (s.registrations.erase(handle) == 0) {
            return false;
        }
        if (s.registrations.empty()) {
            stopped = std::move(s.watcher);
        }
    }
    // Joined without the lock, which the watcher may be waiting for.
    stopped.reset();
    return true;
}

std::size_t deviceNotificationCount() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.registrations.size();
}

std::optional<DeviceEvent> deviceEventOf(platform::ui::LParam lParam) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (const auto& [serial, event] : s.events) {
        if (serial == static_cast<std::uint64_t>(lParam)) {
            return event;
        }
    }
    return std::nullopt;
}

namespace seam {
void failNextRegistration() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.failNext = true;
}
} // namespace seam

} // namespace platform::devices
