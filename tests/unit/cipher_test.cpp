#include "common/Cipher.h"
#include "common/Tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    const std::string raw = hexToBytes(text);
    return Bytes(raw.begin(), raw.end());
}

template <std::size_t N>
std::span<const std::uint8_t, N> fixed(const Bytes& bytes) {
    return std::span<const std::uint8_t, N>(bytes.data(), N);
}

// FIPS 197 appendix C.3 and SP 800-38A F.2.5 / F.2.6.
const Bytes kFipsKey = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const Bytes kFipsPlain = hex("00112233445566778899aabbccddeeff");
const Bytes kFipsCipher = hex("8ea2b7ca516745bfeafc49904b496089");

const Bytes kSpKey = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kSpIv = hex("000102030405060708090a0b0c0d0e0f");
const Bytes kSpPlain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                           "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const Bytes kSpCipher = hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                            "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

// Runs one whole operation, feeding the input in pieces of the given sizes
// (the last size repeats); the output of every call joined, or the first
// non-zero return value.
struct Run {
    CipherResult result = kCipherOk;
    Bytes out;
};

Run runCipher(CipherDirection direction, std::uint32_t mechanism, const Bytes& key, const Bytes& iv,
              const Bytes& input, const std::vector<std::size_t>& pieces) {
    CipherContext ctx;
    Run run;
    run.result = cipherAesInit(&ctx, direction, mechanism, fixed<32>(key), fixed<16>(iv));
    if (run.result != kCipherOk) {
        return run;
    }
    const bool decrypt = direction == CipherDirection::Decrypt;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < input.size()) {
        const std::size_t n =
            std::min(pieces[std::min(piece++, pieces.size() - 1)], input.size() - at);
        Bytes out(n + 32);
        std::size_t outLen = out.size();
        run.result = decrypt ? cipherDecryptUpdate(&ctx, input.data() + at, n, out.data(), &outLen)
                             : cipherEncryptUpdate(&ctx, input.data() + at, n, out.data(), &outLen);
        if (run.result != kCipherOk) {
            return run;
        }
        run.out.insert(run.out.end(), out.begin(), out.begin() + static_cast<long>(outLen));
        at += n;
    }
    Bytes out(16);
    std::size_t outLen = out.size();
    run.result = decrypt ? cipherDecryptFinal(&ctx, out.data(), &outLen)
                         : cipherEncryptFinal(&ctx, out.data(), &outLen);
    run.out.insert(run.out.end(), out.begin(), out.begin() + static_cast<long>(outLen));
    return run;
}

TEST(AesBlock, Fips197KeyExpansionAndKnownAnswer) {
    AesSchedule schedule{};
    aesSetKey(schedule, fixed<32>(kSpKey));
    // FIPS 197 appendix A.3: the first expanded word and the last.
    EXPECT_EQ(schedule[8], 0x9ba35411u);
    EXPECT_EQ(schedule[59], 0x706c631eu);

    aesSetKey(schedule, fixed<32>(kFipsKey));
    Bytes out(16);
    aesEncryptBlock(schedule, fixed<16>(kFipsPlain), std::span<std::uint8_t, 16>(out));
    EXPECT_EQ(out, kFipsCipher);

    aesInvertKey(schedule);
    aesDecryptBlock(schedule, fixed<16>(kFipsCipher), std::span<std::uint8_t, 16>(out));
    EXPECT_EQ(out, kFipsPlain);
}

TEST(AesBlock, EcbMechanismThroughTheCore) {
    Bytes twice = kFipsPlain;
    twice.insert(twice.end(), kFipsPlain.begin(), kFipsPlain.end());
    Bytes expected = kFipsCipher;
    expected.insert(expected.end(), kFipsCipher.begin(), kFipsCipher.end());
    const Bytes noIv(16);
    auto run = runCipher(CipherDirection::Encrypt, kMechAesEcb, kFipsKey, noIv, twice, {7, 16});
    ASSERT_EQ(run.result, kCipherOk);
    EXPECT_EQ(run.out, expected);
    run = runCipher(CipherDirection::Decrypt, kMechAesEcb, kFipsKey, noIv, expected, {32});
    ASSERT_EQ(run.result, kCipherOk);
    EXPECT_EQ(run.out, twice);
}

// Any way of cutting the input into update calls gives the same output.
TEST(AesCbc, Sp80038aKnownAnswerInAnyPieces) {
    const std::vector<std::vector<std::size_t>> cuts = {
        {64}, {16}, {1}, {15, 17}, {3, 29, 32}, {31, 1, 16}, {0, 64},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(::testing::PrintToString(cut));
        auto run = runCipher(CipherDirection::Encrypt, kMechAesCbc, kSpKey, kSpIv, kSpPlain, cut);
        ASSERT_EQ(run.result, kCipherOk);
        EXPECT_EQ(run.out, kSpCipher);
        run = runCipher(CipherDirection::Decrypt, kMechAesCbc, kSpKey, kSpIv, kSpCipher, cut);
        ASSERT_EQ(run.result, kCipherOk);
        EXPECT_EQ(run.out, kSpPlain);
    }
}

TEST(AesCbcPad, PaddedForEveryLengthAndRoundTrips) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 50; ++length) {
        SCOPED_TRACE(length);
        Bytes plain(length);
        std::generate(plain.begin(), plain.end(),
                      [&] { return static_cast<std::uint8_t>(random()); });
        const std::size_t piece = 1 + random() % 20;
        const auto sealed =
            runCipher(CipherDirection::Encrypt, kMechAesCbcPad, kSpKey, kSpIv, plain, {piece});
        ASSERT_EQ(sealed.result, kCipherOk);
        ASSERT_EQ(sealed.out.size(), (length / 16 + 1) * 16);

        // The unpadded mode shows the PKCS#7 bytes as they are.
        const auto raw =
            runCipher(CipherDirection::Decrypt, kMechAesCbc, kSpKey, kSpIv, sealed.out, {64});
        ASSERT_EQ(raw.result, kCipherOk);
        const auto pad = static_cast<std::uint8_t>(16 - length % 16);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), raw.out.begin()));
        EXPECT_TRUE(std::all_of(raw.out.begin() + static_cast<long>(length), raw.out.end(),
                                [&](std::uint8_t b) { return b == pad; }));

        const auto opened = runCipher(CipherDirection::Decrypt, kMechAesCbcPad, kSpKey, kSpIv,
                                      sealed.out, {1 + random() % 20});
        ASSERT_EQ(opened.result, kCipherOk);
        EXPECT_EQ(opened.out, plain);
    }
}

// A last block whose deciphered bytes are chosen, to reach each padding rule.
Bytes sealedWithLastBlock(const Bytes& lastPlain) {
    Bytes plain = kSpPlain;
    plain.resize(16);
    plain.insert(plain.end(), lastPlain.begin(), lastPlain.end());
    return runCipher(CipherDirection::Encrypt, kMechAesCbc, kSpKey, kSpIv, plain, {32}).out;
}

TEST(AesCbcPad, BadPaddingIsEncryptedDataInvalid) {
    struct Case {
        const char* what;
        Bytes last;
        CipherResult result;
        std::size_t plainLength;
    };
    Bytes tooLarge(16, 0x11);
    Bytes zero(16, 0x00);
    Bytes inconsistent(16, 0x41);
    inconsistent[15] = 0x03;
    inconsistent[14] = 0x03;
    inconsistent[13] = 0x05;
    Bytes wholeBlock(16, 0x10);
    Bytes single(16, 0x41);
    single[15] = 0x01;
    const Case cases[] = {
        {"last byte 0x11", tooLarge, kCipherEncryptedDataInvalid, 0},
        {"last byte 0x00", zero, kCipherEncryptedDataInvalid, 0},
        {"pad bytes disagree", inconsistent, kCipherEncryptedDataInvalid, 0},
        {"a whole block of 0x10", wholeBlock, kCipherOk, 16},
        {"one byte 0x01", single, kCipherOk, 31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto run = runCipher(CipherDirection::Decrypt, kMechAesCbcPad, kSpKey, kSpIv,
                                   sealedWithLastBlock(c.last), {32});
        EXPECT_EQ(run.result, c.result);
        if (c.result == kCipherOk) {
            EXPECT_EQ(run.out.size(), c.plainLength);
        }
    }
}

TEST(AesCbcPad, DecipheringHoldsBackTheLastBlock) {
    CipherContext ctx;
    ASSERT_EQ(cipherDecryptInit(&ctx, fixed<32>(kSpKey)), kCipherOk);
    std::copy(kSpIv.begin(), kSpIv.end(), ctx.chain.begin());
    Bytes out(64);
    std::size_t outLen = out.size();
    ASSERT_EQ(cipherDecryptUpdate(&ctx, kSpCipher.data(), 16, out.data(), &outLen), kCipherOk);
    EXPECT_EQ(outLen, 0u);
    outLen = out.size();
    ASSERT_EQ(cipherDecryptUpdate(&ctx, kSpCipher.data() + 16, 16, out.data(), &outLen), kCipherOk);
    EXPECT_EQ(outLen, 16u);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 16, kSpPlain.begin()));
    EXPECT_EQ(ctx.fill, 16u);
}

class CipherCalls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cipherAesInit(&enc, CipherDirection::Encrypt, kMechAesCbcPad, fixed<32>(kSpKey),
                                fixed<16>(kSpIv)),
                  kCipherOk);
        ASSERT_EQ(cipherDecryptInit(&dec, fixed<32>(kSpKey)), kCipherOk);
    }
    CipherContext enc;
    CipherContext dec;
    CipherContext unset;
    std::array<std::uint8_t, 64> out{};
    std::size_t outLen = out.size();
};

TEST_F(CipherCalls, ArgumentErrors) {
    const std::uint8_t* in = kSpPlain.data();
    EXPECT_EQ(cipherEncryptUpdate(nullptr, in, 16, out.data(), &outLen), kCipherArgumentsBad);
    EXPECT_EQ(cipherDecryptUpdate(&dec, in, 16, out.data(), nullptr), kCipherArgumentsBad);
    EXPECT_EQ(cipherEncryptFinal(nullptr, out.data(), &outLen), kCipherArgumentsBad);
    EXPECT_EQ(cipherDecryptFinal(&dec, out.data(), nullptr), kCipherArgumentsBad);
    EXPECT_EQ(cipherEncryptUpdate(&enc, nullptr, 16, out.data(), &outLen), kCipherDataInvalid);
    EXPECT_EQ(cipherDecryptUpdate(&dec, nullptr, 16, out.data(), &outLen), kCipherDataInvalid);
    EXPECT_EQ(cipherAesInit(&unset, CipherDirection::Encrypt, 0x1083, fixed<32>(kSpKey),
                            fixed<16>(kSpIv)),
              kCipherArgumentsBad);

    // No input is never an error, not even on a context never set up.
    outLen = 99;
    EXPECT_EQ(cipherEncryptUpdate(&unset, nullptr, 0, out.data(), &outLen), kCipherOk);
    EXPECT_EQ(outLen, 0u);
}

TEST_F(CipherCalls, ContextNotSetUpOrOtherDirection) {
    const std::uint8_t* in = kSpPlain.data();
    EXPECT_EQ(cipherEncryptUpdate(&unset, in, 16, out.data(), &outLen), kCipherNotInitialized);
    EXPECT_EQ(cipherDecryptUpdate(&unset, in, 16, out.data(), &outLen), kCipherNotInitialized);
    EXPECT_EQ(cipherEncryptFinal(&unset, out.data(), &outLen), kCipherNotInitialized);
    EXPECT_EQ(cipherDecryptFinal(&unset, out.data(), &outLen), kCipherNotInitialized);
    EXPECT_EQ(cipherDecryptUpdate(&enc, in, 16, out.data(), &outLen), kCipherNotInitialized);
    EXPECT_EQ(cipherEncryptFinal(&dec, out.data(), &outLen), kCipherNotInitialized);
}

TEST_F(CipherCalls, SizeQueryAndBufferTooSmall) {
    const std::uint8_t* in = kSpPlain.data();
    outLen = 0;
    EXPECT_EQ(cipherEncryptUpdate(&enc, in, 40, nullptr, &outLen), kCipherOk);
    EXPECT_EQ(outLen, 32u);
    outLen = 31;
    EXPECT_EQ(cipherEncryptUpdate(&enc, in, 40, out.data(), &outLen), kCipherBufferTooSmall);
    EXPECT_EQ(outLen, 32u);
    EXPECT_EQ(enc.fill, 0u) << "a refused call consumes nothing";

    // Deciphering with padding keeps one block back: 40 bytes give 32, 32 give 16.
    outLen = 0;
    EXPECT_EQ(cipherDecryptUpdate(&dec, in, 40, nullptr, &outLen), kCipherOk);
    EXPECT_EQ(outLen, 32u);
    EXPECT_EQ(cipherDecryptUpdate(&dec, in, 32, nullptr, &outLen), kCipherOk);
    EXPECT_EQ(outLen, 16u);

    outLen = 15;
    EXPECT_EQ(cipherEncryptFinal(&enc, out.data(), &outLen), kCipherBufferTooSmall);
    EXPECT_EQ(outLen, 16u);
    outLen = 0;
    EXPECT_EQ(cipherEncryptFinal(&enc, nullptr, &outLen), kCipherOk);
    EXPECT_EQ(outLen, 16u);
    EXPECT_EQ(enc.blockSize, 16u) << "a size query is not the end of the operation";
    outLen = 15;
    EXPECT_EQ(cipherDecryptFinal(&dec, out.data(), &outLen), kCipherBufferTooSmall);
    EXPECT_EQ(outLen, 16u);
}

TEST_F(CipherCalls, FinalWithIncompleteBlock) {
    const std::uint8_t* in = kSpCipher.data();
    // Deciphering: anything but exactly one buffered block is a length error,
    // reported in the log, never on standard output.
    for (const std::size_t length : {0, 1, 15, 17, 31}) {
        SCOPED_TRACE(length);
        CipherContext ctx;
        ASSERT_EQ(cipherDecryptInit(&ctx, fixed<32>(kSpKey)), kCipherOk);
        outLen = out.size();
        ASSERT_EQ(cipherDecryptUpdate(&ctx, in, length, out.data(), &outLen), kCipherOk);
        outLen = out.size();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(cipherDecryptFinal(&ctx, out.data(), &outLen), kCipherEncryptedDataLenRange);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }

    // Unpadded modes: bytes left over are a data length error, in both directions.
    for (const auto direction : {CipherDirection::Encrypt, CipherDirection::Decrypt}) {
        CipherContext ctx;
        ASSERT_EQ(cipherAesInit(&ctx, direction, kMechAesCbc, fixed<32>(kSpKey), fixed<16>(kSpIv)),
                  kCipherOk);
        outLen = out.size();
        const bool decrypt = direction == CipherDirection::Decrypt;
        ASSERT_EQ(decrypt ? cipherDecryptUpdate(&ctx, in, 20, out.data(), &outLen)
                          : cipherEncryptUpdate(&ctx, in, 20, out.data(), &outLen),
                  kCipherOk);
        EXPECT_EQ(outLen, 16u);
        outLen = out.size();
        EXPECT_EQ(decrypt ? cipherDecryptFinal(&ctx, out.data(), &outLen)
                          : cipherEncryptFinal(&ctx, out.data(), &outLen),
                  kCipherDataLenRange);
    }
}

TEST_F(CipherCalls, SuccessfulFinalWipesTheContext) {
    ASSERT_EQ(cipherEncryptUpdate(&enc, kSpPlain.data(), 20, out.data(), &outLen), kCipherOk);
    outLen = out.size();
    ASSERT_EQ(cipherEncryptFinal(&enc, out.data(), &outLen), kCipherOk);
    EXPECT_TRUE(std::all_of(enc.schedule.begin(), enc.schedule.end(), [](auto w) { return !w; }));
    EXPECT_TRUE(std::all_of(enc.chain.begin(), enc.chain.end(), [](auto b) { return !b; }));
    EXPECT_TRUE(std::all_of(enc.block.begin(), enc.block.end(), [](auto b) { return !b; }));
    outLen = out.size();
    EXPECT_EQ(cipherEncryptFinal(&enc, out.data(), &outLen), kCipherNotInitialized);
}

} // namespace
