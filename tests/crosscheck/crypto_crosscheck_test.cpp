#include "common/AES.h"
#include "common/Cipher.h"
#include "common/Sha512.h"

#include <gtest/gtest.h>

#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/sha2.h>

#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::mt19937& random, std::size_t n) {
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(random());
    }
    return out;
}

// nettle's AES-256-CBC over the PKCS#7-padded plaintext.
Bytes nettleSeal(const Bytes& key, const Bytes& iv, Bytes plain) {
    const std::size_t pad = 16 - plain.size() % 16;
    plain.insert(plain.end(), pad, static_cast<std::uint8_t>(pad));
    aes256_ctx ctx;
    aes256_set_encrypt_key(&ctx, key.data());
    Bytes chain = iv;
    Bytes out(plain.size());
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(aes256_encrypt), AES_BLOCK_SIZE,
                chain.data(), plain.size(), out.data(), plain.data());
    return out;
}

// Our core, fed in random pieces.
Bytes coreRun(std::mt19937& random, CipherDirection direction, const Bytes& key, const Bytes& iv,
              const Bytes& input, CipherResult& result) {
    CipherContext ctx;
    result = cipherAesInit(&ctx, direction, kMechAesCbcPad,
                           std::span<const std::uint8_t, 32>(key.data(), 32),
                           std::span<const std::uint8_t, 16>(iv.data(), 16));
    Bytes out(input.size() + 32);
    std::size_t done = 0;
    std::size_t at = 0;
    const bool decrypt = direction == CipherDirection::Decrypt;
    while (result == kCipherOk && at < input.size()) {
        const std::size_t n = std::min<std::size_t>(random() % 40, input.size() - at);
        std::size_t outLen = out.size() - done;
        result = decrypt
                     ? cipherDecryptUpdate(&ctx, input.data() + at, n, out.data() + done, &outLen)
                     : cipherEncryptUpdate(&ctx, input.data() + at, n, out.data() + done, &outLen);
        done += outLen;
        at += n;
    }
    if (result == kCipherOk) {
        std::size_t outLen = out.size() - done;
        result = decrypt ? cipherDecryptFinal(&ctx, out.data() + done, &outLen)
                         : cipherEncryptFinal(&ctx, out.data() + done, &outLen);
        done += outLen;
    }
    out.resize(done);
    return out;
}

TEST(CryptoCrossCheck, PaddedCbcAgreesWithNettle) {
    std::mt19937 random(2024);
    for (int round = 0; round < 300; ++round) {
        const auto key = randomBytes(random, 32);
        const auto iv = randomBytes(random, 16);
        const auto plain = randomBytes(random, random() % 200);
        SCOPED_TRACE(plain.size());
        const auto expected = nettleSeal(key, iv, plain);
        CipherResult result = kCipherOk;
        EXPECT_EQ(coreRun(random, CipherDirection::Encrypt, key, iv, plain, result), expected);
        EXPECT_EQ(result, kCipherOk);
        EXPECT_EQ(coreRun(random, CipherDirection::Decrypt, key, iv, expected, result), plain);
        EXPECT_EQ(result, kCipherOk);
    }
}

TEST(CryptoCrossCheck, EncryptAesCbcAgreesWithNettle) {
    std::mt19937 random(99);
    for (int round = 0; round < 50; ++round) {
        const auto key = randomBytes(random, 32);
        const auto ivBlock = randomBytes(random, 32);
        setProcessAesKey(std::span<const std::uint8_t, 32>(key.data(), 32),
                         std::span<const std::uint8_t, 32>(ivBlock.data(), 32));
        std::string text(random() % 80, ' ');
        for (char& c : text) {
            c = static_cast<char>('!' + random() % 90);
        }
        const std::string composed = std::string(kAesPrefix) + text + '\0';
        const Bytes plain(composed.begin(), composed.end());
        const Bytes iv(ivBlock.begin(), ivBlock.begin() + 16);
        EXPECT_EQ(encryptAesCbc(text), nettleSeal(key, iv, plain));
    }
}

TEST(CryptoCrossCheck, Sha512AgreesWithNettle) {
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        const auto data = randomBytes(random, random() % 700);
        std::string text(data.begin(), data.end());
        sha512_ctx ctx;
        sha512_init(&ctx);
        sha512_update(&ctx, data.size(), data.data());
        std::uint8_t digest[SHA512_DIGEST_SIZE];
        sha512_digest(&ctx, sizeof digest, digest);
        EXPECT_EQ(sha512Hex(text), bytesToHex(digest));
    }
}

} // namespace
