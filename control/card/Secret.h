#pragma once

// Memory for secrets (PINs, PIN blocks and the commands that carry them):
// wiped before it is given back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string.h> // explicit_bzero
#include <string_view>
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

// A secret text such as a PIN. Unlike std::string it never keeps its
// characters in a small-string buffer inside the object, where a move would
// leave a copy behind; its memory is wiped when it shrinks or goes.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(std::string_view text) : chars_(text.begin(), text.end()) {}
    ~SecretText() { clear(); }
    SecretText(SecretText&&) noexcept = default;
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            clear();
            chars_ = std::move(other.chars_);
        }
        return *this;
    }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    std::string_view view() const noexcept { return {chars_.data(), chars_.size()}; }
    bool empty() const noexcept { return chars_.empty(); }
    std::size_t size() const noexcept { return chars_.size(); }

    void assign(std::string_view text) {
        clear();
        chars_.assign(text.begin(), text.end());
    }
    void push_back(char c) { chars_.push_back(c); }
    void clear() noexcept {
        secureWipe(chars_.data(), chars_.size());
        chars_.clear();
    }

private:
    std::vector<char, WipingAllocator<char>> chars_;
};

} // namespace tavelo
