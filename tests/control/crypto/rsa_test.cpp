// RSA with the key objects of the type table: the published PKCS #1 v1.5
// signature and encryption vectors, the encryption limit, the key size, the
// signing and verification flags, the error answers and the PIN.

#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <gtest/gtest.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

namespace {

using namespace asymtest;

Bytes sha1(const Bytes& message) {
    Bytes digest(SHA1_DIGEST_SIZE);
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, message.size(), message.data());
    sha1_digest(&ctx, digest.size(), digest.data());
    return digest;
}

Bytes flipped(Bytes bytes, std::size_t at) {
    bytes[at] ^= 0x01;
    return bytes;
}

const std::vector<VectorKey>& signatureVectors() {
    static const std::vector<VectorKey> keys = readVectors(vectorFile("pkcs1v15sign-vectors.txt"));
    return keys;
}

const std::vector<VectorKey>& encryptionVectors() {
    static const std::vector<VectorKey> keys = readVectors(vectorFile("pkcs1v15crypt-vectors.txt"));
    return keys;
}

class QxRsa : public symtest::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_EQ(signatureVectors().size(), 15u)
            << "the vectors of python3-cryptography-vectors (scripts/setup.sh installs them)";
        ASSERT_EQ(encryptionVectors().size(), 15u);
    }

    static const RsaNumbers& key1024() {
        static const RsaNumbers numbers = SeededKeys(11).next(1024);
        return numbers;
    }
};

// ---- Published vectors -------------------------------------------------------

TEST_F(QxRsa, SignaturesOfThePublishedVectors) {
    // 1024, 1536 and 2048 bits.
    for (const std::size_t index :
         {std::size_t{0}, std::size_t{5}, std::size_t{13}, std::size_t{14}}) {
        const VectorKey& key = signatureVectors()[index];
        SCOPED_TRACE(key.title);
        const RsaNumbers numbers = key.numbers();
        Handle privateKey;
        Handle publicKey;
        ASSERT_EQ(decodePrivate(numbers.privateDer(), privateKey), kQxOk);
        ASSERT_EQ(decodePublic(numbers.publicDer(), publicKey), kQxOk);
        EXPECT_EQ(QxXCAPI_KeySize(publicKey.get()), static_cast<int>(numbers.modulusBytes()));
        for (std::size_t c = 0; c < 3; ++c) {
            SCOPED_TRACE(c);
            const Bytes& message = key.cases[c].at("Message to be signed");
            const Bytes& expected = key.cases[c].at("Signature");
            Bytes signature;
            ASSERT_EQ(sign(privateKey.get(), message, kQxSignHashHere | kQxHashSha1, signature),
                      kQxOk);
            EXPECT_EQ(signature, expected);
            // The digest given instead of the message signs the same.
            ASSERT_EQ(sign(privateKey.get(), sha1(message), kQxHashSha1Alt, signature), kQxOk);
            EXPECT_EQ(signature, expected);

            EXPECT_EQ(verify(publicKey.get(), expected, message, kQxSignHashHere), kQxOk);
            EXPECT_EQ(verify(publicKey.get(), expected, sha1(message), kQxHashSha1), kQxOk);
            EXPECT_EQ(verify(publicKey.get(), flipped(expected, expected.size() - 1), message,
                             kQxSignHashHere),
                      kQxBadSignature);
            EXPECT_EQ(verify(publicKey.get(), flipped(expected, 0), message, kQxSignHashHere),
                      kQxBadSignature);
            EXPECT_EQ(verify(publicKey.get(), expected, flipped(message, 0), kQxSignHashHere),
                      kQxBadSignature);
        }
    }
}

TEST_F(QxRsa, KeysOfAnOddNumberOfBytesVerifyButDoNotDecodeAsPrivateKeys) {
    // 1025 to 1031 bits: a 129-byte modulus.
    for (std::size_t index = 6; index <= 12; ++index) {
        const VectorKey& key = signatureVectors()[index];
        SCOPED_TRACE(key.title);
        const RsaNumbers numbers = key.numbers();
        ASSERT_EQ(numbers.modulusBytes(), 129u);
        Handle privateKey;
        EXPECT_EQ(decodePrivate(numbers.privateDer(), privateKey), kQxBadKey);
        Handle publicKey;
        ASSERT_EQ(decodePublic(numbers.publicDer(), publicKey), kQxOk);
        EXPECT_EQ(QxXCAPI_KeySize(publicKey.get()), 129);
        const Bytes& message = key.cases[0].at("Message to be signed");
        const Bytes& expected = key.cases[0].at("Signature");
        EXPECT_EQ(verify(publicKey.get(), expected, message, kQxSignHashHere), kQxOk);
        EXPECT_EQ(verify(publicKey.get(), flipped(expected, 64), message, kQxSignHashHere),
                  kQxBadSignature);
    }
}

TEST_F(QxRsa, DecryptionOfThePublishedVectors) {
    for (const std::size_t index :
         {std::size_t{0}, std::size_t{3}, std::size_t{13}, std::size_t{14}}) {
        const VectorKey& key = encryptionVectors()[index];
        SCOPED_TRACE(key.title);
        Handle privateKey;
        ASSERT_EQ(decodePrivate(key.numbers().privateDer(), privateKey), kQxOk);
        for (std::size_t c = 0; c < 4; ++c) {
            SCOPED_TRACE(c);
            const Bytes& sealed = key.cases[c].at("Encryption");
            Bytes plain;
            ASSERT_EQ(decrypt(privateKey.get(), sealed, plain), kQxOk);
            EXPECT_EQ(plain, key.cases[c].at("Message"));
            EXPECT_EQ(decrypt(privateKey.get(), flipped(sealed, 0), plain), kQxDecryptFailed);
        }
    }
}

// ---- Encryption ----------------------------------------------------------------

TEST_F(QxRsa, A2048BitKeyEncryptsAtMost245Bytes) {
    const RsaNumbers numbers = encryptionVectors()[14].numbers();
    const NettleKey nettle(numbers);
    Handle publicKey;
    Handle privateKey;
    ASSERT_EQ(decodePublic(numbers.publicDer(), publicKey), kQxOk);
    ASSERT_EQ(decodePrivate(numbers.privateDer(), privateKey), kQxOk);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{245}}) {
        SCOPED_TRACE(size);
        const Bytes message = symtest::hex(std::string(2 * size, 'a'));
        Bytes sealed;
        ASSERT_EQ(encrypt(publicKey.get(), message, sealed), kQxOk);
        ASSERT_EQ(sealed.size(), 256u);
        // Big-endian: nettle opens it as it stands.
        EXPECT_EQ(nettle.decrypt(sealed), message);
        Bytes plain;
        ASSERT_EQ(decrypt(privateKey.get(), sealed, plain), kQxOk);
        EXPECT_EQ(plain, message);
    }
    Bytes sealed;
    EXPECT_EQ(encrypt(publicKey.get(), Bytes(246, 0x61), sealed), kQxBadArgument);
    EXPECT_TRUE(sealed.empty());
}

TEST_F(QxRsa, CallersBuffersFollowTheOutputRule) {
    Handle publicKey;
    Handle privateKey;
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    const Bytes message = {1, 2, 3};
    Bytes buffer(130, 0xEE);
    QxBlob out{127, buffer.data()};
    EXPECT_EQ(QxXCAPI_PublicEncrypt(publicKey.get(), message.data(), 3, 0, &out),
              kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 128u);
    EXPECT_EQ(buffer, Bytes(130, 0xEE));
    out.cbData = 128;
    ASSERT_EQ(QxXCAPI_PublicEncrypt(publicKey.get(), message.data(), 3, 0, &out), kQxOk);
    const Bytes sealed(buffer.begin(), buffer.begin() + 128);
    EXPECT_EQ(Bytes(buffer.begin() + 128, buffer.end()), Bytes(2, 0xEE));

    Bytes plain(130, 0xEE);
    QxBlob opened{127, plain.data()};
    EXPECT_EQ(QxXCAPI_PrivateDecrypt(privateKey.get(), sealed.data(), 128, 0, &opened),
              kQxBufferTooSmall);
    EXPECT_EQ(opened.cbData, 128u) << "the input length";
    opened.cbData = 128;
    ASSERT_EQ(QxXCAPI_PrivateDecrypt(privateKey.get(), sealed.data(), 128, 0, &opened), kQxOk);
    EXPECT_EQ(opened.cbData, 3u);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 4), (Bytes{1, 2, 3, 0}));

    // Decryption in place.
    Bytes inPlace = sealed;
    QxBlob same{128, inPlace.data()};
    ASSERT_EQ(QxXCAPI_PrivateDecrypt(privateKey.get(), inPlace.data(), 128, 0, &same), kQxOk);
    EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + 3), message);
}

TEST_F(QxRsa, KeyOperationsCheckTheirHandles) {
    Handle publicKey;
    Handle privateKey;
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    const Bytes data(20, 1);
    QxBlob out{0, nullptr};
    QxCAPIHandle empty{kQxHandlePublicKey, nullptr, nullptr, 0};
    const struct Row {
        const char* what;
        int rc;
        int expected;
    } rows[] = {
        {"encrypt, private handle",
         QxXCAPI_PublicEncrypt(privateKey.get(), data.data(), 20, 0, &out), kQxWrongHandleType},
        {"encrypt, no handle", QxXCAPI_PublicEncrypt(nullptr, data.data(), 20, 0, &out),
         kQxBadArgument},
        {"encrypt, no object", QxXCAPI_PublicEncrypt(&empty, data.data(), 20, 0, &out),
         kQxBadArgument},
        {"encrypt, no output", QxXCAPI_PublicEncrypt(publicKey.get(), data.data(), 20, 0, nullptr),
         kQxBadArgument},
        {"decrypt, public handle",
         QxXCAPI_PrivateDecrypt(publicKey.get(), data.data(), 20, 0, &out), kQxWrongHandleType},
        {"decrypt, no data", QxXCAPI_PrivateDecrypt(privateKey.get(), nullptr, 20, 0, &out),
         kQxBadArgument},
        {"decrypt, not a ciphertext",
         QxXCAPI_PrivateDecrypt(privateKey.get(), data.data(), 20, 0, &out), kQxDecryptFailed},
        {"sign, public handle",
         QxXCAPI_PureSign(publicKey.get(), data.data(), 20, nullptr, 0, &out), kQxWrongHandleType},
        {"sign, no output",
         QxXCAPI_PureSign(privateKey.get(), data.data(), 20, nullptr, 0, nullptr), kQxBadArgument},
        {"sign, hash number 3",
         QxXCAPI_PureSign(privateKey.get(), data.data(), 20, nullptr, 3, &out), kQxBadArgument},
        {"sign, digest of the wrong length",
         QxXCAPI_PureSign(privateKey.get(), data.data(), 19, nullptr, kQxHashSha1, &out),
         kQxBadArgument},
        {"sign, SHA-256 digest as SHA-1",
         QxXCAPI_PureSign(privateKey.get(), Bytes(32, 1).data(), 32, nullptr, kQxHashSha1, &out),
         kQxBadArgument},
        {"verify, private handle",
         QxXCAPI_PureVerify(privateKey.get(), data.data(), 20, data.data(), 20, 0),
         kQxWrongHandleType},
        {"verify, hash number 7",
         QxXCAPI_PureVerify(publicKey.get(), data.data(), 20, data.data(), 20, 7), kQxBadArgument},
        {"verify, digest of the wrong length",
         QxXCAPI_PureVerify(publicKey.get(), data.data(), 20, data.data(), 21, kQxHashSha1),
         kQxBadArgument},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.rc, row.expected) << row.what;
    }
    EXPECT_EQ(out.pbData, nullptr);
    EXPECT_EQ(QxXCAPI_KeySize(nullptr), -1);
    EXPECT_EQ(QxXCAPI_KeySize(&empty), -1);
    QxCAPIHandle hash{kQxHandleHash, privateKey->object, nullptr, 0};
    EXPECT_EQ(QxXCAPI_KeySize(&hash), -1);
    EXPECT_NE(logText().find("QxXCAPI:"), std::string::npos) << "the wrong digest is logged";
}

TEST_F(QxRsa, AnUnreadableKeySizeLeavesNoRoomForPadding) {
    Handle publicKey;
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    capi::testing::failNextCall("CryptGetKeyParam", capi::NTE_BAD_KEY);
    QxBlob out{0, nullptr};
    const std::uint8_t byte = 1;
    EXPECT_EQ(QxXCAPI_PublicEncrypt(publicKey.get(), &byte, 1, 0, &out), kQxEncryptFailed);
    EXPECT_EQ(out.pbData, nullptr);
    EXPECT_NE(logText().find("QxXCAPI_KeySize:CryptGetKeyParam:80090003"), std::string::npos);
    capi::testing::failNextCall("CryptEncrypt", capi::NTE_FAIL);
    EXPECT_EQ(QxXCAPI_PublicEncrypt(publicKey.get(), &byte, 1, 0, &out), kQxEncryptFailed);
    EXPECT_EQ(out.pbData, nullptr);
    EXPECT_EQ(QxXCAPI_PublicEncrypt(publicKey.get(), &byte, 1, 0, &out), kQxOk);
    qxxCAPIFree(out.pbData);
}

// ---- Signing ---------------------------------------------------------------------

TEST_F(QxRsa, EachHashSignsAndVerifies) {
    Handle privateKey;
    Handle publicKey;
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    const NettleKey nettle(key1024());
    const Bytes message = symtest::bytesOf("the message of every hash");
    for (const QxCryptFlags hash :
         {kQxHashSha1, kQxHashMd5, kQxHashSha1Alt, kQxHashSha256, kQxHashSha384, kQxHashSha512}) {
        SCOPED_TRACE(hash);
        Bytes signature;
        ASSERT_EQ(sign(privateKey.get(), message, kQxSignHashHere | hash, signature), kQxOk);
        EXPECT_EQ(signature.size(), 128u);
        EXPECT_EQ(verify(publicKey.get(), signature, message, kQxSignHashHere | hash), kQxOk);
        EXPECT_EQ(verify(publicKey.get(), flipped(signature, 5), message, kQxSignHashHere | hash),
                  kQxBadSignature);
    }
    // The SHA-256 signature is the one nettle makes.
    Bytes signature;
    ASSERT_EQ(sign(privateKey.get(), sha256(message), kQxHashSha256, signature), kQxOk);
    mpz_t s;
    mpz_init(s);
    ASSERT_NE(rsa_sha256_sign_digest(nettle.priv(), sha256(message).data(), s), 0);
    EXPECT_EQ(signature, bytesOf(s));
    mpz_clear(s);
    // Without its identifier the block carries the bare digest.
    ASSERT_EQ(sign(privateKey.get(), message, kQxSignHashHere | kQxSignNoHashOid | kQxHashSha1,
                   signature),
              kQxOk);
    const Bytes block = nettle.open(signature);
    EXPECT_EQ(Bytes(block.end() - 21, block.end()), cat({Bytes{0}, sha1(message)}));
    EXPECT_EQ(verify(publicKey.get(), signature, message, kQxSignHashHere), kQxBadSignature);
}

TEST_F(QxRsa, SignatureIntoTheCallersBuffer) {
    Handle privateKey;
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    const Bytes digest = sha1(symtest::bytesOf("abc"));
    Bytes buffer(130, 0xEE);
    QxBlob out{127, buffer.data()};
    EXPECT_EQ(QxXCAPI_PureSign(privateKey.get(), digest.data(), 20, nullptr, 0, &out),
              kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 128u);
    out.cbData = 130;
    ASSERT_EQ(QxXCAPI_PureSign(privateKey.get(), digest.data(), 20, nullptr, 0, &out), kQxOk);
    EXPECT_EQ(out.cbData, 128u);
    Bytes allocated;
    ASSERT_EQ(sign(privateKey.get(), digest, 0, allocated), kQxOk);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 128), allocated);
}

TEST_F(QxRsa, ProviderRefusalsOfSigningMapToTheirCodes) {
    Handle privateKey;
    Handle publicKey;
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    const Bytes digest = sha1(symtest::bytesOf("refused"));
    const struct Row {
        const char* function;
        capi::Dword error;
        int rc;
    } rows[] = {
        {"CryptSignHashW", capi::kScardCancelledByUser, kQxCancelled},
        {"CryptSignHashW", 0x90001001, kQxCancelled},
        {"CryptSignHashW", 1, kQxCancelled},
        {"CryptSignHashW", capi::kErrorCancelled, kQxCancelled},
        {"CryptSignHashW", capi::ERROR_INVALID_DATA, kQxBadArgument},
        {"CryptSignHashW", capi::kScardWrongChv, kQxWrongPin},
        {"CryptSignHashW", capi::kScardChvBlocked, kQxPinBlocked},
        {"CryptSignHashW", capi::NTE_BAD_KEYSET, kQxSignRefused},
        {"CryptCreateHash", capi::NTE_BAD_ALGID, kQxHashNotSupported},
        {"CryptCreateHash", capi::NTE_FAIL, kQxFailed},
        {"CryptSetHashParam", capi::NTE_BAD_HASH, kQxFailed},
        {"CryptGetKeyParam", capi::kScardWrongChv, kQxKeySizeWrongPin},
        {"CryptGetKeyParam", capi::NTE_BAD_KEY, kQxFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.function) + " " + std::to_string(row.error));
        capi::testing::failNextCall(row.function, row.error);
        Bytes signature;
        EXPECT_EQ(sign(privateKey.get(), digest, kQxHashSha1, signature), row.rc);
        EXPECT_TRUE(signature.empty());
        EXPECT_EQ(capi::GetLastError(), row.error) << "the last platform error met";
        capi::testing::clearFailures();
    }
    // The provider asking for more room than it was given: a caller's
    // buffer learns the key size, an allocated one is made anew once.
    capi::testing::failNextCall("CryptSignHashW", capi::ERROR_MORE_DATA);
    Bytes buffer(128);
    QxBlob out{128, buffer.data()};
    EXPECT_EQ(QxXCAPI_PureSign(privateKey.get(), digest.data(), 20, nullptr, 0, &out),
              kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 128u);
    capi::testing::failNextCall("CryptSignHashW", capi::ERROR_MORE_DATA);
    Bytes signature;
    ASSERT_EQ(sign(privateKey.get(), digest, 0, signature), kQxOk);
    EXPECT_EQ(verify(publicKey.get(), signature, digest, 0), kQxOk);
    EXPECT_EQ(capi::GetLastError(), capi::ERROR_MORE_DATA);
    // A success with no platform error met leaves NTE_FAIL.
    ASSERT_EQ(sign(privateKey.get(), digest, 0, signature), kQxOk);
    EXPECT_EQ(capi::GetLastError(), capi::NTE_FAIL);
}

TEST_F(QxRsa, ProviderRefusalsOfVerificationMapToTheirCodes) {
    Handle privateKey;
    Handle publicKey;
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    const Bytes digest = sha1(symtest::bytesOf("checked"));
    Bytes signature;
    ASSERT_EQ(sign(privateKey.get(), digest, 0, signature), kQxOk);
    // Every refusal is logged as the failed call with its error.
    const struct Row {
        const char* function;
        capi::Dword error;
        int rc;
        const char* logged;
    } rows[] = {
        {"CryptVerifySignatureW", capi::NTE_BAD_KEY, kQxBadKey,
         "QxXCAPI_PureVerify:CryptVerifySignatureW:80090003"},
        {"CryptVerifySignatureW", capi::NTE_BAD_SIGNATURE, kQxBadSignature,
         "QxXCAPI_PureVerify:CryptVerifySignatureW:80090006"},
        {"CryptVerifySignatureW", capi::NTE_FAIL, kQxVerifyRefused,
         "QxXCAPI_PureVerify:CryptVerifySignatureW:80090020"},
        {"CryptCreateHash", capi::NTE_BAD_ALGID, kQxHashNotSupported,
         "QxXCAPI_PureVerify:CryptCreateHash:80090008"},
        {"CryptCreateHash", capi::NTE_FAIL, kQxFailed,
         "QxXCAPI_PureVerify:CryptCreateHash:80090020"},
        {"CryptHashData", capi::NTE_FAIL, kQxFailed, "QxXCAPI_PureVerify:CryptHashData:80090020"},
    };
    for (const Row& row : rows) {
        const std::size_t before = logText().size();
        capi::testing::failNextCall(row.function, row.error);
        const QxCryptFlags flags =
            std::string(row.function) == "CryptHashData" ? kQxSignHashHere : 0;
        EXPECT_EQ(verify(publicKey.get(), signature,
                         flags != 0 ? symtest::bytesOf("checked") : digest, flags),
                  row.rc)
            << row.function << " " << row.error;
        capi::testing::clearFailures();
        EXPECT_NE(logText().substr(before).find(row.logged), std::string::npos)
            << row.logged << " not in\n"
            << logText().substr(before);
    }
    // Longer than the fixed buffer: reversed in an allocated one, and not of
    // the key's length.
    EXPECT_EQ(verify(publicKey.get(), Bytes(1100, 1), digest, 0), kQxBadSignature);
    EXPECT_EQ(verify(publicKey.get(), signature, digest, 0), kQxOk);
}

// ---- The PIN ---------------------------------------------------------------------

class QxPin : public QxRsa {
protected:
    void SetUp() override {
        QxRsa::SetUp();
        // Trace lines too.
        Log_ResetForTest();
        const auto ini =
            box_.write("Tavelo.ini", "[Tavelo]\nLog File=" + (box_.root() / "trace.log").string() +
                                         "\nLog Level=5\n");
        ASSERT_EQ(Log_Init("Tavelo", ini.c_str()), 0);
    }
    testing_support::Sandbox box_;
};

TEST_F(QxPin, PinGoesToTheProviderAndNeverToTheLog) {
    Handle privateKey;
    ASSERT_EQ(decodePrivate(key1024().privateDer(), privateKey), kQxOk);
    const char* pin = "8642097531";
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(privateKey.get(), nullptr, 0), kQxOk);
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(privateKey.get(), "", 0), kQxOk);
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(privateKey.get(), pin, 0), kQxOk);
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(privateKey.get(), pin, kQxPinWithheld), kQxOk);
    const struct Row {
        capi::Dword error;
        int rc;
    } rows[] = {{capi::kScardWrongChv, kQxWrongPin},
                {capi::kScardChvBlocked, kQxPinBlocked},
                {capi::NTE_BAD_TYPE, kQxFailed}};
    for (const Row& row : rows) {
        capi::testing::failNextCall("CryptSetProvParam", row.error);
        EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(privateKey.get(), pin, 0), row.rc) << row.error;
    }
    // Signing with a PIN the provider refuses goes on.
    capi::testing::failNextCall("CryptSetProvParam", capi::kScardWrongChv);
    Bytes signature;
    EXPECT_EQ(sign(privateKey.get(), symtest::bytesOf("m"), kQxSignHashHere, signature, pin),
              kQxOk);
    Handle publicKey;
    ASSERT_EQ(decodePublic(key1024().publicDer(), publicKey), kQxOk);
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(publicKey.get(), pin, 0), kQxWrongHandleType);

    const std::string log = logText();
    EXPECT_NE(log.find("iIsSetKeyPin = 0"), std::string::npos);
    EXPECT_NE(log.find("iIsSetKeyPin = 1"), std::string::npos);
    EXPECT_NE(log.find("### CryptSetProvParam ###"), std::string::npos);
    EXPECT_NE(log.find("sPin = (null)"), std::string::npos);
    EXPECT_EQ(log.find(pin), std::string::npos);
    EXPECT_EQ(log.find("8642"), std::string::npos);
}

} // namespace
