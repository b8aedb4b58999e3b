#pragma once

// Memory for secrets (PIN blocks and the commands that carry them): wiped
// before it is given back. PIN texts are SecretString (control/SecretString.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string.h> // explicit_bzero
#include <vector>

namespace tavelo {

inline void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) {
        explicit_bzero(data, size);
    }
}

template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

} // namespace tavelo
