#include "control/crypto/QxCAPISymKey.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string.h>

namespace {

constexpr const char* kModule = "QxCAPISymKey";

// The exchange key, big-endian: two 256-bit primes p and q, n = p * q of
// exactly 512 bits, and q^-1 mod p. With e = d = 1 both CRT exponents are 1.
constexpr std::array<std::uint8_t, 32> kPrime1 = {
    0xCC, 0x26, 0x5A, 0xF5, 0xE3, 0xFB, 0xE5, 0x12, 0xAF, 0xF6, 0x59, 0xB0, 0xED, 0xF0, 0x51, 0xF7,
    0x30, 0xB4, 0x76, 0xBD, 0x2A, 0xE1, 0xB7, 0xF6, 0xFA, 0x7B, 0xDE, 0xF9, 0x02, 0x74, 0x73, 0x1F,
};
constexpr std::array<std::uint8_t, 32> kPrime2 = {
    0xF5, 0x2C, 0x8D, 0x7C, 0x5D, 0x63, 0x9D, 0xB7, 0x45, 0x27, 0xEE, 0x73, 0x9D, 0xA0, 0x05, 0x78,
    0x72, 0xFF, 0x40, 0x03, 0xDA, 0x03, 0x0C, 0xA8, 0x95, 0x61, 0x64, 0xA1, 0xB8, 0xC4, 0xEF, 0x5B,
};
constexpr std::array<std::uint8_t, 64> kModulus = {
    0xC3, 0x84, 0x3C, 0x79, 0x42, 0x9A, 0x1E, 0xD8, 0x9A, 0x0E, 0xEF, 0xE2, 0x7A, 0xF4, 0xC2, 0x46,
    0x15, 0xF9, 0x66, 0x69, 0x03, 0x7D, 0x2D, 0xF6, 0x53, 0xD6, 0x38, 0x20, 0x3F, 0x90, 0x07, 0xC8,
    0x50, 0x7C, 0xB7, 0xF2, 0xA0, 0xAC, 0x0E, 0x4E, 0x0C, 0x7D, 0x80, 0xA4, 0x0E, 0x34, 0x8F, 0xA3,
    0xB9, 0x9E, 0x59, 0x7D, 0x7D, 0x12, 0xFC, 0xC7, 0x11, 0x8F, 0xD2, 0x34, 0x02, 0x9A, 0xDD, 0x05,
};
constexpr std::array<std::uint8_t, 32> kCoefficient = {
    0x20, 0x54, 0xA1, 0x77, 0x1C, 0xAC, 0xAC, 0x90, 0x05, 0x80, 0x2E, 0xC8, 0x1C, 0xE8, 0xFD, 0xEC,
    0x84, 0x87, 0x72, 0xF9, 0xFA, 0xA4, 0x38, 0xEA, 0x53, 0x15, 0x69, 0x3E, 0x69, 0x93, 0x7B, 0x0C,
};

void putLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Key blobs carry their numbers little-endian.
template <std::size_t N>
std::uint8_t* putReversed(std::uint8_t* at, const std::array<std::uint8_t, N>& bigEndian) {
    std::reverse_copy(bigEndian.begin(), bigEndian.end(), at);
    return at + N;
}

std::uint8_t* putSmall(std::uint8_t* at, std::size_t width, std::uint8_t value) {
    std::memset(at, 0, width);
    at[0] = value;
    return at + width;
}

// Filled once for the process. A failed import leaves it 0, so a later
// import tries again.
capi::HCRYPTKEY exchangeKey(capi::HCRYPTPROV provider) {
    static std::mutex mutex;
    static capi::HCRYPTKEY key = 0;
    std::lock_guard lock(mutex);
    if (key == 0) {
        auto blob = qxxCAPIExchangeKeyBlob();
        capi::HCRYPTKEY imported = 0;
        if (capi::CryptImportKey(provider, blob.data(), static_cast<capi::Dword>(blob.size()), 0,
                                 capi::CRYPT_EXPORTABLE, &imported)) {
            key = imported;
        } else {
            qxxCAPILogSymKey(kModule, __LINE__, "CryptImportKey", capi::GetLastError());
        }
        explicit_bzero(blob.data(), blob.size());
    }
    return key;
}

} // namespace

std::array<std::uint8_t, kQxExchangeKeyBlobSize> qxxCAPIExchangeKeyBlob() {
    std::array<std::uint8_t, kQxExchangeKeyBlobSize> blob{};
    std::uint8_t* at = blob.data();
    *at++ = capi::PRIVATEKEYBLOB;
    *at++ = capi::CUR_BLOB_VERSION;
    *at++ = 0;
    *at++ = 0;
    putLe32(at, capi::CALG_RSA_KEYX);
    at += 4;
    std::memcpy(at, "RSA2", 4);
    at += 4;
    putLe32(at, 512);
    at += 4;
    putLe32(at, 1); // public exponent
    at += 4;
    at = putReversed(at, kModulus);
    at = putReversed(at, kPrime1);
    at = putReversed(at, kPrime2);
    at = putSmall(at, 32, 1); // d mod (p - 1)
    at = putSmall(at, 32, 1); // d mod (q - 1)
    at = putReversed(at, kCoefficient);
    putSmall(at, 64, 1); // private exponent
    return blob;
}

capi::HCRYPTKEY qxxCAPIImportPlainKey(capi::HCRYPTPROV provider, capi::AlgId algorithm,
                                      const std::uint8_t* key, std::uint32_t keyLength) {
    constexpr std::uint32_t kBody = 64;
    // The type-2 block needs its zero separator, 0x02 and 0x00.
    if (key == nullptr || keyLength == 0 || keyLength > kBody - 3) {
        return 0;
    }
    const capi::HCRYPTKEY exchange = exchangeKey(provider);
    if (exchange == 0) {
        return 0;
    }
    std::uint8_t exchangeAlgorithm[4] = {};
    capi::Dword length = sizeof exchangeAlgorithm;
    if (!capi::CryptGetKeyParam(exchange, capi::KP_ALGID, exchangeAlgorithm, &length, 0)) {
        qxxCAPILogSymKey(kModule, __LINE__, "CryptGetKeyParam", capi::GetLastError());
        return 0;
    }

    std::array<std::uint8_t, kQxSimpleBlobSize> blob{};
    blob[0] = capi::SIMPLEBLOB;
    blob[1] = capi::CUR_BLOB_VERSION;
    putLe32(&blob[4], algorithm);
    std::memcpy(&blob[8], exchangeAlgorithm, sizeof exchangeAlgorithm);
    // The PKCS #1 type-2 block 00 02 PS 00 key, little-endian.
    std::uint8_t* body = &blob[12];
    std::reverse_copy(key, key + keyLength, body);
    body[keyLength] = 0;
    std::uint8_t* padding = body + keyLength + 1;
    const std::uint32_t paddingLength = kBody - 3 - keyLength;
    capi::HCRYPTKEY session = 0;
    if (!capi::CryptGenRandom(provider, paddingLength, padding)) {
        qxxCAPILogSymKey(kModule, __LINE__, "CryptGenRandom", capi::GetLastError());
    } else {
        std::replace(padding, padding + paddingLength, std::uint8_t{0}, std::uint8_t{1});
        body[kBody - 2] = 0x02;
        body[kBody - 1] = 0x00;
        if (!capi::CryptImportKey(provider, blob.data(), static_cast<capi::Dword>(blob.size()),
                                  exchange, capi::CRYPT_EXPORTABLE | capi::CRYPT_NO_SALT,
                                  &session)) {
            qxxCAPILogSymKey(kModule, __LINE__, "CryptImportKey", capi::GetLastError());
            session = 0;
        }
    }
    explicit_bzero(blob.data(), blob.size());
    return session;
}
