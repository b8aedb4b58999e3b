#pragma once

// USB devices as their interfaces show them: a device interface has a class
// (a GUID) and a path that names the device ("\\?\usb#vid_0a1b&pid_0c2d#
// serial#{class}"). Plugged devices are shared by the user's processes (one
// file per device in the run folder), so a test or the desktop-session tool
// plugs and unplugs them for a program that watches.
//
// A window registered for an interface class receives kWmDeviceChange,
// posted, for each arrival (kDbtDeviceArrival) and removal
// (kDbtDeviceRemoveComplete) of a device of that class, whichever process
// made it; lParam names the event (deviceEventOf). The watching is done by
// one thread per process, which runs while any registration exists and is
// joined when the last one goes.
//
// A device's configuration flags live where the platform keeps them, in the
// machine's registry under kHardwareProfileEnumKey\<enumerator>\<device
// key>\<instance>, value "CSConfigFlags"; bit 0 set means disabled.

#include "platform/com/Com.h"
#include "platform/ui/Messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::devices {

inline constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;

inline constexpr const char* kHardwareProfileEnumKey =
    "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Enum";
inline constexpr const char* kConfigFlagsValue = "CSConfigFlags";
inline constexpr std::uint32_t kConfigFlagDisabled = 0x1;

// ---- Plugging ------------------------------------------------------------------

// Plugs a device with an interface of the class; its id, or empty when it
// cannot be recorded.
std::string plugDevice(const GUID& interfaceClass, std::string_view path);
// False when no such device is plugged.
bool unplugDevice(std::string_view id);
// Unplugs every device.
void unplugAllDevices();

// The paths of the present interfaces of a class, in the order plugged.
std::vector<std::string> presentInterfaces(const GUID& interfaceClass);

// Writes a device's configuration flags (the registry value above).
bool setDeviceConfigFlags(std::string_view enumerator, std::string_view deviceKey,
                          std::string_view instance, std::uint32_t flags);

// ---- Notifications -----------------------------------------------------------------

using NotificationHandle = std::uint64_t;

// 0 when the window is no window or the watching cannot start.
NotificationHandle registerDeviceNotification(platform::ui::Window window,
                                              const GUID& interfaceClass);
// False for a handle that is not registered.
bool unregisterDeviceNotification(NotificationHandle handle);
// How many registrations the process holds.
std::size_t deviceNotificationCount();

struct DeviceEvent {
    std::uint32_t event = 0; // kDbtDeviceArrival or kDbtDeviceRemoveComplete
    std::uint32_t deviceType = kDbtDevtypDeviceInterface;
    GUID interfaceClass{};
    std::string name; // the interface's path
};

// The event that a kWmDeviceChange of this layer carries in its lParam; the
// last 256 events are kept. nullopt for any other lParam.
std::optional<DeviceEvent> deviceEventOf(platform::ui::LParam lParam);

// The braced upper-case form of a GUID.
std::string guidText(const GUID& guid);

namespace seam {
// The next registration fails.
void failNextRegistration();
} // namespace seam

} // namespace platform::devices
