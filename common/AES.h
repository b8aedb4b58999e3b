#pragma once

// AES-256-CBC with PKCS#7 padding over the cipher core: enciphering under the
// process's own key and IV, deciphering under a caller's key and IV.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Every plaintext enciphered by encryptAesCbc begins with this.
inline constexpr std::string_view kAesPrefix = "CorvantixAESCBC";

// The process key (32 bytes) and IV block (32 bytes, the IV is its first 16),
// drawn once at start before any value is enciphered.
void setProcessAesKey(std::span<const std::uint8_t, 32> key,
                      std::span<const std::uint8_t, 32> ivBlock);

// Enciphers kAesPrefix + text + one zero byte under the process key and IV;
// the cipher bytes, or nullopt on failure (logged).
std::optional<std::vector<std::uint8_t>> encryptAesCbc(std::optional<std::string_view> text);

// Deciphers cipher bytes; the leading kAesPrefix, when present, is removed.
// The result is the plaintext up to its first zero byte; nullopt on failure
// (bad length, bad padding; logged).
std::optional<std::string> decryptAesCbc(std::span<const std::uint8_t> cipher,
                                         std::span<const std::uint8_t, 32> key,
                                         std::span<const std::uint8_t, 16> iv);
