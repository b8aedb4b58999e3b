// Digests, HMAC and the password-based derivations of the crypto library,
// against the published test vectors and against nettle called directly.

#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/SymTestSupport.h"

#include <nettle/md5.h>
#include <nettle/pbkdf2.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

using namespace symtest;

// The digest of data through Init, Updates of chunk bytes each, Final.
std::string digest(QxCryptFlags flags, const Bytes& data, std::size_t chunk) {
    QxCAPIHandle* raw = nullptr;
    EXPECT_EQ(QxXCAPI_HashInit(&raw, flags), kQxOk);
    Handle handle(raw);
    for (std::size_t at = 0; at < data.size(); at += chunk) {
        const auto n = static_cast<std::uint32_t>(std::min(chunk, data.size() - at));
        EXPECT_EQ(QxXCAPI_HashUpdate(handle.get(), data.data() + at, n), kQxOk);
    }
    QxBlob out{0, nullptr};
    EXPECT_EQ(QxXCAPI_HashFinal(handle.get(), 0, &out), kQxOk);
    handle.release(); // consumed by the Final
    const std::string text = toHex(out.pbData, out.cbData);
    qxxCAPIFreeData(&out);
    return text;
}

TEST(Digest, PublishedVectorsWholeAndInPieces) {
    const Bytes million(1000000, 'a');
    const Bytes two = bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
    const Bytes four = bytesOf("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                               "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu");
    const struct {
        QxCryptFlags flags;
        Bytes message;
        const char* expected;
    } cases[] = {
        // RFC 1321, appendix A.5.
        {kQxHashMd5, bytesOf(""), "d41d8cd98f00b204e9800998ecf8427e"},
        {kQxHashMd5, bytesOf("a"), "0cc175b9c0f1b6a831c399e269772661"},
        {kQxHashMd5, bytesOf("abc"), "900150983cd24fb0d6963f7d28e17f72"},
        {kQxHashMd5, bytesOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0"},
        {kQxHashMd5, bytesOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b"},
        {kQxHashMd5, bytesOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {kQxHashMd5,
         bytesOf("1234567890123456789012345678901234567890123456789012345678901234567890"
                 "1234567890"),
         "57edf4a22be3c955ac49da2e2107b67a"},
        // FIPS 180-4 examples; hash numbers 0 and 2 are both SHA-1.
        {kQxHashSha1, bytesOf("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {kQxHashSha1Alt, bytesOf("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {kQxHashSha1, two, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {kQxHashSha1Alt, million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {kQxHashSha256, bytesOf("abc"),
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {kQxHashSha256, two, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {kQxHashSha256, million,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {kQxHashSha384, bytesOf("abc"),
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca"
         "134c825a7"},
        {kQxHashSha384, four,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9f"
         "a91746039"},
        {kQxHashSha512, bytesOf("abc"),
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c2"
         "3a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {kQxHashSha512, four,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99d"
         "ec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const auto& c : cases) {
        const std::size_t whole = std::max<std::size_t>(c.message.size(), 1);
        EXPECT_EQ(digest(c.flags, c.message, whole), c.expected)
            << "hash " << c.flags << " of " << c.message.size() << " bytes";
        // Pieces of uneven size cross the algorithms' block boundaries.
        EXPECT_EQ(digest(c.flags, c.message, c.message.size() > 1000 ? 997 : 7), c.expected)
            << "hash " << c.flags << " of " << c.message.size() << " bytes in pieces";
    }
}

TEST(Digest, OnlyTheListedHashNumbersAreAccepted) {
    // The other bits of the flags do not matter to the hash number.
    for (const QxCryptFlags flags : {3u, 7u, 8u, 15u, 0x213u}) {
        QxCAPIHandle* handle = nullptr;
        EXPECT_EQ(QxXCAPI_HashInit(&handle, flags), kQxBadArgument) << flags;
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(QxXCAPI_HMACInit(&handle, nullptr, 0, flags), kQxBadArgument) << flags;
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_EQ(QxXCAPI_HashInit(nullptr, kQxHashSha1), kQxBadArgument);
    EXPECT_EQ(QxXCAPI_HMACInit(nullptr, nullptr, 0, kQxHashSha1), kQxBadArgument);
    EXPECT_EQ(digest(0x230 | kQxHashMd5, bytesOf("abc"), 3), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Digest, ShortCallerBufferGetsTheSizeAndTheHandleStays) {
    QxCAPIHandle* raw = nullptr;
    ASSERT_EQ(QxXCAPI_HashInit(&raw, kQxHashSha1), kQxOk);
    Handle handle(raw);
    const Bytes abc = bytesOf("abc");
    ASSERT_EQ(QxXCAPI_HashUpdate(handle.get(), abc.data(), 3), kQxOk);

    Bytes buffer(24, 0xEE);
    QxBlob out{19, buffer.data()};
    EXPECT_EQ(QxXCAPI_HashFinal(handle.get(), 0, &out), kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 20u);
    EXPECT_EQ(buffer, Bytes(24, 0xEE));

    // Same handle, now with room: the caller's buffer is used, no more.
    EXPECT_EQ(QxXCAPI_HashFinal(handle.get(), 0, &out), kQxOk);
    handle.release();
    EXPECT_EQ(out.pbData, buffer.data());
    EXPECT_EQ(out.cbData, 20u);
    EXPECT_EQ(toHex(buffer.data(), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Bytes(buffer.begin() + 20, buffer.end()), Bytes(4, 0xEE));
}

// ---- HMAC ------------------------------------------------------------------

struct MacResult {
    int init = -1;
    int final = -1;
    std::string mac;
};

MacResult hmac(QxCryptFlags flags, const Bytes& key, const Bytes& data) {
    MacResult result;
    QxCAPIHandle* raw = nullptr;
    result.init = QxXCAPI_HMACInit(&raw, key.empty() ? nullptr : key.data(),
                                   static_cast<std::uint32_t>(key.size()), flags);
    if (result.init != kQxOk) {
        return result;
    }
    Handle handle(raw);
    // Two updates, so the inner hash sees more than one piece.
    const auto half = static_cast<std::uint32_t>(data.size() / 2);
    EXPECT_EQ(QxXCAPI_HMACUpdate(handle.get(), data.data(), half), kQxOk);
    EXPECT_EQ(QxXCAPI_HMACUpdate(handle.get(), data.data() + half,
                                 static_cast<std::uint32_t>(data.size()) - half),
              kQxOk);
    QxBlob out{0, nullptr};
    result.final = QxXCAPI_HMACFinal(handle.get(), 0, &out);
    if (result.final == kQxOk) {
        handle.release();
        result.mac = toHex(out.pbData, out.cbData);
        qxxCAPIFreeData(&out);
    }
    return result;
}

TEST(Hmac, PublishedVectors) {
    const Bytes k0b = Bytes(20, 0x0b);
    const Bytes jefe = bytesOf("Jefe");
    const Bytes jefeData = bytesOf("what do ya want for nothing?");
    const Bytes k25 = hex("0102030405060708090a0b0c0d0e0f10111213141516171819");
    const Bytes aa80(80, 0xaa);
    const Bytes aa131(131, 0xaa);
    const Bytes hashKeyFirst = bytesOf("Test Using Larger Than Block-Size Key - Hash Key First");
    const struct {
        QxCryptFlags flags;
        Bytes key;
        Bytes data;
        const char* expected; // a prefix of the MAC where the RFC truncates
    } cases[] = {
        // RFC 2202, HMAC-SHA1 (80-byte keys are hashed first).
        {kQxHashSha1, k0b, bytesOf("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {kQxHashSha1, jefe, jefeData, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {kQxHashSha1, Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {kQxHashSha1, k25, Bytes(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {kQxHashSha1, Bytes(20, 0x0c), bytesOf("Test With Truncation"),
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {kQxHashSha1Alt, aa80, hashKeyFirst, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {kQxHashSha1, aa80,
         bytesOf("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // RFC 2202, HMAC-MD5.
        {kQxHashMd5, Bytes(16, 0x0b), bytesOf("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {kQxHashMd5, jefe, jefeData, "750c783e6ab0b503eaa86e310a5db738"},
        {kQxHashMd5, aa80, hashKeyFirst, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        // RFC 4231, HMAC-SHA-256 (131-byte keys are hashed first).
        {kQxHashSha256, k0b, bytesOf("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {kQxHashSha256, jefe, jefeData,
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {kQxHashSha256, Bytes(20, 0xaa), Bytes(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {kQxHashSha256, k25, Bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {kQxHashSha256, Bytes(20, 0x0c), bytesOf("Test With Truncation"),
         "a3b6167473100ee06e0c796c2955552b"},
        {kQxHashSha256, aa131, hashKeyFirst,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {kQxHashSha256, aa131,
         bytesOf("This is a test using a larger than block-size key and a larger than "
                 "block-size data. The key needs to be hashed before being used by the HMAC "
                 "algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& c : cases) {
        const MacResult r = hmac(c.flags, c.key, c.data);
        ASSERT_EQ(r.init, kQxOk);
        ASSERT_EQ(r.final, kQxOk);
        EXPECT_EQ(r.mac.substr(0, std::strlen(c.expected)), c.expected)
            << "hash " << c.flags << ", key of " << c.key.size() << " bytes";
    }
}

TEST(Hmac, NullKeyIsTheEmptyKeyOnlyWithLengthZero) {
    const Bytes data = bytesOf("data");
    const MacResult nullKey = hmac(kQxHashSha1, {}, data);
    ASSERT_EQ(nullKey.final, kQxOk);
    // The empty key is a block of zeros, so a 64-byte zero key is the same.
    EXPECT_EQ(nullKey.mac, hmac(kQxHashSha1, Bytes(64, 0), data).mac);

    QxCAPIHandle* handle = nullptr;
    EXPECT_EQ(QxXCAPI_HMACInit(&handle, nullptr, 5, kQxHashSha1), kQxBadArgument);
    EXPECT_EQ(handle, nullptr);
}

TEST(Hmac, LongDigestsFailAtFinalAndLeaveTheHandleToTheCaller) {
    for (const QxCryptFlags flags : {kQxHashSha384, kQxHashSha512}) {
        // Short and long keys: a long key's digest fits the key block.
        for (const Bytes& key : {Bytes(20, 0x0b), Bytes(200, 0xaa)}) {
            QxCAPIHandle* raw = nullptr;
            ASSERT_EQ(
                QxXCAPI_HMACInit(&raw, key.data(), static_cast<std::uint32_t>(key.size()), flags),
                kQxOk);
            Handle handle(raw);
            const Bytes data = bytesOf("Hi There");
            ASSERT_EQ(QxXCAPI_HMACUpdate(handle.get(), data.data(), 8), kQxOk);
            QxBlob out{0, nullptr};
            EXPECT_EQ(QxXCAPI_HMACFinal(handle.get(), 0, &out), kQxFailed) << flags;
            EXPECT_EQ(out.pbData, nullptr);
            EXPECT_EQ(out.cbData, 0u);
        }
    }
}

TEST(Hmac, ShortCallerBufferGetsTheSizeAndCanBeRepeated) {
    QxCAPIHandle* raw = nullptr;
    const Bytes key = bytesOf("Jefe");
    ASSERT_EQ(QxXCAPI_HMACInit(&raw, key.data(), 4, kQxHashSha256), kQxOk);
    Handle handle(raw);
    const Bytes data = bytesOf("what do ya want for nothing?");
    ASSERT_EQ(QxXCAPI_HMACUpdate(handle.get(), data.data(), 28), kQxOk);
    Bytes buffer(40, 0xEE);
    QxBlob out{31, buffer.data()};
    EXPECT_EQ(QxXCAPI_HMACFinal(handle.get(), 0, &out), kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 32u);
    EXPECT_EQ(buffer, Bytes(40, 0xEE));
    ASSERT_EQ(QxXCAPI_HMACFinal(handle.get(), 0, &out), kQxOk);
    handle.release();
    EXPECT_EQ(toHex(buffer.data(), 32),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(Bytes(buffer.begin() + 32, buffer.end()), Bytes(8, 0xEE));
}

// ---- PBKDF2 ----------------------------------------------------------------

std::string pbkdf2(const Bytes& password, const Bytes& salt, std::uint32_t count,
                   std::uint32_t length, int* rc = nullptr) {
    Bytes out(length);
    const int result = PKCS5_PBKDF2_derive(
        reinterpret_cast<const char*>(password.data()), static_cast<std::uint32_t>(password.size()),
        salt.data(), static_cast<std::uint32_t>(salt.size()), count, length, out.data());
    if (rc != nullptr) {
        *rc = result;
    }
    EXPECT_EQ(result, kQxOk);
    return toHex(out);
}

std::string nettlePbkdf2(const Bytes& password, const Bytes& salt, unsigned count,
                         std::size_t length) {
    Bytes out(length);
    pbkdf2_hmac_sha1(password.size(), password.data(), count, salt.size(), salt.data(), length,
                     out.data());
    return toHex(out);
}

TEST(Pbkdf2, Rfc6070Vectors) {
    const Bytes password = bytesOf("password");
    const Bytes salt = bytesOf("salt");
    const struct {
        Bytes password;
        Bytes salt;
        std::uint32_t count;
        std::uint32_t length;
        const char* expected;
    } cases[] = {
        {password, salt, 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {password, salt, 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {password, salt, 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
        {bytesOf("passwordPASSWORDpassword"), bytesOf("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096,
         25, "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {Bytes{'p', 'a', 's', 's', 0, 'w', 'o', 'r', 'd'}, Bytes{'s', 'a', 0, 'l', 't'}, 4096, 16,
         "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pbkdf2(c.password, c.salt, c.count, c.length), c.expected)
            << "count " << c.count << ", length " << c.length;
    }
}

TEST(Pbkdf2, CountZeroIsCountOne) {
    const Bytes password = bytesOf("password");
    const Bytes salt = bytesOf("salt");
    EXPECT_EQ(pbkdf2(password, salt, 0, 20), pbkdf2(password, salt, 1, 20));
    EXPECT_EQ(pbkdf2(password, salt, 0, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
}

TEST(Pbkdf2, LengthsAroundTheFixedBufferMatchNettle) {
    const Bytes password = bytesOf("correct horse");
    const Bytes salt = hex("0011223344556677");
    // 1024 is derived in the fixed buffer, anything longer in an allocated one.
    for (const std::uint32_t length : {1u, 19u, 21u, 1023u, 1024u, 1025u, 2000u}) {
        EXPECT_EQ(pbkdf2(password, salt, 3, length), nettlePbkdf2(password, salt, 3, length))
            << length;
    }
}

TEST(Pbkdf2, GenKeyIvCutsKeyThenIvFromOneStream) {
    const Bytes password = bytesOf("password");
    const Bytes salt = bytesOf("salt");
    Bytes key(24, 0xEE);
    Bytes iv(8, 0xEE);
    ASSERT_EQ(
        PKCS5_PBKDF2_gen_keyiv(0, "password", 8, salt.data(), 4, 2, key.data(), 24, iv.data(), 8),
        kQxOk);
    const std::string stream = nettlePbkdf2(password, salt, 2, 32);
    EXPECT_EQ(toHex(key), stream.substr(0, 48));
    EXPECT_EQ(toHex(iv), stream.substr(48));
}

TEST(Pbkdf2, NullPointersWithLengthsAreRefusedUnread) {
    Bytes out(20);
    const Bytes salt = bytesOf("salt");
    EXPECT_EQ(PKCS5_PBKDF2_derive("password", 8, nullptr, 4, 1, 20, out.data()), kQxBadArgument);
    EXPECT_EQ(PKCS5_PBKDF2_derive(nullptr, 8, salt.data(), 4, 1, 20, out.data()), kQxBadArgument);
    EXPECT_EQ(PKCS5_PBKDF2_derive("password", 8, salt.data(), 4, 1, 20, nullptr), kQxBadArgument);
    EXPECT_EQ(
        PKCS5_PBKDF2_gen_keyiv(0, "password", 8, salt.data(), 4, 1, out.data(), 8, nullptr, 8),
        kQxBadArgument);
    EXPECT_EQ(out, Bytes(20, 0));
}

// ---- PBKDF1 and the flag-driven derivation -----------------------------------

const Bytes kPbkdf1Salt = hex("788E5A5D63CB0678");

// Key and IV from qxxCAPIDeriveKeyIV as one hex string, or the result code.
std::string derive(const char* password, int length, const Bytes& salt, std::uint32_t count,
                   QxCryptFlags flags, std::uint32_t keyLength, std::uint32_t ivLength, int* rc) {
    Bytes key(keyLength, 0xEE);
    Bytes iv(ivLength, 0xEE);
    *rc = qxxCAPIDeriveKeyIV(password, length, salt.empty() ? nullptr : salt.data(),
                             static_cast<std::uint32_t>(salt.size()), count, flags, key.data(),
                             keyLength, iv.data(), ivLength);
    return toHex(key) + toHex(iv);
}

// T = Hash(password || salt), then T = Hash(T) count - 1 times, with nettle.
template <typename Context, std::size_t DigestSize>
std::string nettlePbkdf1(void (*init)(Context*),
                         void (*update)(Context*, std::size_t, const std::uint8_t*),
                         void (*digestOf)(Context*, std::size_t, std::uint8_t*),
                         const Bytes& password, const Bytes& salt, unsigned count) {
    Context context;
    std::uint8_t t[DigestSize];
    init(&context);
    update(&context, password.size(), password.data());
    update(&context, salt.size(), salt.data());
    digestOf(&context, DigestSize, t);
    for (unsigned i = 1; i < count; ++i) {
        init(&context);
        update(&context, DigestSize, t);
        digestOf(&context, DigestSize, t);
    }
    return toHex(t, DigestSize);
}

TEST(Pbkdf1, CountOneMatchesOpensslKeyDerivation) {
    // openssl's enc key derivation without -iter is one hash of password and
    // salt when key and IV fit one digest. Produced with
    //   openssl enc -des-cbc -P -md md5 -S 788E5A5D63CB0678 -pass pass:password
    // (and -md sha1; -aes-128-cbc with -md sha256): "key=" then "iv =".
    const struct {
        QxCryptFlags hash;
        std::uint32_t keyLength;
        std::uint32_t ivLength;
        const char* expected;
    } cases[] = {
        {kQxHashMd5, 8, 8, "1ea3cb546afc49b952a6773c900fa642"},
        {kQxHashSha1, 8, 8, "024809b0a32896443e04f85f2ac30cb4"},
        {kQxHashSha1Alt, 8, 8, "024809b0a32896443e04f85f2ac30cb4"},
        {kQxHashSha256, 16, 16, "7474beab4992c177e631951e43be8e9e4a9c03a3e29e66178c5ee5a8d6131e3b"},
    };
    for (const auto& c : cases) {
        for (const std::uint32_t count : {0u, 1u}) {
            int rc = -1;
            EXPECT_EQ(derive("password", -1, kPbkdf1Salt, count, kQxDerivePbkdf1 | c.hash,
                             c.keyLength, c.ivLength, &rc),
                      c.expected)
                << "hash " << c.hash << ", count " << count;
            EXPECT_EQ(rc, kQxOk);
        }
    }
}

TEST(Pbkdf1, HigherCountsRehashTheDigest) {
    const Bytes password = bytesOf("password");
    for (const unsigned count : {2u, 3u, 1000u}) {
        int rc = -1;
        EXPECT_EQ(
            derive("password", 8, kPbkdf1Salt, count, kQxDerivePbkdf1 | kQxHashSha1, 12, 8, &rc),
            (nettlePbkdf1<sha1_ctx, SHA1_DIGEST_SIZE>(sha1_init, sha1_update, sha1_digest, password,
                                                      kPbkdf1Salt, count)))
            << count;
        EXPECT_EQ(rc, kQxOk);
        EXPECT_EQ(
            derive("password", 8, kPbkdf1Salt, count, kQxDerivePbkdf1 | kQxHashMd5, 8, 8, &rc),
            (nettlePbkdf1<md5_ctx, MD5_DIGEST_SIZE>(md5_init, md5_update, md5_digest, password,
                                                    kPbkdf1Salt, count)))
            << count;
        EXPECT_EQ(rc, kQxOk);
        EXPECT_EQ(
            derive("password", 8, kPbkdf1Salt, count, kQxDerivePbkdf1 | kQxHashSha256, 24, 8, &rc),
            (nettlePbkdf1<sha256_ctx, SHA256_DIGEST_SIZE>(sha256_init, sha256_update, sha256_digest,
                                                          password, kPbkdf1Salt, count)))
            << count;
        EXPECT_EQ(rc, kQxOk);
    }
}

TEST(Pbkdf1, NullSaltIsSkipped) {
    const Bytes password = bytesOf("password");
    int rc = -1;
    EXPECT_EQ(derive("password", 8, {}, 1, kQxDerivePbkdf1 | kQxHashSha1, 20, 0, &rc),
              (nettlePbkdf1<sha1_ctx, SHA1_DIGEST_SIZE>(sha1_init, sha1_update, sha1_digest,
                                                        password, {}, 1)));
    EXPECT_EQ(rc, kQxOk);
}

TEST(Pbkdf1, RefusalsLeaveKeyAndIvUntouched) {
    const struct {
        QxCryptFlags flags;
        std::uint32_t keyLength;
        std::uint32_t ivLength;
        int expected;
    } cases[] = {
        // Key and IV longer together than the digest.
        {kQxDerivePbkdf1 | kQxHashSha1, 16, 8, kQxBadArgument},
        {kQxDerivePbkdf1 | kQxHashMd5, 8, 9, kQxBadArgument},
        {kQxDerivePbkdf1 | kQxHashSha256, 24, 16, kQxBadArgument},
        // SHA-384 and SHA-512 do not fit the digest buffer.
        {kQxDerivePbkdf1 | kQxHashSha384, 8, 8, kQxFailed},
        {kQxDerivePbkdf1 | kQxHashSha512, 8, 8, kQxFailed},
        // Hash numbers and derivations that do not exist.
        {kQxDerivePbkdf1 | 3, 8, 8, kQxBadArgument},
        {kQxDerivePbkdf1 | 9, 8, 8, kQxBadArgument},
        {0x300, 8, 8, kQxBadArgument},
        {0x400, 8, 8, kQxBadArgument},
    };
    for (const auto& c : cases) {
        int rc = -1;
        const std::string out =
            derive("password", -1, kPbkdf1Salt, 1, c.flags, c.keyLength, c.ivLength, &rc);
        EXPECT_EQ(rc, c.expected) << std::hex << c.flags;
        EXPECT_EQ(out, std::string(2 * (c.keyLength + c.ivLength), 'e')) << std::hex << c.flags;
    }
    Bytes key(8);
    EXPECT_EQ(PKCS5_PBKDF1_gen_keyiv(QxCAPI_GetContext(nullptr, 1), capi::CALG_SHA1, "password", 8,
                                     nullptr, 8, 1, key.data(), 8, nullptr, 0),
              kQxBadArgument);
}

TEST(DeriveKeyIv, FlagsChoosePbkdf2WhateverTheHash) {
    const std::string expected = nettlePbkdf2(bytesOf("password"), kPbkdf1Salt, 2, 32);
    for (const QxCryptFlags flags : {0u, 0x200u, 0x201u, 0x205u, 0x236u, 0x003u}) {
        int rc = -1;
        EXPECT_EQ(derive("password", -1, kPbkdf1Salt, 2, flags, 24, 8, &rc), expected)
            << std::hex << flags;
        EXPECT_EQ(rc, kQxOk);
    }
}

TEST(DeriveKeyIv, PasswordLengthRules) {
    int rc = -1;
    // -1 stops at the NUL; an explicit length reads past it.
    const char text[] = "pass\0word";
    EXPECT_EQ(derive(text, -1, kPbkdf1Salt, 1, 0, 16, 0, &rc),
              nettlePbkdf2(bytesOf("pass"), kPbkdf1Salt, 1, 16));
    EXPECT_EQ(derive(text, 9, kPbkdf1Salt, 1, 0, 16, 0, &rc),
              nettlePbkdf2(Bytes(text, text + 9), kPbkdf1Salt, 1, 16));
    // A null password is the empty one, whatever length is given.
    EXPECT_EQ(derive(nullptr, 12, kPbkdf1Salt, 1, 0, 16, 0, &rc),
              nettlePbkdf2({}, kPbkdf1Salt, 1, 16));
    EXPECT_EQ(rc, kQxOk);

    Bytes key(16);
    EXPECT_EQ(qxxCAPIDeriveKeyIV("password", -1, nullptr, 8, 1, 0, key.data(), 16, nullptr, 0),
              kQxBadArgument);
    EXPECT_EQ(key, Bytes(16, 0));
}

} // namespace
