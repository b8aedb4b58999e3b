#include "adapter/Adapter.h"

#include "common/ToolLog.h"

#include <algorithm>
#include <new>

namespace {

constexpr std::string_view kModule = "Adapter";

// ASCII letters only, without the C library's locale lookup per character:
// the names are ASCII, and a byte above 0x7F sorts after all of them either way.
int folded(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

int compareNames(std::string_view a, std::string_view b) {
    const std::size_t shorter = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < shorter; ++i) {
        const int ca = folded(a[i]);
        const int cb = folded(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

} // namespace

bool sameAdapterName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && compareNames(a, b) == 0;
}

std::unique_ptr<AdapterMap> createAdapterMap() {
    try {
        auto map = std::make_unique<AdapterMap>();
        map->entries.reserve(kAdapterMapCapacity);
        return map;
    } catch (const std::bad_alloc&) {
        logAllocationFailure(kModule, __LINE__);
        return nullptr;
    }
}

void addAdapterFunction(AdapterMap* map, AdapterHandler handler, const char* name) {
    if (map == nullptr) {
        logNullParameter("inputAdapterMap", kModule, __LINE__);
        return;
    }
    if (name == nullptr) {
        logNullParameter("inputFunctionName", kModule, __LINE__);
        return;
    }
    const std::string_view cut = std::string_view(name).substr(0, kAdapterNameMax);
    for (const auto& entry : map->entries) {
        if (sameAdapterName(entry.name, cut)) {
            logWarning("Function name already exist: ", name);
            return;
        }
    }
    if (map->entries.size() >= kAdapterMapCapacity) {
        logWarning("Function map is full: ", name);
        return;
    }
    map->entries.push_back(AdapterFunction{std::string(cut), handler});
    logNormal("Enable adapter func: ", cut);
}

int compareAdapterMapName(const char* inputA, const char* inputB) {
    if (inputA == nullptr) {
        logNullParameter("inputA", kModule, __LINE__);
        return 100;
    }
    if (inputB == nullptr) {
        logNullParameter("inputB", kModule, __LINE__);
        return 100;
    }
    return compareNames(inputA, inputB);
}

void sortAdapterMap(AdapterMap* map) {
    if (map == nullptr) {
        logNullParameter("inputAdapterMap", kModule, __LINE__);
        return;
    }
    std::sort(map->entries.begin(), map->entries.end(),
              [](const AdapterFunction& a, const AdapterFunction& b) {
                  return compareNames(a.name, b.name) < 0;
              });
}

AdapterHandler findAdapterFunction(const AdapterMap* map, const char* inputTargetKey) {
    if (map == nullptr) {
        logNullParameter("inputCorvantixJson", kModule, __LINE__);
        return nullptr;
    }
    if (inputTargetKey == nullptr) {
        logNullParameter("inputTargetKey", kModule, __LINE__);
        return nullptr;
    }
    return BinarySearchCorvantixAdapterMap(*map, inputTargetKey, 0,
                                           static_cast<int>(map->entries.size()) - 1);
}

AdapterHandler BinarySearchCorvantixAdapterMap(const AdapterMap& map, std::string_view name,
                                               int low, int high) {
    // Held to the entries in use, so an empty map or a stray bound never
    // reads outside them.
    low = std::max(low, 0);
    high = std::min(high, static_cast<int>(map.entries.size()) - 1);
    // Stored names are cut to the same length, so only the cut name orders.
    const std::string_view cut = name.substr(0, kAdapterNameMax);
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const AdapterFunction& entry = map.entries[static_cast<std::size_t>(mid)];
        if (sameAdapterName(entry.name, name)) {
            return entry.handler;
        }
        const int order = compareNames(entry.name, cut);
        if (order < 0) {
            low = mid + 1;
        } else if (order > 0) {
            high = mid - 1;
        } else {
            // Equal only in the first kAdapterNameMax characters.
            logWarning("BinarySearchCorvantixAdapterMap Compare_Same!", "");
            return nullptr;
        }
    }
    return nullptr;
}
