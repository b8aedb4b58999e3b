// Plugs and unplugs USB devices for the system's programs, as a person
// would a token: the programs' windows registered for the device's class
// hear of it. Everything happens in the folders CORVANTIX_ROOT points to.
//
//   CorvantixDevice plug <class> <path>     prints the device's id
//   CorvantixDevice unplug <id>
//   CorvantixDevice list <class>            prints the present paths
//   CorvantixDevice flags <enumerator> <device key> <instance> <flags>
//       sets the device's configuration flags (1: disabled)
//
// <class> is a GUID in braces. Exit codes: 0 done, 1 wrong usage, 2 no such
// device, 3 it could not be done.

#include "platform/devices/Devices.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

int usage() {
    std::fprintf(stderr, "usage: CorvantixDevice plug <class> <path>\n"
                         "       CorvantixDevice unplug <id>\n"
                         "       CorvantixDevice list <class>\n"
                         "       CorvantixDevice flags <enumerator> <device key> <instance> "
                         "<flags>\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    namespace devices = platform::devices;
    if (argc < 2) {
        return usage();
    }
    const std::string_view command = argv[1];
    if (command == "plug" && argc == 4) {
        const auto guid = parseGuid(argv[2]);
        if (!guid) {
            return usage();
        }
        const std::string id = devices::plugDevice(*guid, argv[3]);
        if (id.empty()) {
            return 3;
        }
        std::printf("%s\n", id.c_str());
        return 0;
    }
    if (command == "unplug" && argc == 3) {
        return devices::unplugDevice(argv[2]) ? 0 : 2;
    }
    if (command == "list" && argc == 3) {
        const auto guid = parseGuid(argv[2]);
        if (!guid) {
            return usage();
        }
        for (const auto& path : devices::presentInterfaces(*guid)) {
            std::printf("%s\n", path.c_str());
        }
        return 0;
    }
    if (command == "flags" && argc == 6) {
        char* end = nullptr;
        const unsigned long flags = std::strtoul(argv[5], &end, 0);
        if (end == argv[5] || *end != '\0') {
            return usage();
        }
        return devices::setDeviceConfigFlags(argv[2], argv[3], argv[4],
                                             static_cast<std::uint32_t>(flags))
                   ? 0
                   : 3;
    }
    return usage();
}
