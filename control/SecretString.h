#pragma once

// A text that holds a secret (a PIN, a PIN block's digits): its bytes are
// wiped when it is freed, emptied or given a new value, and when it grows,
// so no copy is left behind in freed memory. Copies are explicit values of
// the same type; the text is seen only through view() and c_str().

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <string.h>

template <class CharT>
class BasicSecretString {
public:
    using String = std::basic_string<CharT>;
    using View = std::basic_string_view<CharT>;

    BasicSecretString() = default;
    explicit BasicSecretString(View text) { assign(text); }
    // Takes the source's buffer and wipes what the source still holds (a
    // short text lives inside the string object itself).
    explicit BasicSecretString(String&& source) noexcept : value_(std::move(source)) {
        wipe(source);
    }
    BasicSecretString(const BasicSecretString& other) { assign(other.view()); }
    BasicSecretString(BasicSecretString&& other) noexcept : value_(std::move(other.value_)) {
        wipe(other.value_);
    }
    BasicSecretString& operator=(const BasicSecretString& other) {
        if (this != &other) {
            assign(other.view());
        }
        return *this;
    }
    BasicSecretString& operator=(BasicSecretString&& other) noexcept {
        if (this != &other) {
            wipe(value_);
            value_.swap(other.value_);
            wipe(other.value_);
        }
        return *this;
    }
    ~BasicSecretString() { wipe(value_); }

    View view() const { return value_; }
    const CharT* c_str() const { return value_.c_str(); }
    std::size_t size() const { return value_.size(); }
    bool empty() const { return value_.empty(); }

    void clear() noexcept { wipe(value_); }
    void assign(View text) {
        wipe(value_);
        reserve(text.size());
        value_.assign(text);
    }
    void append(View text) {
        reserve(value_.size() + text.size());
        value_.append(text);
    }
    void push_back(CharT c) { append(View(&c, 1)); }
    // Grows into a new buffer and wipes the old one, so growth never frees a
    // buffer that still holds the text.
    void reserve(std::size_t capacity) {
        if (capacity <= value_.capacity()) {
            return;
        }
        String grown;
        grown.reserve(std::max(capacity, 2 * value_.capacity()));
        grown.assign(value_);
        wipe(value_);
        value_.swap(grown);
    }

    friend bool operator==(const BasicSecretString& a, const BasicSecretString& b) {
        return a.view() == b.view();
    }

private:
    static void wipe(String& text) noexcept {
        explicit_bzero(text.data(), text.capacity() * sizeof(CharT));
        text.clear();
    }

    String value_;
};

using SecretString = BasicSecretString<char>;
using SecretU16String = BasicSecretString<char16_t>;
