// The symmetric ciphers of the crypto library: published vectors, streams
// against nettle called directly, the one-shots, refusals and the error
// lines of failed platform calls.

#include "control/crypto/QxCAPISymKey.h"
#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/SymTestSupport.h"

#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <nettle/pbkdf2.h>
#include <nettle/sha2.h>

#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace symtest;

// ---- nettle as the reference ------------------------------------------------

std::size_t blockOf(int cipher) {
    switch (cipher) {
    case kQxCipherDes:
    case kQxCipher3Des:
        return 8;
    case kQxCipherRc4:
        return 1;
    default:
        return 16;
    }
}

// The cipher with PKCS #5 padding (none for RC4), as the library should
// produce it.
Bytes reference(int cipher, Bytes key, const Bytes& iv, bool ecb, Bytes data) {
    const std::size_t block = blockOf(cipher);
    if (block > 1) {
        const std::size_t pad = block - data.size() % block;
        data.insert(data.end(), pad, static_cast<std::uint8_t>(pad));
    }
    Bytes out(data.size());
    des_ctx des;
    des3_ctx des3;
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
    const void* context = nullptr;
    nettle_cipher_func* encrypt = nullptr;
    switch (cipher) {
    case kQxCipherDes:
        des_set_key(&des, key.data());
        context = &des;
        encrypt = reinterpret_cast<nettle_cipher_func*>(des_encrypt);
        break;
    case kQxCipher3Des:
        if (key.size() == 16) {
            key.insert(key.end(), key.begin(), key.begin() + 8);
        }
        des3_set_key(&des3, key.data());
        context = &des3;
        encrypt = reinterpret_cast<nettle_cipher_func*>(des3_encrypt);
        break;
    case kQxCipherRc4: {
        arcfour_ctx rc4;
        arcfour_set_key(&rc4, key.size(), key.data());
        arcfour_crypt(&rc4, data.size(), out.data(), data.data());
        return out;
    }
    case kQxCipherAes128:
        aes128_set_encrypt_key(&aes128, key.data());
        context = &aes128;
        encrypt = reinterpret_cast<nettle_cipher_func*>(aes128_encrypt);
        break;
    case kQxCipherAes192:
        aes192_set_encrypt_key(&aes192, key.data());
        context = &aes192;
        encrypt = reinterpret_cast<nettle_cipher_func*>(aes192_encrypt);
        break;
    default:
        aes256_set_encrypt_key(&aes256, key.data());
        context = &aes256;
        encrypt = reinterpret_cast<nettle_cipher_func*>(aes256_encrypt);
        break;
    }
    if (ecb) {
        encrypt(context, data.size(), out.data(), data.data());
    } else {
        Bytes chain = iv;
        cbc_encrypt(context, encrypt, block, chain.data(), data.size(), out.data(), data.data());
    }
    return out;
}

// ---- The library -------------------------------------------------------------

struct KeySetup {
    int cipher;
    Bytes key;
    Bytes iv;
    QxCryptFlags flags;
};

Handle createKey(const KeySetup& setup) {
    QxCAPIHandle* raw = nullptr;
    EXPECT_EQ(QxXCAPI_CreateKey(setup.cipher, setup.key.data(),
                                static_cast<std::uint32_t>(setup.key.size()),
                                setup.iv.empty() ? nullptr : setup.iv.data(),
                                static_cast<std::uint32_t>(setup.iv.size()), setup.flags, &raw),
              kQxOk)
        << "cipher " << setup.cipher;
    return Handle(raw);
}

// One message through SetIV, an Update per piece (cut at the given offsets)
// and the Final; each call writes behind the output so far.
Bytes stream(QxCAPIHandle* key, bool encrypt, const Bytes& input,
             const std::vector<std::size_t>& cuts, int* rc) {
    *rc = QxXCAPI_SetIV(key, nullptr);
    Bytes out(input.size() + 32, 0);
    std::uint32_t written = 0;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(input.size());
    for (const std::size_t to : ends) {
        if (*rc != kQxOk) {
            return {};
        }
        std::uint32_t n = 0;
        const auto capacity = static_cast<std::uint32_t>(out.size() - written);
        const auto length = static_cast<std::uint32_t>(to - from);
        *rc = encrypt ? QxXCAPI_EncryptUpdate(key, input.data() + from, length,
                                              out.data() + written, capacity, &n)
                      : QxXCAPI_DecryptUpdate(key, input.data() + from, length,
                                              out.data() + written, capacity, &n);
        written += n;
        from = to;
    }
    if (*rc != kQxOk) {
        return {};
    }
    std::uint32_t n = 0;
    const auto capacity = static_cast<std::uint32_t>(out.size() - written);
    *rc = encrypt ? QxXCAPI_EncryptFinal(key, out.data() + written, capacity, &n)
                  : QxXCAPI_DecryptFinal(key, out.data() + written, capacity, &n);
    if (*rc != kQxOk) {
        return {};
    }
    out.resize(written + n);
    return out;
}

Bytes encryptOnce(const KeySetup& setup, const Bytes& data, int* rc) {
    std::uint8_t* raw = nullptr;
    std::uint32_t length = 0;
    *rc = QxXCAPI_Encrypt(setup.cipher, data.data(), static_cast<std::uint32_t>(data.size()),
                          setup.key.data(), static_cast<std::uint32_t>(setup.key.size()),
                          setup.iv.empty() ? nullptr : setup.iv.data(),
                          static_cast<std::uint32_t>(setup.iv.size()), setup.flags, &raw, &length);
    Buffer owned(raw);
    if (*rc != kQxOk) {
        EXPECT_EQ(raw, nullptr);
        return {};
    }
    return Bytes(raw, raw + length);
}

Bytes sample(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    return out;
}

const Bytes kDesKey = hex("0123456789abcdef");
const Bytes kDesIv = hex("1234567890abcdef");
const Bytes kAesIv = hex("000102030405060708090a0b0c0d0e0f");
const Bytes kAes128Key = hex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kAes192Key = hex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b");
const Bytes kAes256Key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kAesPlain = hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                            "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
const Bytes kRc4Key = hex("0102030405060708090a0b0c0d0e0f10");

// Every cipher in both modes, with the keys of the vectors.
std::vector<KeySetup> everyCipher() {
    std::vector<KeySetup> out;
    for (const QxCryptFlags mode : {kQxModeCbc, kQxModeEcb}) {
        out.push_back({kQxCipherDes, kDesKey, kDesIv, mode});
        out.push_back(
            {kQxCipher3Des, hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123"), kDesIv, mode});
        out.push_back({kQxCipher3Des, hex("0123456789ABCDEF23456789ABCDEF01"), kDesIv, mode});
        out.push_back({kQxCipherAes128, kAes128Key, kAesIv, mode});
        out.push_back({kQxCipherAes192, kAes192Key, kAesIv, mode});
        out.push_back({kQxCipherAes256, kAes256Key, kAesIv, mode});
    }
    out.push_back({kQxCipherRc4, kRc4Key, {}, 0});
    return out;
}

std::string describe(const KeySetup& setup) {
    return "cipher " + std::to_string(setup.cipher) + " key " + std::to_string(setup.key.size()) +
           " flags " + std::to_string(setup.flags);
}

// ---- Published vectors -------------------------------------------------------

TEST(Cipher, PublishedBlockVectorsWithTheirPaddingBlock) {
    const Bytes fox = hex("5468652071756663 6B2062726F776E20 666F78206A756D70");
    const Bytes nowIs = hex("4e6f77206973207468652074696d6520666f7220616c6c20");
    const Bytes cavpPlain = hex("12e5ad383e31d4350bb4cd137dc4a73b5951cdccea1a091b561fbd563e497e40");
    const Bytes cavpIv = hex("dc19d1b20fe34aa8");
    const struct {
        const char* name;
        KeySetup setup;
        Bytes plain;
        const char* expected;
    } cases[] = {
        // FIPS 81, appendix B and C.
        {"DES ECB",
         {kQxCipherDes, kDesKey, kDesIv, kQxModeEcb},
         nowIs,
         "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
        {"DES CBC",
         {kQxCipherDes, kDesKey, kDesIv, kQxModeCbc},
         nowIs,
         "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
        // SP 800-67, the three-key example.
        {"TDEA ECB",
         {kQxCipher3Des, hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123"), kDesIv,
          kQxModeEcb},
         fox,
         "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
        // Two-key and three-key CBC rows, produced with
        //   openssl enc -des-ede3-cbc -nopad -K <K1 K2 K1 or K1 K2 K3> -iv <IV>
        {"TDEA CBC two keys",
         {kQxCipher3Des, hex("9e9713766c284678 efcfaa53130030ec"), cavpIv, kQxModeCbc},
         cavpPlain,
         "eb6bc18fac3ae262ca44cdc6bfccfeb666c84e186f63a92f53a6660193632a92"},
        {"TDEA CBC K1 K2 K1",
         {kQxCipher3Des, hex("9e9713766c284678 efcfaa53130030ec 9e9713766c284678"), cavpIv, 0},
         cavpPlain,
         "eb6bc18fac3ae262ca44cdc6bfccfeb666c84e186f63a92f53a6660193632a92"},
        {"TDEA CBC three keys",
         {kQxCipher3Des, hex("9e9713766c284678 efcfaa53130030ec cd057f2f3dad98b1"), cavpIv,
          kQxModeCbc},
         cavpPlain,
         "e9526167e50d744988e27ec46af8d6320a9903e049418065f90a4bbe56802ab2"},
        // SP 800-38A, F.1 and F.2.
        {"AES-128 ECB",
         {kQxCipherAes128, kAes128Key, kAesIv, kQxModeEcb},
         kAesPlain,
         "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
         "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
        {"AES-128 CBC",
         {kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc},
         kAesPlain,
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"AES-192 ECB",
         {kQxCipherAes192, kAes192Key, kAesIv, kQxModeEcb},
         kAesPlain,
         "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
         "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
        {"AES-192 CBC",
         {kQxCipherAes192, kAes192Key, kAesIv, kQxModeCbc},
         kAesPlain,
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"AES-256 ECB",
         {kQxCipherAes256, kAes256Key, kAesIv, kQxModeEcb},
         kAesPlain,
         "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
         "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
        {"AES-256 CBC",
         {kQxCipherAes256, kAes256Key, kAesIv, kQxModeCbc},
         kAesPlain,
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    for (const auto& c : cases) {
        int rc = -1;
        const Bytes out = encryptOnce(c.setup, c.plain, &rc);
        ASSERT_EQ(rc, kQxOk) << c.name;
        const std::size_t block = blockOf(c.setup.cipher);
        // A whole number of blocks gets a whole block of padding.
        ASSERT_EQ(out.size(), c.plain.size() + block) << c.name;
        EXPECT_EQ(toHex(out.data(), c.plain.size()), c.expected) << c.name;
        const Bytes padded = reference(c.setup.cipher, c.setup.key, c.setup.iv,
                                       c.setup.flags == kQxModeEcb, c.plain);
        EXPECT_EQ(toHex(out.data() + c.plain.size(), block),
                  toHex(padded.data() + c.plain.size(), block))
            << c.name << ": padding block";

        const Handle key = createKey(c.setup);
        EXPECT_EQ(stream(key.get(), false, out, {}, &rc), c.plain) << c.name;
        EXPECT_EQ(rc, kQxOk) << c.name;
    }
}

TEST(Cipher, Rc4KeystreamOfRfc6229) {
    const struct {
        Bytes key;
        std::vector<std::pair<std::size_t, const char*>> rows;
    } cases[] = {
        {kRc4Key,
         {{0, "9ac7cc9a609d1ef7b2932899cde41b97"},
          {16, "5248c4959014126a6e8a84f11d1a9e1c"},
          {240, "065902e4b620f6cc36c8589f66432f2b"},
          {256, "d39d566bc6bce3010768151549f3873f"},
          {496, "b6d1e6c4a5e4771cad79538df295fb11"},
          {512, "c68c1d5c559a974123df1dbc52a43b89"},
          {752, "c5ecf88de897fd57fed301701b82a259"},
          {768, "eccbe13de1fcc91c11a0b26c0bc8fa4d"},
          {1008, "e7a72574f8782ae26aabcf9ebcd66065"},
          {1024, "bdf0324e6083dcc6d3cedd3ca8c53c16"},
          {1520, "b40110c4190b5622a96116b0017ed297"},
          {1536, "ffa0b514647ec04f6306b892ae661181"},
          {2032, "d03d1bc03cd33d70dff9fa5d71963ebd"},
          {2048, "8a44126411eaa78bd51e8d87a8879bf5"},
          {3056, "fabeb76028ade2d0e48722e46c4615a3"},
          {3072, "c05d88abd50357f935a63c59ee537623"},
          {4080, "ff38265c1642c1abe8d3c2fe5e572bf8"},
          {4096, "a36a4c301ae8ac13610ccbc12256cacc"}}},
        {hex("ebb46227c6cc8b37641910833222772a"),
         {{0, "720c94b63edf44e131d950ca211a5a30"},
          {16, "c366fdeacf9ca80436be7c358424d20b"},
          {240, "b3394a40aabf75cba42282ef25a0059f"},
          {256, "4847d81da4942dbc249defc48c922b9f"},
          {496, "08128c469f275342adda202b2b58da95"},
          {512, "970dacef40ad98723bac5d6955b81761"},
          {752, "3cb89993b07b0ced93de13d2a11013ac"},
          {768, "ef2d676f1545c2c13dc680a02f4adbfe"},
          {1008, "b60595514f24bc9fe522a6cad7393644"},
          {1024, "b515a8c5011754f59003058bdb81514e"},
          {1520, "3c70047e8cbc038e3b9820db601da495"},
          {1536, "1175da6ee756de46a53e2b075660b770"},
          {2032, "00a542bba02111cc2c65b38ebdba587e"},
          {2048, "5865fdbb5b48064104e830b380f2aede"},
          {3056, "34b21ad2ad44e999db2d7f0863f0d9b6"},
          {3072, "84a9218fc36e8a5f2ccfbeae53a27d25"},
          {4080, "a2221a11b833ccb498a59540f0545f4a"},
          {4096, "5bbeb4787d59e5373fdbea6c6f75c29b"}}},
    };
    for (const auto& c : cases) {
        const KeySetup setup{kQxCipherRc4, c.key, {}, 0};
        int rc = -1;
        const Bytes zeros(4112, 0);
        const Bytes keystream = encryptOnce(setup, zeros, &rc);
        ASSERT_EQ(rc, kQxOk);
        // A stream cipher adds nothing.
        ASSERT_EQ(keystream.size(), zeros.size());
        for (const auto& [offset, expected] : c.rows) {
            EXPECT_EQ(toHex(keystream.data() + offset, 16), expected)
                << toHex(c.key) << " at " << offset;
        }
        const Handle key = createKey(setup);
        EXPECT_EQ(stream(key.get(), false, keystream, {1000, 1001, 3000}, &rc), zeros);
        EXPECT_EQ(rc, kQxOk);
    }
}

TEST(Cipher, PasswordOneShotDecryptsOpensslOutput) {
    // "12345" enciphered by openssl's command line with PBKDF2-HMAC-SHA1
    // (one iteration) deriving 24 + 8 bytes of key and IV, triple DES CBC.
    const Bytes data = hex("BB955585D386401F");
    const Bytes salt = hex("0001020304050607");
    std::uint8_t* raw = nullptr;
    std::uint32_t length = 0;
    ASSERT_EQ(QxXCAPI_Decrypt("password", data.data(), 8, salt.data(), 8, 1, nullptr, kQxCipher3Des,
                              0x20, &raw, &length),
              kQxOk);
    const Buffer out(raw);
    ASSERT_EQ(length, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw), length), "12345");
    EXPECT_EQ(raw[5], 0); // a terminator after the plaintext

    // The derived IV given explicitly decrypts the same; another one does not.
    Bytes derived(32);
    ASSERT_EQ(PKCS5_PBKDF2_derive("password", 8, salt.data(), 8, 1, 32, derived.data()), kQxOk);
    std::uint8_t* again = nullptr;
    ASSERT_EQ(QxXCAPI_Decrypt("password", data.data(), 8, salt.data(), 8, 1, derived.data() + 24,
                              kQxCipher3Des, 0x20, &again, &length),
              kQxOk);
    const Buffer againOwned(again);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(again), length), "12345");

    // A wrong password leaves nothing with the caller.
    std::uint8_t* none = nullptr;
    length = 77;
    EXPECT_NE(QxXCAPI_Decrypt("passwore", data.data(), 8, salt.data(), 8, 1, nullptr, kQxCipher3Des,
                              0x20, &none, &length),
              kQxOk);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(length, 77u);
}

// ---- Streams ---------------------------------------------------------------

// Block ciphers start every message afresh with SetIV on one key; RC4's
// keystream runs on across messages, so each message gets a key of its own.
class MessageKeys {
public:
    explicit MessageKeys(const KeySetup& setup) : setup_(setup), key_(createKey(setup)) {}
    QxCAPIHandle* next() {
        if (setup_.cipher == kQxCipherRc4 && used_) {
            key_ = createKey(setup_);
        }
        used_ = true;
        return key_.get();
    }

private:
    KeySetup setup_;
    Handle key_;
    bool used_ = false;
};

TEST(Cipher, StreamsCutAtEveryOffsetMatchNettle) {
    for (const KeySetup& setup : everyCipher()) {
        MessageKeys keys(setup);
        for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 45u, 48u}) {
            const Bytes plain = sample(size);
            const Bytes expected =
                reference(setup.cipher, setup.key, setup.iv, setup.flags == kQxModeEcb, plain);
            for (std::size_t cut = 0; cut <= size; ++cut) {
                int rc = -1;
                const Bytes cipherText = stream(keys.next(), true, plain, {cut}, &rc);
                ASSERT_EQ(rc, kQxOk) << describe(setup);
                ASSERT_EQ(toHex(cipherText), toHex(size == 0 ? Bytes{} : expected))
                    << describe(setup) << " size " << size << " cut " << cut;
            }
            for (std::size_t cut = 0; cut <= expected.size() && size > 0; ++cut) {
                int rc = -1;
                EXPECT_EQ(stream(keys.next(), false, expected, {cut}, &rc), plain)
                    << describe(setup) << " size " << size << " cut " << cut;
                ASSERT_EQ(rc, kQxOk) << describe(setup);
            }
        }
    }
}

TEST(Cipher, StreamsInManySmallPiecesMatchNettle) {
    const Bytes plain = sample(100);
    for (const KeySetup& setup : everyCipher()) {
        MessageKeys keys(setup);
        const Bytes expected =
            reference(setup.cipher, setup.key, setup.iv, setup.flags == kQxModeEcb, plain);
        for (const std::size_t step : {1u, 3u, 7u}) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = step; at < plain.size(); at += step) {
                cuts.push_back(at);
            }
            int rc = -1;
            EXPECT_EQ(stream(keys.next(), true, plain, cuts, &rc), expected)
                << describe(setup) << " step " << step;
            EXPECT_EQ(rc, kQxOk);
            cuts.clear();
            for (std::size_t at = step; at < expected.size(); at += step) {
                cuts.push_back(at);
            }
            EXPECT_EQ(stream(keys.next(), false, expected, cuts, &rc), plain)
                << describe(setup) << " step " << step;
            EXPECT_EQ(rc, kQxOk);
        }
    }
}

TEST(Cipher, UpdateHoldsBackTheTailAndLeavesNoneOfItInTheOutput) {
    const Handle key = createKey({kQxCipherDes, kDesKey, kDesIv, kQxModeCbc});
    ASSERT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
    const Bytes plain = sample(13);
    Bytes out(32, 0xEE);
    std::uint32_t n = 0;
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 13, out.data(), 32, &n), kQxOk);
    EXPECT_EQ(n, 8u);
    // The five held-back plaintext bytes passed through the buffer.
    EXPECT_EQ(Bytes(out.begin() + 8, out.begin() + 13), Bytes(5, 0));
    EXPECT_EQ(Bytes(out.begin() + 13, out.end()), Bytes(19, 0xEE));

    // A multiple of the block keeps a whole block for the padding.
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 3, out.data(), 32, &n), kQxOk);
    EXPECT_EQ(n, 0u);
}

TEST(Cipher, UpdateInPlace) {
    const KeySetup setup{kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc};
    const Handle key = createKey(setup);
    ASSERT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
    const Bytes plain = sample(40);
    Bytes buffer(80, 0);
    std::copy(plain.begin(), plain.begin() + 20, buffer.begin());
    std::uint32_t first = 0;
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), buffer.data(), 20, buffer.data(), 80, &first),
              kQxOk);
    // The held-back bytes go in front of the new input in the same buffer.
    std::copy(plain.begin() + 20, plain.end(), buffer.begin() + first);
    std::uint32_t second = 0;
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), buffer.data() + first, 20, buffer.data() + first,
                                    80 - first, &second),
              kQxOk);
    std::uint32_t last = 0;
    ASSERT_EQ(
        QxXCAPI_EncryptFinal(key.get(), buffer.data() + first + second, 80 - first - second, &last),
        kQxOk);
    buffer.resize(first + second + last);
    EXPECT_EQ(buffer, reference(setup.cipher, setup.key, setup.iv, false, plain));
}

TEST(Cipher, CapacityTooSmallIsRefusedBeforeAnythingIsWritten) {
    const Handle key = createKey({kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc});
    ASSERT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
    const Bytes plain = sample(20);
    Bytes out(64, 0xEE);
    std::uint32_t n = 99;
    // Nothing held back yet: the input alone must fit.
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 20, out.data(), 19, &n),
              kQxBadArgument);
    EXPECT_EQ(QxXCAPI_DecryptUpdate(key.get(), plain.data(), 20, out.data(), 19, &n),
              kQxBadArgument);
    EXPECT_EQ(out, Bytes(64, 0xEE));
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 20, out.data(), 20, &n), kQxOk);
    ASSERT_EQ(n, 16u);
    // Four held back: four more bytes need room for eight.
    Bytes next(64, 0xEE);
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 4, next.data(), 7, &n),
              kQxBadArgument);
    EXPECT_EQ(next, Bytes(64, 0xEE));
    // The Final of four held-back bytes needs one block.
    EXPECT_EQ(QxXCAPI_EncryptFinal(key.get(), next.data(), 15, &n), kQxBadArgument);
    EXPECT_EQ(next, Bytes(64, 0xEE));
    ASSERT_EQ(QxXCAPI_EncryptFinal(key.get(), next.data(), 16, &n), kQxOk);
    EXPECT_EQ(n, 16u);

    // A whole block held back needs two for the Final.
    ASSERT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
    ASSERT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 16, out.data(), 16, &n), kQxOk);
    ASSERT_EQ(n, 0u);
    Bytes tail(64, 0xEE);
    EXPECT_EQ(QxXCAPI_EncryptFinal(key.get(), tail.data(), 31, &n), kQxBadArgument);
    EXPECT_EQ(tail, Bytes(64, 0xEE));
    ASSERT_EQ(QxXCAPI_EncryptFinal(key.get(), tail.data(), 32, &n), kQxOk);
    EXPECT_EQ(n, 32u);

    // The Final of a decryption needs a block for the held-back one.
    const Bytes cipherText = Bytes(tail.begin(), tail.begin() + 32);
    ASSERT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
    ASSERT_EQ(QxXCAPI_DecryptUpdate(key.get(), cipherText.data(), 32, out.data(), 32, &n), kQxOk);
    Bytes plainTail(64, 0xEE);
    EXPECT_EQ(QxXCAPI_DecryptFinal(key.get(), plainTail.data(), 15, &n), kQxBadArgument);
    EXPECT_EQ(plainTail, Bytes(64, 0xEE));
    ASSERT_EQ(QxXCAPI_DecryptFinal(key.get(), plainTail.data(), 16, &n), kQxOk);
    EXPECT_EQ(n, 0u);
}

TEST(Cipher, NullPointersAreRefused) {
    const Handle key = createKey({kQxCipherDes, kDesKey, kDesIv, kQxModeCbc});
    Bytes out(32);
    std::uint32_t n = 0;
    const Bytes plain = sample(8);
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), nullptr, 8, out.data(), 32, &n), kQxBadArgument);
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 8, nullptr, 32, &n), kQxBadArgument);
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), plain.data(), 8, out.data(), 32, nullptr),
              kQxBadArgument);
    EXPECT_EQ(QxXCAPI_DecryptUpdate(key.get(), nullptr, 8, out.data(), 32, &n), kQxBadArgument);
    EXPECT_EQ(QxXCAPI_EncryptFinal(key.get(), out.data(), 32, nullptr), kQxBadArgument);
    EXPECT_EQ(QxXCAPI_DecryptFinal(key.get(), out.data(), 32, nullptr), kQxBadArgument);
    // Empty input with no buffers is an empty output.
    EXPECT_EQ(QxXCAPI_EncryptUpdate(key.get(), nullptr, 0, nullptr, 0, &n), kQxOk);
    EXPECT_EQ(n, 0u);

    std::uint8_t* raw = nullptr;
    EXPECT_EQ(
        QxXCAPI_Encrypt(kQxCipherDes, nullptr, 8, kDesKey.data(), 8, kDesIv.data(), 8, 0, &raw, &n),
        kQxBadArgument);
    EXPECT_EQ(QxXCAPI_Encrypt(kQxCipherDes, plain.data(), 8, kDesKey.data(), 8, kDesIv.data(), 8, 0,
                              nullptr, &n),
              kQxBadArgument);
    EXPECT_EQ(
        QxXCAPI_Decrypt("password", nullptr, 8, nullptr, 0, 1, nullptr, kQxCipherDes, 0, &raw, &n),
        kQxBadArgument);
    EXPECT_EQ(QxXCAPI_Decrypt("password", plain.data(), 8, nullptr, 8, 1, nullptr, kQxCipherDes, 0,
                              &raw, &n),
              kQxBadArgument);
    EXPECT_EQ(raw, nullptr);
}

// ---- Lengths, modes and refusals ---------------------------------------------

TEST(Cipher, OutputLengthsOfTheOneShot) {
    const struct {
        KeySetup setup;
        std::size_t in;
        std::size_t out;
    } cases[] = {
        {{kQxCipherDes, kDesKey, kDesIv, kQxModeCbc}, 8, 16},
        {{kQxCipherDes, kDesKey, kDesIv, kQxModeCbc}, 7, 8},
        {{kQxCipherDes, kDesKey, kDesIv, kQxModeEcb}, 1, 8},
        {{kQxCipherDes, kDesKey, kDesIv, kQxModeCbc}, 0, 0},
        {{kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc}, 15, 16},
        {{kQxCipherAes256, kAes256Key, kAesIv, kQxModeCbc}, 32, 48},
        {{kQxCipherRc4, kRc4Key, {}, 0}, 7, 7},
    };
    for (const auto& c : cases) {
        const Bytes plain = sample(c.in);
        int rc = -1;
        const Bytes out = encryptOnce(c.setup, plain, &rc);
        ASSERT_EQ(rc, kQxOk) << describe(c.setup);
        EXPECT_EQ(out.size(), c.out) << describe(c.setup) << " of " << c.in;
        const Handle key = createKey(c.setup);
        EXPECT_EQ(stream(key.get(), false, out, {}, &rc), plain) << describe(c.setup);
        EXPECT_EQ(rc, kQxOk);
    }
}

TEST(Cipher, ModeFlags) {
    const Bytes plain = sample(24);
    const Bytes cbc = reference(kQxCipherDes, kDesKey, kDesIv, false, plain);
    const Bytes ecb = reference(kQxCipherDes, kDesKey, kDesIv, true, plain);
    ASSERT_NE(cbc, ecb);
    const struct {
        QxCryptFlags flags;
        const Bytes* expected;
    } cases[] = {
        {0, &cbc},
        {kQxModeCbc, &cbc},
        {kQxModeEcb, &ecb},
        // Hash and derivation bits mean nothing to a raw key.
        {0x100 | kQxModeEcb | kQxHashSha256, &ecb},
    };
    for (const auto& c : cases) {
        int rc = -1;
        EXPECT_EQ(encryptOnce({kQxCipherDes, kDesKey, kDesIv, c.flags}, plain, &rc), *c.expected)
            << std::hex << c.flags;
        EXPECT_EQ(rc, kQxOk);
    }
}

TEST(Cipher, TripleDesSixteenByteKeyIsK1K2K1) {
    const Bytes k1k2 = hex("9e9713766c284678 efcfaa53130030ec");
    const Bytes k1k2k1 = hex("9e9713766c284678 efcfaa53130030ec 9e9713766c284678");
    const Bytes k1k2k3 = hex("9e9713766c284678 efcfaa53130030ec cd057f2f3dad98b1");
    const Bytes plain = sample(37);
    for (const QxCryptFlags mode : {kQxModeCbc, kQxModeEcb}) {
        int rc = -1;
        const Bytes two = encryptOnce({kQxCipher3Des, k1k2, kDesIv, mode}, plain, &rc);
        ASSERT_EQ(rc, kQxOk);
        EXPECT_EQ(two, encryptOnce({kQxCipher3Des, k1k2k1, kDesIv, mode}, plain, &rc));
        EXPECT_NE(two, encryptOnce({kQxCipher3Des, k1k2k3, kDesIv, mode}, plain, &rc));
    }
}

TEST(Cipher, CreateKeyRefusals) {
    const Bytes key32(32, 0x42);
    const Bytes iv16(16, 0x24);
    const struct {
        const char* name;
        int cipher;
        std::uint32_t keyLength;
        std::uint32_t ivLength;
        QxCryptFlags flags;
        bool nullKey;
        bool nullIv;
        int expected;
    } cases[] = {
        {"cipher 3", kQxCipherUnsupported, 8, 8, 0, false, false, kQxUnsupported},
        {"cipher 0", 0, 8, 8, 0, false, false, kQxBadArgument},
        {"cipher 8", 8, 8, 8, 0, false, false, kQxBadArgument},
        {"cipher -1", -1, 8, 8, 0, false, false, kQxBadArgument},
        {"RC4 with an IV", kQxCipherRc4, 16, 8, 0, false, false, kQxBadArgument},
        {"RC4 with a short key", kQxCipherRc4, 8, 0, 0, false, false, kQxBadArgument},
        {"RC4 with a long key", kQxCipherRc4, 24, 0, 0, false, false, kQxBadArgument},
        {"DES with a 7-byte key", kQxCipherDes, 7, 8, 0, false, false, kQxBadArgument},
        {"DES with a 16-byte IV", kQxCipherDes, 8, 16, 0, false, false, kQxBadArgument},
        {"3DES with a 20-byte key", kQxCipher3Des, 20, 8, 0, false, false, kQxBadArgument},
        {"3DES with an 8-byte key", kQxCipher3Des, 8, 8, 0, false, false, kQxBadArgument},
        {"AES-128 with a 24-byte key", kQxCipherAes128, 24, 16, 0, false, false, kQxBadArgument},
        {"AES-192 with an 8-byte IV", kQxCipherAes192, 24, 8, 0, false, false, kQxBadArgument},
        {"AES-256 with no IV", kQxCipherAes256, 32, 0, 0, false, false, kQxBadArgument},
        {"mode 0x30", kQxCipherAes128, 16, 16, 0x30, false, false, kQxBadArgument},
        {"RC4 mode 0x30", kQxCipherRc4, 16, 0, 0x30, false, false, kQxBadArgument},
        {"null key", kQxCipherDes, 8, 8, 0, true, false, kQxBadArgument},
        {"null IV", kQxCipherDes, 8, 8, 0, false, true, kQxBadArgument},
    };
    for (const auto& c : cases) {
        QxCAPIHandle* handle = nullptr;
        EXPECT_EQ(QxXCAPI_CreateKey(c.cipher, c.nullKey ? nullptr : key32.data(), c.keyLength,
                                    c.nullIv ? nullptr : iv16.data(), c.ivLength, c.flags, &handle),
                  c.expected)
            << c.name;
        EXPECT_EQ(handle, nullptr) << c.name;
        std::uint8_t* out = nullptr;
        std::uint32_t length = 0;
        const Bytes plain = sample(8);
        EXPECT_EQ(QxXCAPI_Encrypt(c.cipher, plain.data(), 8, c.nullKey ? nullptr : key32.data(),
                                  c.keyLength, c.nullIv ? nullptr : iv16.data(), c.ivLength,
                                  c.flags, &out, &length),
                  c.expected)
            << c.name;
        EXPECT_EQ(out, nullptr) << c.name;
    }
    EXPECT_EQ(QxXCAPI_CreateKey(kQxCipherDes, key32.data(), 8, iv16.data(), 8, 0, nullptr),
              kQxBadArgument);
}

TEST(Cipher, GenerateKeyDerivesKeyAndIv) {
    const Bytes salt = hex("788E5A5D63CB0678");
    const Bytes password = bytesOf("secret");
    const Bytes plain = sample(30);
    // PBKDF1 over SHA-256 has room for an AES-128 key and IV.
    {
        sha256_ctx context;
        sha256_init(&context);
        sha256_update(&context, password.size(), password.data());
        sha256_update(&context, salt.size(), salt.data());
        Bytes t(32);
        sha256_digest(&context, 32, t.data());
        const Bytes key(t.begin(), t.begin() + 16);
        const Bytes iv(t.begin() + 16, t.end());
        QxCAPIHandle* raw = nullptr;
        ASSERT_EQ(QxXCAPI_GenerateKey(kQxCipherAes128, "secret", salt.data(), 8, 1,
                                      kQxDerivePbkdf1 | kQxHashSha256 | kQxModeCbc, &raw),
                  kQxOk);
        const Handle handle(raw);
        int rc = -1;
        EXPECT_EQ(stream(handle.get(), true, plain, {11}, &rc),
                  reference(kQxCipherAes128, key, iv, false, plain));
        EXPECT_EQ(rc, kQxOk);
    }
    // PBKDF2 for RC4: sixteen key bytes, no IV.
    {
        Bytes key(16);
        pbkdf2_hmac_sha1(password.size(), password.data(), 5, salt.size(), salt.data(), 16,
                         key.data());
        QxCAPIHandle* raw = nullptr;
        ASSERT_EQ(QxXCAPI_GenerateKey(kQxCipherRc4, "secret", salt.data(), 8, 5, 0, &raw), kQxOk);
        const Handle handle(raw);
        int rc = -1;
        EXPECT_EQ(stream(handle.get(), true, plain, {3}, &rc),
                  reference(kQxCipherRc4, key, {}, false, plain));
        EXPECT_EQ(rc, kQxOk);
    }
    const struct {
        const char* name;
        int cipher;
        const char* password;
        QxCryptFlags flags;
        int expected;
    } refusals[] = {
        {"null password", kQxCipherDes, nullptr, 0, kQxBadArgument},
        {"cipher 3", kQxCipherUnsupported, "secret", 0, kQxUnsupported},
        {"cipher 8", 8, "secret", 0, kQxBadArgument},
        // 32 + 16 bytes do not fit one SHA-256 digest.
        {"PBKDF1 too short", kQxCipherAes256, "secret", kQxDerivePbkdf1 | kQxHashSha256,
         kQxBadArgument},
        {"PBKDF1 SHA-512", kQxCipherDes, "secret", kQxDerivePbkdf1 | kQxHashSha512, kQxFailed},
        {"derivation 0x300", kQxCipherDes, "secret", 0x300, kQxBadArgument},
        {"mode 0x30", kQxCipherDes, "secret", 0x30, kQxBadArgument},
    };
    for (const auto& c : refusals) {
        QxCAPIHandle* handle = nullptr;
        EXPECT_EQ(QxXCAPI_GenerateKey(c.cipher, c.password, salt.data(), 8, 1, c.flags, &handle),
                  c.expected)
            << c.name;
        EXPECT_EQ(handle, nullptr) << c.name;
    }
}

TEST(Cipher, DecryptFinalRefusesBadPaddingAndPartialBlocks) {
    const KeySetup setup{kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc};
    const Handle key = createKey(setup);
    // reference() pads; the first block alone is 16 plaintext bytes whose
    // last byte is no valid pad length.
    const struct {
        const char* name;
        Bytes lastPlainBlock;
    } badPads[] = {
        {"pad byte 0", Bytes(16, 0)},
        {"pad byte 17", Bytes(16, 17)},
        {"inconsistent pad", hex("000102030405060708090a0b0c0d0304")},
    };
    for (const auto& c : badPads) {
        const Bytes cipherText =
            reference(setup.cipher, setup.key, setup.iv, false, c.lastPlainBlock);
        const Bytes firstBlock(cipherText.begin(), cipherText.begin() + 16);
        int rc = -1;
        EXPECT_TRUE(stream(key.get(), false, firstBlock, {}, &rc).empty()) << c.name;
        EXPECT_EQ(rc, kQxDecryptFailed) << c.name;
    }
    const Bytes cipherText = reference(setup.cipher, setup.key, setup.iv, false, sample(20));
    for (const std::size_t size : {1u, 15u, 17u, 31u}) {
        int rc = -1;
        stream(key.get(), false, Bytes(cipherText.begin(), cipherText.begin() + size), {}, &rc);
        EXPECT_EQ(rc, kQxFailed) << size;
    }
}

// ---- Handles ---------------------------------------------------------------

TEST(Handles, WrongTypeAndNullAreRefusedByEveryCall) {
    QxCAPIHandle* rawHash = nullptr;
    ASSERT_EQ(QxXCAPI_HashInit(&rawHash, kQxHashSha1), kQxOk);
    const Handle hash(rawHash);
    QxCAPIHandle* rawHmac = nullptr;
    ASSERT_EQ(QxXCAPI_HMACInit(&rawHmac, nullptr, 0, kQxHashSha1), kQxOk);
    const Handle hmac(rawHmac);
    const Handle key = createKey({kQxCipherDes, kDesKey, kDesIv, kQxModeCbc});
    // A record of the right type with no object behind it.
    QxCAPIHandle emptyKey{kQxHandleSymKey, nullptr, nullptr, 0};
    QxCAPIHandle emptyHash{kQxHandleHash, nullptr, nullptr, 0};
    QxCAPIHandle emptyHmac{kQxHandleHmac, nullptr, nullptr, 0};

    std::uint8_t data[64] = {};
    std::uint32_t n = 0;
    QxBlob out{0, nullptr};
    const struct {
        const char* name;
        std::function<int(QxCAPIHandle*)> call;
        QxCAPIHandle* wrong;
        QxCAPIHandle* empty;
    } calls[] = {
        {"HashUpdate", [&](QxCAPIHandle* h) { return QxXCAPI_HashUpdate(h, data, 4); }, key.get(),
         &emptyHash},
        {"HashFinal", [&](QxCAPIHandle* h) { return QxXCAPI_HashFinal(h, 0, &out); }, hmac.get(),
         &emptyHash},
        {"HMACUpdate", [&](QxCAPIHandle* h) { return QxXCAPI_HMACUpdate(h, data, 4); }, hash.get(),
         &emptyHmac},
        {"HMACFinal", [&](QxCAPIHandle* h) { return QxXCAPI_HMACFinal(h, 0, &out); }, key.get(),
         &emptyHmac},
        {"SetIV", [&](QxCAPIHandle* h) { return QxXCAPI_SetIV(h, nullptr); }, hash.get(),
         &emptyKey},
        {"EncryptUpdate",
         [&](QxCAPIHandle* h) { return QxXCAPI_EncryptUpdate(h, data, 8, data, 64, &n); },
         hmac.get(), &emptyKey},
        {"DecryptUpdate",
         [&](QxCAPIHandle* h) { return QxXCAPI_DecryptUpdate(h, data, 8, data, 64, &n); },
         hash.get(), &emptyKey},
        {"EncryptFinal", [&](QxCAPIHandle* h) { return QxXCAPI_EncryptFinal(h, data, 64, &n); },
         hmac.get(), &emptyKey},
        {"DecryptFinal", [&](QxCAPIHandle* h) { return QxXCAPI_DecryptFinal(h, data, 64, &n); },
         hash.get(), &emptyKey},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(c.call(c.wrong), kQxWrongHandleType) << c.name;
        EXPECT_EQ(c.call(nullptr), kQxBadArgument) << c.name;
        EXPECT_EQ(c.call(c.empty), kQxBadArgument) << c.name;
    }
    // The refused calls changed nothing: each handle still works.
    EXPECT_EQ(QxXCAPI_HashUpdate(hash.get(), data, 4), kQxOk);
    EXPECT_EQ(QxXCAPI_HMACUpdate(hmac.get(), data, 4), kQxOk);
    EXPECT_EQ(QxXCAPI_SetIV(key.get(), nullptr), kQxOk);
}

// ---- The exchange key --------------------------------------------------------

class Mpz {
public:
    Mpz() { mpz_init(value_); }
    // From little-endian bytes, as key blobs carry numbers.
    Mpz(const std::uint8_t* data, std::size_t size) {
        mpz_init(value_);
        mpz_import(value_, size, -1, 1, 0, 0, data);
    }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    ~Mpz() { mpz_clear(value_); }
    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }

private:
    mpz_t value_;
};

std::uint32_t le32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

TEST(ExchangeKey, IsA512BitRsaKeyWithExponentsOne) {
    const auto blob = qxxCAPIExchangeKeyBlob();
    const std::uint8_t* at = blob.data();
    EXPECT_EQ(at[0], capi::PRIVATEKEYBLOB);
    EXPECT_EQ(at[1], capi::CUR_BLOB_VERSION);
    EXPECT_EQ(at[2] | at[3], 0);
    EXPECT_EQ(le32(at + 4), capi::CALG_RSA_KEYX);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(at + 8), 4), "RSA2");
    EXPECT_EQ(le32(at + 12), 512u);
    EXPECT_EQ(le32(at + 16), 1u);
    at += 20;
    const Mpz n(at, 64);
    const Mpz p(at + 64, 32);
    const Mpz q(at + 96, 32);
    const Mpz dp(at + 128, 32);
    const Mpz dq(at + 160, 32);
    const Mpz coefficient(at + 192, 32);
    const Mpz d(at + 224, 64);
    ASSERT_EQ(at + 288, blob.data() + blob.size());

    EXPECT_EQ(mpz_sizeinbase(n.get(), 2), 512u);
    EXPECT_EQ(mpz_sizeinbase(p.get(), 2), 256u);
    EXPECT_EQ(mpz_sizeinbase(q.get(), 2), 256u);
    EXPECT_GT(mpz_probab_prime_p(p.get(), 40), 0);
    EXPECT_GT(mpz_probab_prime_p(q.get(), 40), 0);
    Mpz product;
    mpz_mul(product.get(), p.get(), q.get());
    EXPECT_EQ(mpz_cmp(product.get(), n.get()), 0);
    EXPECT_EQ(mpz_cmp_ui(d.get(), 1), 0);
    EXPECT_EQ(mpz_cmp_ui(dp.get(), 1), 0);
    EXPECT_EQ(mpz_cmp_ui(dq.get(), 1), 0);
    // coefficient = q^-1 mod p.
    Mpz check;
    mpz_mul(check.get(), coefficient.get(), q.get());
    mpz_mod(check.get(), check.get(), p.get());
    EXPECT_EQ(mpz_cmp_ui(check.get(), 1), 0);
    EXPECT_LT(mpz_cmp(coefficient.get(), p.get()), 0);
}

TEST(ExchangeKey, FirstImportFromManyThreadsAtOnce) {
    const KeySetup setup{kQxCipherAes128, kAes128Key, kAesIv, kQxModeCbc};
    const Bytes plain = sample(40);
    const Bytes expected = reference(setup.cipher, setup.key, setup.iv, false, plain);
    std::vector<std::thread> threads;
    std::vector<Bytes> results(8);
    for (auto& result : results) {
        threads.emplace_back([&] {
            int rc = -1;
            result = encryptOnce(setup, plain, &rc);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const Bytes& result : results) {
        EXPECT_EQ(result, expected);
    }
}

// ---- Failed platform calls ---------------------------------------------------

using PlatformFailure = LoggedTest;

TEST_F(PlatformFailure, EachFailedCallGivesItsCodeAndOneErrorLine) {
    const KeySetup setup{kQxCipherDes, kDesKey, kDesIv, kQxModeCbc};
    const Handle key = createKey(setup); // the exchange key is in place
    const Bytes plain = sample(24);
    const Bytes cipherText = reference(setup.cipher, setup.key, setup.iv, false, plain);
    Bytes out(64);
    std::uint32_t n = 0;
    QxCAPIHandle* rawHash = nullptr;
    ASSERT_EQ(QxXCAPI_HashInit(&rawHash, kQxHashSha1), kQxOk);
    const Handle hash(rawHash);

    const struct {
        const char* failing;
        std::function<int()> call;
        int expected;
        const char* line; // the message after the stamp, as a pattern
    } cases[] = {
        {"CryptEncrypt",
         [&] {
             QxXCAPI_SetIV(key.get(), nullptr);
             return QxXCAPI_EncryptUpdate(key.get(), plain.data(), 24, out.data(), 64, &n);
         },
         kQxEncryptFailed, R"(QxXCAPI:\d+:\nQxXCAPI_EncryptUpdate:CryptEncrypt:80090020)"},
        {"CryptEncrypt",
         [&] {
             QxXCAPI_SetIV(key.get(), nullptr);
             // Five bytes are only held back: the Final makes the call.
             QxXCAPI_EncryptUpdate(key.get(), plain.data(), 5, out.data(), 64, &n);
             return QxXCAPI_EncryptFinal(key.get(), out.data(), 64, &n);
         },
         kQxEncryptFailed, R"(QxXCAPI:\d+:\nQxXCAPI_EncryptFinal:CryptEncrypt:80090020)"},
        {"CryptDecrypt",
         [&] {
             QxXCAPI_SetIV(key.get(), nullptr);
             return QxXCAPI_DecryptUpdate(key.get(), cipherText.data(), 32, out.data(), 64, &n);
         },
         kQxDecryptFailed, R"(QxXCAPI:\d+:\nQxXCAPI_DecryptUpdate:CryptDecrypt:80090020)"},
        {"CryptHashData", [&] { return QxXCAPI_HashUpdate(hash.get(), plain.data(), 24); },
         kQxFailed, R"(QxXCAPI:\d+:\nQxXCAPI_HashUpdate:CryptHashData:80090020)"},
        {"CryptImportKey",
         [&] {
             QxCAPIHandle* raw = nullptr;
             const int rc =
                 QxXCAPI_CreateKey(setup.cipher, setup.key.data(), 8, setup.iv.data(), 8, 0, &raw);
             EXPECT_EQ(raw, nullptr);
             return rc;
         },
         kQxFailed, R"(QxCAPISymKey:\d+:\nCryptImportKey:80090020)"},
        {"CryptSetKeyParam", [&] { return QxXCAPI_SetIV(key.get(), nullptr); }, kQxFailed,
         R"(QxXCAPI:\d+:\nQxXCAPI_SetIV:CryptSetKeyParam:80090020)"},
        {"CryptCreateHash",
         [&] {
             QxCAPIHandle* raw = nullptr;
             const Bytes k = bytesOf("key");
             const int rc = QxXCAPI_HMACInit(&raw, k.data(), 3, kQxHashSha256);
             EXPECT_EQ(raw, nullptr);
             return rc;
         },
         kQxFailed, R"(QxXCAPI:\d+:\nQxXCAPI_HMACInit:CryptCreateHash:80090020)"},
        {"CryptGetHashParam",
         [&] {
             QxBlob digest{0, nullptr};
             const int rc = QxXCAPI_HashFinal(hash.get(), 0, &digest);
             EXPECT_EQ(digest.pbData, nullptr);
             return rc;
         },
         kQxFailed, R"(QxXCAPI:\d+:\nQxXCAPI_HashFinal:CryptGetHashParam:80090020)"},
    };
    for (const auto& c : cases) {
        const std::string before = logText();
        capi::testing::failNextCall(c.failing, capi::NTE_FAIL);
        EXPECT_EQ(c.call(), c.expected) << c.failing;
        capi::testing::clearFailures();
        const std::string added = logText().substr(before.size());
        EXPECT_TRUE(std::regex_search(added, std::regex(c.line))) << c.failing << ":\n" << added;
        // One entry: one stamped line (the message itself spans two).
        EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 2) << c.failing << ":\n" << added;
    }
}

TEST_F(PlatformFailure, LongDigestInTheFixedBufferIsLoggedAsTheShortFetch) {
    QxCAPIHandle* raw = nullptr;
    ASSERT_EQ(QxXCAPI_HMACInit(&raw, nullptr, 0, kQxHashSha512), kQxOk);
    const Handle handle(raw);
    QxBlob out{0, nullptr};
    EXPECT_EQ(QxXCAPI_HMACFinal(handle.get(), 0, &out), kQxFailed);
    EXPECT_TRUE(std::regex_search(
        logText(), std::regex(R"(QxXCAPI:\d+:\nQxXCAPI_HMACFinal:CryptGetHashParam:ea)")))
        << logText();
}

} // namespace
