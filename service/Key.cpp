#include "service/Key.h"

#include "common/Tool.h"
#include "common/ToolSystem.h"

#include <algorithm>
#include <array>
#include <cctype>

// Filled in by the build from certs/ (KeyData.cpp).
extern const char* const kRsaServerCertificate;
extern const char* const kEcdsaServerCertificate;
extern const char* const kRsaServerKeyProtected;
extern const char* const kEcdsaServerKeyProtected;

namespace {

constexpr std::uint32_t kWindowsXpFlag = 0x1;

// The protecting key and IV are put together at run time so that neither
// stands in the program as one piece.
constexpr std::array<std::uint32_t, 8> kKeyWords = {0x6A1F3C95, 0x0BD47E21, 0x93C5A870, 0x5E2290DB,
                                                    0xC7316F48, 0x1D8BE503, 0xA4F7092E, 0x78E61CB5};
constexpr std::array<std::uint32_t, 4> kIvWords = {0x31D9A6E4, 0xF0437B1C, 0x8E5C2D97, 0x24B81F60};
constexpr std::uint32_t kMask = 0x5BC3A917;

template <std::size_t N>
std::array<std::uint8_t, N * 4> unfold(const std::array<std::uint32_t, N>& words) {
    std::array<std::uint8_t, N * 4> out{};
    std::uint32_t mask = kMask;
    for (std::size_t i = 0; i < N; ++i) {
        const std::uint32_t w = words[i] ^ mask;
        mask = (mask << 7) | (mask >> 25);
        for (std::size_t b = 0; b < 4; ++b) {
            out[i * 4 + b] = static_cast<std::uint8_t>(w >> (24 - 8 * b));
        }
    }
    return out;
}

struct ProtectingKey {
    std::array<std::uint8_t, 32> key = unfold(kKeyWords);
    std::array<std::uint8_t, 16> iv = unfold(kIvWords);
    ~ProtectingKey() {
        secureWipe(key.data(), key.size());
        secureWipe(iv.data(), iv.size());
    }
};

} // namespace

ServerKeyKind chooseServerKeyKind(std::uint32_t osFlags) {
    return (osFlags == 0 || (osFlags & kWindowsXpFlag) != 0) ? ServerKeyKind::Rsa
                                                             : ServerKeyKind::Ecdsa;
}

std::optional<std::string> serverCertificate(ServerKeyKind kind) {
    const char* pem = kind == ServerKeyKind::Rsa ? kRsaServerCertificate : kEcdsaServerCertificate;
    if (pem == nullptr || *pem == '\0') {
        return std::nullopt;
    }
    return std::string(pem);
}

std::optional<std::string> getServerCertificate() {
    return serverCertificate(chooseServerKeyKind(getOsFlags()));
}

std::optional<SecureBytes> releaseServerKey(ServerKeyKind kind) {
    return releaseSecret(kind == ServerKeyKind::Rsa ? kRsaServerKeyProtected
                                                    : kEcdsaServerKeyProtected);
}

std::string protectSecret(std::string_view plain) {
    const ProtectingKey k;
    CipherContext ctx;
    if (cipherAesInit(&ctx, CipherDirection::Encrypt, kMechAesCbcPad, k.key, k.iv) != kCipherOk) {
        return {};
    }
    std::vector<std::uint8_t> cipher((plain.size() / kAesBlockSize + 1) * kAesBlockSize);
    std::size_t written = cipher.size();
    if (cipherEncryptUpdate(&ctx, reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(),
                            cipher.data(), &written) != kCipherOk) {
        return {};
    }
    std::size_t last = cipher.size() - written;
    if (cipherEncryptFinal(&ctx, cipher.data() + written, &last) != kCipherOk) {
        return {};
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve((written + last) * 2);
    for (std::size_t i = 0; i < written + last; ++i) {
        hex += kHex[cipher[i] >> 4];
        hex += kHex[cipher[i] & 0xF];
    }
    return hex;
}

std::optional<SecureBytes> releaseSecret(std::string_view protectedHex) {
    const bool hex = std::all_of(protectedHex.begin(), protectedHex.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (protectedHex.empty() || protectedHex.size() % 2 != 0 || !hex) {
        return std::nullopt;
    }
    const std::string bytes = hexToBytes(protectedHex);
    const std::vector<std::uint8_t> cipher(bytes.begin(), bytes.end());
    const ProtectingKey k;
    CipherContext ctx;
    if (cipherAesInit(&ctx, CipherDirection::Decrypt, kMechAesCbcPad, k.key, k.iv) != kCipherOk) {
        return std::nullopt;
    }
    SecureBytes plain(cipher.size() + 1, 0);
    std::size_t written = plain.size();
    if (cipherDecryptUpdate(&ctx, cipher.data(), cipher.size(), plain.data(), &written) !=
        kCipherOk) {
        return std::nullopt;
    }
    std::size_t last = plain.size() - written;
    if (cipherDecryptFinal(&ctx, plain.data() + written, &last) != kCipherOk) {
        return std::nullopt;
    }
    plain.resize(written + last);
    plain.push_back(0); // zero-terminated, as the TLS layer reads it
    return plain;
}
