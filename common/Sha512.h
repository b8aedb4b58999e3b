#pragma once

// SHA-512 (FIPS 180-4) with an upper-case hexadecimal front end; it signs the
// inter-process messages.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t kSha512BlockSize = 128;
inline constexpr std::size_t kSha512DigestSize = 64;

// Wiped when destroyed.
struct Sha512Context {
    std::array<std::uint64_t, 2> total{}; // bytes hashed: low word, high word
    std::array<std::uint64_t, 8> state{};
    std::array<std::uint8_t, kSha512BlockSize> buffer{};
    bool is384 = false; // always clear here

    Sha512Context() = default;
    Sha512Context(const Sha512Context&) = delete;
    Sha512Context& operator=(const Sha512Context&) = delete;
    ~Sha512Context();
};

void sha512Starts(Sha512Context& ctx);
void sha512Update(Sha512Context& ctx, std::span<const std::uint8_t> data);
void sha512Finish(Sha512Context& ctx, std::span<std::uint8_t, kSha512DigestSize> digest);

// Two upper-case hexadecimal digits a byte, high nibble first.
std::string bytesToHex(std::span<const std::uint8_t> bytes);

// bytesToHex of the SHA-512 of the text's bytes; nullopt for no text.
std::optional<std::string> sha512Hex(std::optional<std::string_view> text);
