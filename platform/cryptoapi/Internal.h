#pragma once

// Shared plumbing of the provider stand-in: the per-thread error, the test
// seam, the output rule, wiped buffers and the handle tables. Every public
// call takes the one lock (lockCall) before it looks at any table or object.

#include "platform/cryptoapi/CryptoApi.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace capi::detail {

// Zeroes memory in a way the compiler does not drop.
void wipe(void* memory, std::size_t size);

// An allocator that zeroes what it gives back, so key bytes do not linger
// on the heap (also across a vector's reallocation).
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) {
        wipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const {
        return true;
    }
};
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Stores error as the thread's last error and answers FALSE.
Bool fail(Dword error);

// The lock every call holds while it touches the tables or the objects.
std::unique_lock<std::mutex> lockCall();

// True, with the error stored, when the test seam holds a failure for this
// function; the caller holds the lock and returns FALSE at once.
bool injectedFailure(std::string_view function);

// The output rule shared by every call that writes bytes for its caller.
enum class Output { Write, SizeOnly, TooShort };
// SizeOnly: data null, the size stored. TooShort: ERROR_MORE_DATA stored
// with the size. Write: the buffer takes needed bytes.
Output prepareOutput(const std::uint8_t* data, Dword* length, std::size_t needed);

// Answers a call under the output rule: write runs, and gives the call's
// answer, only when the caller's buffer takes the needed bytes.
template <typename Write>
Bool putOutput(const std::uint8_t* data, Dword* length, std::size_t needed, Write write) {
    switch (prepareOutput(data, length, needed)) {
    case Output::SizeOnly:
        return kTrue;
    case Output::TooShort:
        return kFalse;
    case Output::Write:
        break;
    }
    return write();
}

// Copies bytes out under the output rule; the return value is the call's
// answer.
Bool putBytes(std::span<const std::uint8_t> bytes, std::uint8_t* data, Dword* length);

// Writes a Dword parameter value (4 bytes, little-endian) under the output
// rule; the return value is the call's answer.
Bool putDword(Dword value, std::uint8_t* data, Dword* length);

inline void storeLe32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
inline std::uint32_t loadLe32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

// Handle values are never reused and carry their kind in the top bits, so a
// stale handle or one of another kind is simply not found.
enum class HandleKind : std::uintptr_t {
    Provider = 0x51,
    Key = 0x4B,
    Hash = 0x48,
    Module = 0x4D,
    Store = 0x53,
    Message = 0x4E,
};
std::uintptr_t nextHandle(HandleKind kind);

template <class T, HandleKind Kind>
class HandleTable {
public:
    std::uintptr_t add(std::unique_ptr<T> object) {
        const std::uintptr_t handle = nextHandle(Kind);
        objects_.emplace(handle, std::move(object));
        return handle;
    }
    T* find(std::uintptr_t handle) const {
        const auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second.get();
    }
    std::unique_ptr<T> remove(std::uintptr_t handle) {
        const auto it = objects_.find(handle);
        if (it == objects_.end()) {
            return nullptr;
        }
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    std::unordered_map<std::uintptr_t, std::unique_ptr<T>> objects_;
};

struct RsaKey;

// A key container: two key slots, AT_KEYEXCHANGE and AT_SIGNATURE.
struct Container {
    std::array<std::shared_ptr<RsaKey>, 2> slots;
};

struct Provider {
    std::size_t providerIndex = 0;
    // Never null: a verify context gets a private container nobody else sees.
    std::shared_ptr<Container> container;
    bool verifyContext = false;
    unsigned references = 1;
};

HandleTable<Provider, HandleKind::Provider>& providerTable();

struct Hash;
struct Key;
HandleTable<Hash, HandleKind::Hash>& hashTable();
HandleTable<Key, HandleKind::Key>& keyTable();

} // namespace capi::detail
