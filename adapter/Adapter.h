#pragma once

// The adapter's function map: every function a loaded copy offers, by name,
// kept in ascending order of compareAdapterMapName for a binary search.
// Names are unique regardless of letter case.

#include "common/Json.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Runs one function and leaves its answer in the copy's result slot.
using AdapterHandler = void (*)(const JsonMap* map);

inline constexpr std::size_t kAdapterMapCapacity = 1024;
// Longer names are cut when registered.
inline constexpr std::size_t kAdapterNameMax = 127;

struct AdapterFunction {
    std::string name;
    AdapterHandler handler = nullptr;
};

struct AdapterMap {
    std::vector<AdapterFunction> entries; // never more than kAdapterMapCapacity
};

// An empty map with room for every entry reserved; null when memory runs out
// (logged).
std::unique_ptr<AdapterMap> createAdapterMap();

// Adds a function unless its name is already there in any letter case, or
// the map is full; both refusals are logged.
void addAdapterFunction(AdapterMap* map, AdapterHandler handler, const char* name);

// The order of the map: names compared with each character folded to lower
// case, a prefix before the longer name. -1, 0 or 1; 100 when either is null.
int compareAdapterMapName(const char* inputA, const char* inputB);

// Sorts the entries by compareAdapterMapName.
void sortAdapterMap(AdapterMap* map);

// The handler registered under the name in any letter case; null when there
// is none (an empty map included).
AdapterHandler findAdapterFunction(const AdapterMap* map, const char* inputTargetKey);

// The search between entries low and high, both included; null when the
// range is empty or holds no such name.
AdapterHandler BinarySearchCorvantixAdapterMap(const AdapterMap& map, std::string_view name,
                                               int low, int high);

// True when the names are the same regardless of letter case.
bool sameAdapterName(std::string_view a, std::string_view b);
