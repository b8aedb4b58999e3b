// Writes a run of keys into the current user's hive, so a test can run two
// writers at once and check that neither loses the other's changes.
//   registry_writer <name> <count>

#include "platform/registry/Registry.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::string name = argv[1];
    const int count = std::atoi(argv[2]);
    const std::string base = "Software\\Writers\\" + name;
    for (int i = 0; i < count; ++i) {
        const std::string index = std::to_string(i);
        if (platform::registrySetString(HKEY_CURRENT_USER, base + "\\" + index, "", name + index) !=
                ERROR_SUCCESS ||
            platform::registrySetNumber(HKEY_CURRENT_USER, base, "done",
                                        static_cast<std::uint32_t>(i + 1)) != ERROR_SUCCESS) {
            return 1;
        }
    }
    return 0;
}
