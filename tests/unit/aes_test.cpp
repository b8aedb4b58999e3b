#include "common/AES.h"
#include "common/Cipher.h"
#include "common/ToolLog.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Logging on into the sandbox, so a test can read the lines it caused.
class AesFixture : public ::testing::Test {
protected:
    void SetUp() override {
        box.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (box.root() / "logs" / "t.log").string() +
                      "\nLog Level=5\n");
        fs::create_directories(box.root() / "logs");
        ASSERT_TRUE(setLog("AesTest"));
        for (std::size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<std::uint8_t>(0xA0 + i);
            ivBlock[i] = static_cast<std::uint8_t>(i * 7);
        }
        setProcessAesKey(key, ivBlock);
    }
    std::string log() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(box.root() / "logs")) {
            text += testing_support::Sandbox::read(entry.path());
        }
        return text;
    }
    std::span<const std::uint8_t, 16> iv() const {
        return std::span<const std::uint8_t, 16>(ivBlock.data(), 16);
    }
    // Cipher text of exactly these plaintext bytes (PKCS#7 applied by the core).
    Bytes sealRaw(std::string_view plain) const {
        CipherContext ctx;
        EXPECT_EQ(cipherAesInit(&ctx, CipherDirection::Encrypt, kMechAesCbcPad, key, iv()),
                  kCipherOk);
        Bytes out(plain.size() + 16);
        std::size_t n = out.size();
        EXPECT_EQ(cipherEncryptUpdate(&ctx, reinterpret_cast<const std::uint8_t*>(plain.data()),
                                      plain.size(), out.data(), &n),
                  kCipherOk);
        std::size_t last = out.size() - n;
        EXPECT_EQ(cipherEncryptFinal(&ctx, out.data() + n, &last), kCipherOk);
        out.resize(n + last);
        return out;
    }
    // The unpadded plaintext bytes, padding included.
    Bytes openRaw(const Bytes& cipher) const {
        CipherContext ctx;
        EXPECT_EQ(cipherAesInit(&ctx, CipherDirection::Decrypt, kMechAesCbc, key, iv()), kCipherOk);
        Bytes out(cipher.size());
        std::size_t n = out.size();
        EXPECT_EQ(cipherDecryptUpdate(&ctx, cipher.data(), cipher.size(), out.data(), &n),
                  kCipherOk);
        out.resize(n);
        return out;
    }

    testing_support::Sandbox box;
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 32> ivBlock{};
};

TEST_F(AesFixture, EncipheredTextIsPrefixTextZeroAndPadding) {
    struct Case {
        std::size_t textLength;
        std::size_t cipherLength;
    };
    // 15 prefix characters + text + one zero byte, padded to whole blocks.
    const Case cases[] = {{0, 32}, {1, 32}, {15, 32}, {16, 48}, {32, 64}, {100, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.textLength);
        std::string text(c.textLength, 'x');
        std::generate(text.begin(), text.end(), [n = 0]() mutable { return 'a' + n++ % 26; });
        const auto cipher = encryptAesCbc(text);
        ASSERT_TRUE(cipher);
        EXPECT_EQ(cipher->size(), c.cipherLength);

        const Bytes raw = openRaw(*cipher);
        const std::string plain = std::string(kAesPrefix) + text + '\0';
        ASSERT_GE(raw.size(), plain.size());
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), raw.begin()));
        const auto pad = static_cast<std::uint8_t>(c.cipherLength - plain.size());
        EXPECT_TRUE(std::all_of(raw.begin() + static_cast<long>(plain.size()), raw.end(),
                                [&](std::uint8_t b) { return b == pad; }));

        EXPECT_EQ(decryptAesCbc(*cipher, key, iv()), text);
    }
    EXPECT_NE(log().find("[AesTest][Normal] AES: Remove prefix"), std::string::npos);
}

TEST_F(AesFixture, EncipheringUsesTheProcessKeyAndRefusesNoText) {
    const auto first = encryptAesCbc("value");
    ASSERT_TRUE(first);
    std::array<std::uint8_t, 32> other = key;
    other[0] ^= 1;
    setProcessAesKey(other, ivBlock);
    const auto second = encryptAesCbc("value");
    ASSERT_TRUE(second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(decryptAesCbc(*second, other, iv()), "value");
    EXPECT_EQ(decryptAesCbc(*first, key, iv()), "value");

    EXPECT_EQ(encryptAesCbc(std::nullopt), std::nullopt);
    EXPECT_NE(log().find("Parameter inputText is null at AES.cpp"), std::string::npos);
}

TEST_F(AesFixture, TextWithoutPrefixIsReturnedUnchanged) {
    // Another party need not use the prefix; a zero byte ends the text.
    EXPECT_EQ(decryptAesCbc(sealRaw("from the page"), key, iv()), "from the page");
    EXPECT_EQ(decryptAesCbc(sealRaw(std::string("cut\0here", 8)), key, iv()), "cut");
    EXPECT_EQ(decryptAesCbc(sealRaw("CorvantixAESCB"), key, iv()), "CorvantixAESCB");
    EXPECT_EQ(log().find("Remove prefix"), std::string::npos);
}

TEST_F(AesFixture, DecipheringFailuresAreLoggedWithTheirCode) {
    const Bytes good = *encryptAesCbc("secret");
    struct Case {
        const char* what;
        Bytes cipher;
        const char* logged;
    };
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes longer = good;
    longer.push_back(0);
    Bytes badPad = sealRaw(std::string(15, 'p') + '\x11');
    badPad.resize(16); // the block that deciphers to ...0x11, now the last
    Bytes zeroPad = sealRaw(std::string(16, '\0'));
    zeroPad.resize(16);
    const Case cases[] = {
        {"no data", {}, "Error code 65 = 0x41 at "},
        {"one byte short", truncated, "Error code 65 = 0x41 at "},
        {"one byte over", longer, "Error code 65 = 0x41 at "},
        {"last byte 0x11", badPad, "Error code 64 = 0x40 at "},
        {"last byte 0x00", zeroPad, "Error code 64 = 0x40 at "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = log().size();
        EXPECT_EQ(decryptAesCbc(c.cipher, key, iv()), std::nullopt);
        const std::string added = log().substr(before);
        EXPECT_NE(added.find(std::string("[AesTest][Warning] ") + c.logged), std::string::npos)
            << added;
        EXPECT_NE(added.find(" line in AES.cpp"), std::string::npos);
    }
    // A wrong key fails the padding check (or, rarely, gives other bytes).
    std::array<std::uint8_t, 32> wrong = key;
    wrong[31] ^= 0x80;
    EXPECT_NE(decryptAesCbc(good, wrong, iv()), "secret");
}

} // namespace
