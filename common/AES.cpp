#include "common/AES.h"

#include "common/Cipher.h"
#include "common/Tool.h"
#include "common/ToolLog.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

struct ProcessKey {
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 32> ivBlock{};
    ~ProcessKey() {
        secureWipe(key.data(), key.size());
        secureWipe(ivBlock.data(), ivBlock.size());
    }
};

ProcessKey processKey;

void logCipherError(CipherResult code, int line) {
    char text[128];
    std::snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s",
                  static_cast<int>(code), static_cast<unsigned>(code), line, __FILE_NAME__);
    logWarning("", text);
}

// The plaintext must not outlive the call: random bytes over it, then zeros
// as the wiping allocator frees it.
void scramble(SecureBytes& buffer) {
    if (!getRandomBytes(buffer.data(), buffer.size())) {
        secureWipe(buffer.data(), buffer.size());
    }
}

} // namespace

void setProcessAesKey(std::span<const std::uint8_t, 32> key,
                      std::span<const std::uint8_t, 32> ivBlock) {
    std::copy(key.begin(), key.end(), processKey.key.begin());
    std::copy(ivBlock.begin(), ivBlock.end(), processKey.ivBlock.begin());
}

std::optional<std::vector<std::uint8_t>> encryptAesCbc(std::optional<std::string_view> text) {
    if (!text) {
        CORVANTIX_NULL_PARAMETER("inputText");
        return std::nullopt;
    }
    // The text is taken as a zero-terminated one, as the decipherer reads it back.
    const std::string_view body = text->substr(0, text->find('\0'));
    SecureBytes plain;
    plain.reserve(kAesPrefix.size() + body.size() + 1);
    plain.insert(plain.end(), kAesPrefix.begin(), kAesPrefix.end());
    plain.insert(plain.end(), body.begin(), body.end());
    plain.push_back(0);

    std::vector<std::uint8_t> cipher((plain.size() / kAesBlockSize + 1) * kAesBlockSize);
    CipherContext ctx;
    const std::span<const std::uint8_t, kAesBlockSize> iv(processKey.ivBlock.data(), kAesBlockSize);
    CipherResult result =
        cipherAesInit(&ctx, CipherDirection::Encrypt, kMechAesCbcPad, processKey.key, iv);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        return std::nullopt;
    }
    std::size_t written = cipher.size();
    result = cipherEncryptUpdate(&ctx, plain.data(), plain.size(), cipher.data(), &written);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        return std::nullopt;
    }
    std::size_t last = cipher.size() - written;
    result = cipherEncryptFinal(&ctx, cipher.data() + written, &last);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        return std::nullopt;
    }
    cipher.resize(written + last);
    return cipher;
}

std::optional<std::string> decryptAesCbc(std::span<const std::uint8_t> cipher,
                                         std::span<const std::uint8_t, 32> key,
                                         std::span<const std::uint8_t, 16> iv) {
    // One block more than the cipher text, so that a wrong length always
    // reaches the final call's block check (0x41) rather than its capacity
    // check; the zero byte after the plaintext stays.
    SecureBytes plain(cipher.size() + kAesBlockSize + 1, 0);
    CipherContext ctx;
    CipherResult result = cipherDecryptInit(&ctx, key);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        return std::nullopt;
    }
    std::copy(iv.begin(), iv.end(), ctx.chain.begin());
    std::size_t written = plain.size();
    result = cipherDecryptUpdate(&ctx, cipher.data(), cipher.size(), plain.data(), &written);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        scramble(plain);
        return std::nullopt;
    }
    std::size_t last = plain.size() - written;
    result = cipherDecryptFinal(&ctx, plain.data() + written, &last);
    if (result != kCipherOk) {
        logCipherError(result, __LINE__);
        scramble(plain);
        return std::nullopt;
    }
    const auto* start = reinterpret_cast<const char*>(plain.data());
    std::string_view text(start, strnlen(start, written + last));
    if (text.starts_with(kAesPrefix)) {
        logNormal("AES: ", "Remove prefix");
        text.remove_prefix(kAesPrefix.size());
    }
    std::string out(text);
    scramble(plain);
    return out;
}
