// The static destructors of one loaded copy of the adapter, run when that copy
// is unloaded.
//
// The C++ runtime registers every static destructor with __cxa_atexit in one
// list for the whole process. glibc frees the entries of a library that is
// unloaded but reuses a slot only when no later entry is in use, and with a
// copy per session, the oldest unloaded while newer ones stay, a later entry
// always is: the list would keep the entries of every copy ever loaded, and
// each dlclose, which walks the whole list, would grow slower with every
// session. The library is linked with __cxa_atexit wrapped, so its
// registrations land in this copy's own list instead, which the copy's fini
// array runs, last registered first, when it is unloaded or the process ends.

#include <array>
#include <cstddef>

namespace {

struct ExitEntry {
    void (*function)(void*) = nullptr;
    void* argument = nullptr;
};

// More than the copy registers; the rest would go to the process's list.
constexpr std::size_t kCapacity = 64;
// Constant-initialised: ready before the first constructor registers.
std::array<ExitEntry, kCapacity> entries{};
std::size_t used = 0;

} // namespace

extern "C" int __real___cxa_atexit(void (*function)(void*), void* argument, void* dso);

extern "C" int __wrap___cxa_atexit(void (*function)(void*), void* argument, void* dso) {
    if (used == entries.size()) {
        return __real___cxa_atexit(function, argument, dso);
    }
    entries[used++] = ExitEntry{function, argument};
    return 0;
}

namespace {

// A destructor may register another (a function-local static first used
// while destroying): it runs too, before the ones registered earlier.
__attribute__((destructor)) void runCopyDestructors() {
    while (used > 0) {
        const ExitEntry entry = entries[--used];
        entry.function(entry.argument);
    }
}

} // namespace
