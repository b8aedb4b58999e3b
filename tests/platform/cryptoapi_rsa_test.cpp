// RSA in the provider stand-in: PKCS #1 v1.5 encryption and signatures in
// the little-endian layouts, checked against nettle's own RSA; the PIN
// parameters; the smart-card key storage seam.

#include "platform/cryptoapi/CryptoApi.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <nettle/md5.h>
#include <nettle/rsa.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace capi;
using Bytes = std::vector<std::uint8_t>;

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + 7 * i);
    }
    return out;
}

Bytes exportBlob(HCRYPTKEY key, Dword type) {
    Dword length = 0;
    EXPECT_EQ(CryptExportKey(key, 0, type, 0, nullptr, &length), kTrue);
    Bytes blob(length);
    EXPECT_EQ(CryptExportKey(key, 0, type, 0, blob.data(), &length), kTrue);
    return blob;
}

// The same key as nettle sees it, read from its PRIVATEKEYBLOB.
class NettleKey {
public:
    explicit NettleKey(const Bytes& blob) {
        rsa_public_key_init(&pub_);
        rsa_private_key_init(&priv_);
        const std::size_t bits = blob[12] | blob[13] << 8;
        const std::size_t m = bits / 8;
        const std::size_t h = bits / 16;
        const auto read = [&](mpz_t out, std::size_t at, std::size_t width) {
            mpz_import(out, width, -1, 1, 0, 0, blob.data() + at);
        };
        mpz_set_ui(pub_.e, blob[16] | blob[17] << 8 | blob[18] << 16);
        read(pub_.n, 20, m);
        read(priv_.p, 20 + m, h);
        read(priv_.q, 20 + m + h, h);
        read(priv_.a, 20 + m + 2 * h, h);
        read(priv_.b, 20 + m + 3 * h, h);
        read(priv_.c, 20 + m + 4 * h, h);
        read(priv_.d, 20 + m + 5 * h, m);
        EXPECT_NE(rsa_public_key_prepare(&pub_), 0);
        EXPECT_NE(rsa_private_key_prepare(&priv_), 0);
    }
    ~NettleKey() {
        rsa_public_key_clear(&pub_);
        rsa_private_key_clear(&priv_);
    }
    NettleKey(const NettleKey&) = delete;
    NettleKey& operator=(const NettleKey&) = delete;
    const rsa_public_key* pub() const { return &pub_; }
    const rsa_private_key* priv() const { return &priv_; }
    std::size_t size() const { return pub_.size; }

    // s^e mod n as big-endian bytes of the modulus length.
    Bytes open(const Bytes& bigEndian) const {
        mpz_t s;
        mpz_init(s);
        mpz_import(s, bigEndian.size(), 1, 1, 0, 0, bigEndian.data());
        mpz_powm(s, s, pub_.e, pub_.n);
        Bytes out(size(), 0);
        std::size_t count = 0;
        const std::size_t used = mpz_sizeinbase(s, 256);
        mpz_export(out.data() + (out.size() - used), &count, 1, 1, 0, 0, s);
        mpz_clear(s);
        return out;
    }

private:
    rsa_public_key pub_;
    rsa_private_key priv_;
};

class Rsa : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CryptAcquireContextW(&prov_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
                  kTrue);
    }
    void TearDown() override {
        for (const HCRYPTHASH hash : hashes_) {
            CryptDestroyHash(hash);
        }
        for (const HCRYPTKEY key : keys_) {
            CryptDestroyKey(key);
        }
        CryptReleaseContext(prov_, 0);
        capi::testing::clearFailures();
    }

    HCRYPTKEY generate(Dword spec, Dword bits) {
        HCRYPTKEY key = 0;
        EXPECT_EQ(CryptGenKey(prov_, spec, bits << 16 | CRYPT_EXPORTABLE, &key), kTrue);
        keys_.push_back(key);
        return key;
    }
    HCRYPTKEY importPublic(HCRYPTKEY key) {
        const Bytes blob = exportBlob(key, PUBLICKEYBLOB);
        HCRYPTKEY imported = 0;
        EXPECT_EQ(
            CryptImportKey(prov_, blob.data(), static_cast<Dword>(blob.size()), 0, 0, &imported),
            kTrue);
        keys_.push_back(imported);
        return imported;
    }
    HCRYPTHASH hashOf(AlgId algorithm, const Bytes& message) {
        HCRYPTHASH hash = 0;
        EXPECT_EQ(CryptCreateHash(prov_, algorithm, 0, 0, &hash), kTrue);
        EXPECT_EQ(CryptHashData(hash, message.data(), static_cast<Dword>(message.size()), 0),
                  kTrue);
        hashes_.push_back(hash);
        return hash;
    }
    Bytes sign(HCRYPTHASH hash, Dword spec, Dword flags = 0) {
        Dword length = 0;
        EXPECT_EQ(CryptSignHashW(hash, spec, nullptr, flags, nullptr, &length), kTrue)
            << std::hex << GetLastError();
        Bytes signature(length);
        EXPECT_EQ(CryptSignHashW(hash, spec, nullptr, flags, signature.data(), &length), kTrue)
            << std::hex << GetLastError();
        return signature;
    }

    HCRYPTPROV prov_ = 0;
    std::vector<HCRYPTKEY> keys_;
    std::vector<HCRYPTHASH> hashes_;
};

// ---- Encryption ------------------------------------------------------------

TEST_F(Rsa, EncryptionOpensWithNettleAndDecryptsBack) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 1024);
    const NettleKey nettle(exportBlob(key, PRIVATEKEYBLOB));
    const HCRYPTKEY publicKey = importPublic(key);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{64}, std::size_t{117}}) {
        SCOPED_TRACE(size);
        const Bytes plain = pattern(size, static_cast<std::uint8_t>(size));
        Bytes buffer(128, 0);
        std::copy(plain.begin(), plain.end(), buffer.begin());
        Dword length = static_cast<Dword>(size);
        ASSERT_EQ(CryptEncrypt(publicKey, 0, kTrue, 0, buffer.data(), &length, 128), kTrue);
        ASSERT_EQ(length, 128u);

        // Little-endian: nettle reads it the other way round.
        const Bytes bigEndian = reversed(buffer);
        mpz_t c;
        mpz_init(c);
        mpz_import(c, bigEndian.size(), 1, 1, 0, 0, bigEndian.data());
        Bytes opened(128, 0);
        std::size_t openedLength = opened.size();
        EXPECT_NE(rsa_decrypt(nettle.priv(), &openedLength, opened.data(), c), 0);
        mpz_clear(c);
        opened.resize(openedLength);
        EXPECT_EQ(opened, plain);

        ASSERT_EQ(CryptDecrypt(key, 0, kTrue, 0, buffer.data(), &length), kTrue);
        ASSERT_EQ(length, size);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(size)), plain);
        EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(size), buffer.end()),
                  Bytes(128 - size, 0))
            << "the rest of the block is cleared";
    }
}

TEST_F(Rsa, EncryptionOfEachMessageIsFresh) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    Bytes first(64, 0);
    Bytes second(64, 0);
    Dword length = 5;
    ASSERT_EQ(CryptEncrypt(key, 0, kTrue, 0, first.data(), &length, 64), kTrue);
    length = 5;
    ASSERT_EQ(CryptEncrypt(key, 0, kTrue, 0, second.data(), &length, 64), kTrue);
    EXPECT_NE(first, second) << "random padding";
}

TEST_F(Rsa, EncryptionSizesAndRefusals) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    const HCRYPTKEY publicKey = importPublic(key);
    Bytes buffer(80, 0x11);
    Dword length = 53;
    // Size query, then a buffer one byte short of the modulus.
    EXPECT_EQ(CryptEncrypt(publicKey, 0, kTrue, 0, nullptr, &length, 0), kTrue);
    EXPECT_EQ(length, 64u);
    length = 53;
    EXPECT_EQ(CryptEncrypt(publicKey, 0, kTrue, 0, buffer.data(), &length, 63), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(buffer, Bytes(80, 0x11));

    struct Row {
        const char* what;
        std::function<Bool(Dword& length)> call;
        Dword length;
        Dword error;
    } const rows[] = {
        {"modulus - 10 bytes",
         [&](Dword& l) { return CryptEncrypt(publicKey, 0, kTrue, 0, buffer.data(), &l, 80); }, 54,
         NTE_BAD_LEN},
        {"not final",
         [&](Dword& l) { return CryptEncrypt(publicKey, 0, kFalse, 0, buffer.data(), &l, 80); }, 5,
         NTE_BAD_DATA},
        {"decrypt with the public half",
         [&](Dword& l) { return CryptDecrypt(publicKey, 0, kTrue, 0, buffer.data(), &l); }, 64,
         NTE_BAD_KEY},
        {"decrypt one byte short",
         [&](Dword& l) { return CryptDecrypt(key, 0, kTrue, 0, buffer.data(), &l); }, 63,
         NTE_BAD_LEN},
        {"decrypt not final",
         [&](Dword& l) { return CryptDecrypt(key, 0, kFalse, 0, buffer.data(), &l); }, 64,
         NTE_BAD_DATA},
        {"decrypt a block that is not type 2",
         [&](Dword& l) { return CryptDecrypt(key, 0, kTrue, 0, buffer.data(), &l); }, 64,
         NTE_BAD_DATA},
    };
    for (const Row& row : rows) {
        buffer.assign(80, 0x11);
        Dword length = row.length;
        SetLastError(0);
        EXPECT_EQ(row.call(length), kFalse) << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        EXPECT_EQ(buffer, Bytes(80, 0x11)) << row.what;
    }
    length = 53;
    EXPECT_EQ(CryptEncrypt(publicKey, 0, kTrue, 0, buffer.data(), &length, 80), kTrue);
}

TEST_F(Rsa, TamperedCiphertextIsRefused) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    Bytes sealed(64, 0);
    Dword length = 20;
    ASSERT_EQ(CryptEncrypt(key, 0, kTrue, 0, sealed.data(), &length, 64), kTrue);
    sealed[10] ^= 0x01;
    Bytes copy = sealed;
    length = 64;
    EXPECT_EQ(CryptDecrypt(key, 0, kTrue, 0, copy.data(), &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    EXPECT_EQ(copy, sealed);
}

// ---- Signatures ------------------------------------------------------------

struct HashRow {
    AlgId algorithm;
    const char* name;
    // DigestInfo up to the digest, as RFC 8017 lists it.
    const char* prefix;
};

const HashRow kHashes[] = {
    {CALG_MD5, "MD5", "3020300c06082a864886f70d020505000410"},
    {CALG_SHA1, "SHA-1", "3021300906052b0e03021a05000414"},
    {CALG_SHA_256, "SHA-256", "3031300d060960864801650304020105000420"},
    {CALG_SHA_384, "SHA-384", "3041300d060960864801650304020205000430"},
    {CALG_SHA_512, "SHA-512", "3051300d060960864801650304020305000440"},
};

Bytes hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes hashValue(HCRYPTHASH hash) {
    Dword length = 64;
    Bytes value(64);
    EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0), kTrue);
    value.resize(length);
    return value;
}

// 00 01 FF.. 00 content, a modulus long.
Bytes type1Block(std::size_t modulus, const Bytes& content) {
    Bytes block(modulus, 0xFF);
    block[0] = 0;
    block[1] = 1;
    block[modulus - content.size() - 1] = 0;
    std::copy(content.begin(), content.end(), block.end() - static_cast<long>(content.size()));
    return block;
}

TEST_F(Rsa, SignaturesCarryTheDigestInfoOfEachHash) {
    const HCRYPTKEY key = generate(AT_SIGNATURE, 1024);
    const NettleKey nettle(exportBlob(key, PRIVATEKEYBLOB));
    const HCRYPTKEY publicKey = importPublic(key);
    const Bytes message = pattern(300, 3);
    for (const HashRow& row : kHashes) {
        SCOPED_TRACE(row.name);
        const HCRYPTHASH hash = hashOf(row.algorithm, message);
        const Bytes signature = sign(hash, AT_SIGNATURE);
        ASSERT_EQ(signature.size(), 128u);
        const Bytes digest = hashValue(hash);
        Bytes content = hex(row.prefix);
        content.insert(content.end(), digest.begin(), digest.end());
        EXPECT_EQ(nettle.open(reversed(signature)), type1Block(128, content));

        // nettle's own checks, where it has the hash.
        mpz_t s;
        mpz_init(s);
        const Bytes bigEndian = reversed(signature);
        mpz_import(s, bigEndian.size(), 1, 1, 0, 0, bigEndian.data());
        switch (row.algorithm) {
        case CALG_MD5:
            EXPECT_NE(rsa_md5_verify_digest(nettle.pub(), digest.data(), s), 0);
            break;
        case CALG_SHA1:
            EXPECT_NE(rsa_sha1_verify_digest(nettle.pub(), digest.data(), s), 0);
            break;
        case CALG_SHA_256:
            EXPECT_NE(rsa_sha256_verify_digest(nettle.pub(), digest.data(), s), 0);
            break;
        case CALG_SHA_512:
            EXPECT_NE(rsa_sha512_verify_digest(nettle.pub(), digest.data(), s), 0);
            break;
        default:
            break;
        }
        mpz_clear(s);

        EXPECT_EQ(CryptVerifySignatureW(hashOf(row.algorithm, message), signature.data(),
                                        static_cast<Dword>(signature.size()), publicKey, nullptr,
                                        0),
                  kTrue)
            << std::hex << GetLastError();
        Bytes changed = signature;
        changed[signature.size() / 2] ^= 0x40;
        EXPECT_EQ(CryptVerifySignatureW(hashOf(row.algorithm, message), changed.data(),
                                        static_cast<Dword>(changed.size()), publicKey, nullptr, 0),
                  kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
        Bytes otherMessage = message;
        otherMessage[0] ^= 1;
        EXPECT_EQ(CryptVerifySignatureW(hashOf(row.algorithm, otherMessage), signature.data(),
                                        static_cast<Dword>(signature.size()), publicKey, nullptr,
                                        0),
                  kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
    }
}

TEST_F(Rsa, NoHashOidSignsTheBareDigest) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    const NettleKey nettle(exportBlob(key, PRIVATEKEYBLOB));
    const HCRYPTHASH hash = hashOf(CALG_SHA1, pattern(10, 1));
    const Bytes signature = sign(hash, AT_KEYEXCHANGE, CRYPT_NOHASHOID);
    EXPECT_EQ(nettle.open(reversed(signature)), type1Block(64, hashValue(hash)));
    const HCRYPTKEY publicKey = importPublic(key);
    EXPECT_EQ(CryptVerifySignatureW(hashOf(CALG_SHA1, pattern(10, 1)), signature.data(), 64,
                                    publicKey, nullptr, CRYPT_NOHASHOID),
              kTrue);
    // With the identifier expected, the bare block does not match.
    EXPECT_EQ(CryptVerifySignatureW(hashOf(CALG_SHA1, pattern(10, 1)), signature.data(), 64,
                                    publicKey, nullptr, 0),
              kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
}

TEST_F(Rsa, ASetHashValueSignsLikeTheHashedMessage) {
    generate(AT_SIGNATURE, 512);
    const HCRYPTHASH hashed = hashOf(CALG_SHA_256, pattern(77, 5));
    const Bytes digest = hashValue(hashed);
    HCRYPTHASH set = 0;
    ASSERT_EQ(CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &set), kTrue);
    hashes_.push_back(set);
    ASSERT_EQ(CryptSetHashParam(set, HP_HASHVAL, digest.data(), 0), kTrue);
    EXPECT_EQ(hashValue(set), digest);
    EXPECT_EQ(sign(set, AT_SIGNATURE), sign(hashed, AT_SIGNATURE)) << "deterministic padding";
    // A set value finishes the hash.
    EXPECT_EQ(CryptHashData(set, digest.data(), 1, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    EXPECT_EQ(CryptSetHashParam(set, HP_HASHVAL, digest.data(), 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);

    const HCRYPTHASH open = hashOf(CALG_SHA_256, {});
    EXPECT_EQ(CryptSetHashParam(open, HP_HASHSIZE, digest.data(), 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    EXPECT_EQ(CryptSetHashParam(open, HP_HASHVAL, nullptr, 0), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CryptSetHashParam(open, HP_HASHVAL, digest.data(), 1), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_EQ(CryptSetHashParam(0x77, HP_HASHVAL, digest.data(), 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
}

TEST_F(Rsa, SigningUsesTheSlotOfTheHashsContainer) {
    const HCRYPTKEY exchange = generate(AT_KEYEXCHANGE, 512);
    const Bytes message = pattern(5, 9);
    Dword length = 0;
    EXPECT_EQ(
        CryptSignHashW(hashOf(CALG_SHA1, message), AT_SIGNATURE, nullptr, 0, nullptr, &length),
        kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    const Bytes signature = sign(hashOf(CALG_SHA1, message), AT_KEYEXCHANGE);
    EXPECT_EQ(CryptVerifySignatureW(hashOf(CALG_SHA1, message), signature.data(), 64,
                                    importPublic(exchange), nullptr, 0),
              kTrue);
    // A hash of another provider signs with that provider's keys.
    HCRYPTPROV other = 0;
    ASSERT_EQ(CryptAcquireContextW(&other, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              kTrue);
    HCRYPTHASH foreign = 0;
    ASSERT_EQ(CryptCreateHash(other, CALG_SHA1, 0, 0, &foreign), kTrue);
    hashes_.push_back(foreign);
    CryptReleaseContext(other, 0);
    EXPECT_EQ(CryptSignHashW(foreign, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

TEST_F(Rsa, SignatureOutputRuleAndRefusals) {
    generate(AT_KEYEXCHANGE, 512);
    const HCRYPTHASH hash = hashOf(CALG_SHA1, pattern(3, 3));
    Dword length = 0;
    ASSERT_EQ(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length), kTrue);
    EXPECT_EQ(length, 64u);
    Bytes buffer(70, 0x5A);
    length = 63;
    EXPECT_EQ(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &length), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(buffer, Bytes(70, 0x5A));
    // Neither query finished the hash.
    const std::uint8_t more = 1;
    EXPECT_EQ(CryptHashData(hash, &more, 1, 0), kTrue);
    length = 70;
    ASSERT_EQ(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &length), kTrue);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(Bytes(buffer.begin() + 64, buffer.end()), Bytes(6, 0x5A));
    EXPECT_EQ(CryptHashData(hash, &more, 1, 0), kFalse) << "signing finished it";

    // SHA-512's DigestInfo and digest need 94 bytes: more than 512 bits.
    length = 0;
    EXPECT_EQ(
        CryptSignHashW(hashOf(CALG_SHA_512, {}), AT_KEYEXCHANGE, nullptr, 0, nullptr, &length),
        kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
    EXPECT_EQ(CryptSignHashW(hashOf(CALG_SHA1, {}), AT_KEYEXCHANGE, nullptr, 0x4, nullptr, &length),
              kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_EQ(CryptSignHashW(hashOf(CALG_SHA1, {}), 3, nullptr, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
    EXPECT_EQ(CryptSignHashW(0x99, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
}

TEST_F(Rsa, VerificationRefusals) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    const Bytes signature = sign(hashOf(CALG_SHA1, pattern(4, 4)), AT_KEYEXCHANGE);
    HCRYPTKEY aes = 0;
    ASSERT_EQ(CryptGenKey(prov_, CALG_AES_128, 0, &aes), kTrue);
    keys_.push_back(aes);
    Bytes longer = signature;
    longer.push_back(0);
    // A value at or above the modulus.
    const Bytes tooLarge(64, 0xFF);
    struct Row {
        const char* what;
        const Bytes* signature;
        HCRYPTKEY key;
        Dword flags;
        Dword error;
    } const rows[] = {
        {"one byte longer, though the value is the same", &longer, key, 0, NTE_BAD_SIGNATURE},
        {"value not below the modulus", &tooLarge, key, 0, NTE_BAD_SIGNATURE},
        {"symmetric key", &signature, aes, 0, NTE_BAD_KEY},
        {"stale key", &signature, 0x1234, 0, NTE_BAD_KEY},
        {"unknown flag", &signature, key, 0x8, NTE_BAD_FLAGS},
    };
    for (const Row& row : rows) {
        SetLastError(0);
        EXPECT_EQ(CryptVerifySignatureW(hashOf(CALG_SHA1, pattern(4, 4)), row.signature->data(),
                                        static_cast<Dword>(row.signature->size()), row.key, nullptr,
                                        row.flags),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
    }
    // The private key verifies as well as its public half.
    EXPECT_EQ(CryptVerifySignatureW(hashOf(CALG_SHA1, pattern(4, 4)), signature.data(), 64, key,
                                    nullptr, 0),
              kTrue);
}

TEST_F(Rsa, NewCallsAnswerTheFailureSeam) {
    const HCRYPTKEY key = generate(AT_KEYEXCHANGE, 512);
    const Bytes digest(20, 1);
    const Bytes signature = sign(hashOf(CALG_SHA1, {}), AT_KEYEXCHANGE);
    struct Row {
        const char* name;
        std::function<Bool()> call;
    } const rows[] = {
        {"CryptSetHashParam",
         [&] { return CryptSetHashParam(hashOf(CALG_SHA1, {}), HP_HASHVAL, digest.data(), 0); }},
        {"CryptSignHashW",
         [&] {
             Dword length = 0;
             return CryptSignHashW(hashOf(CALG_SHA1, {}), AT_KEYEXCHANGE, nullptr, 0, nullptr,
                                   &length);
         }},
        {"CryptVerifySignatureW",
         [&] {
             return CryptVerifySignatureW(hashOf(CALG_SHA1, {}), signature.data(), 64, key, nullptr,
                                          0);
         }},
    };
    Dword error = 0x80097100;
    for (const Row& row : rows) {
        capi::testing::failNextCall(row.name, ++error);
        EXPECT_EQ(row.call(), kFalse) << row.name;
        EXPECT_EQ(GetLastError(), error) << row.name;
        EXPECT_EQ(row.call(), kTrue) << row.name << " " << std::hex << GetLastError();
    }
}

// ---- PINs and the smart-card key storage -----------------------------------

TEST_F(Rsa, PinParametersAreTakenAndChangeNothing) {
    const std::uint8_t pin[] = "1234";
    for (const Dword param : {PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN}) {
        EXPECT_EQ(CryptSetProvParam(prov_, param, pin, 0), kTrue);
        EXPECT_EQ(CryptSetProvParam(prov_, param, nullptr, 0), kTrue);
        EXPECT_EQ(CryptSetProvParam(prov_, param, pin, 1), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    }
    EXPECT_EQ(CryptSetProvParam(prov_, 34, pin, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
}

SECURITY_STATUS fakeFree(NCRYPT_HANDLE) {
    return 0;
}

TEST(SmartCardKeyStorage, AnInstalledModuleOffersItsFunctions) {
    SetLastError(0);
    EXPECT_EQ(loadSmartCardKeyStorage(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    capi::testing::installSmartCardKeyStorage(
        {{"NCryptFreeObject", reinterpret_cast<FARPROC>(&fakeFree)}, {"Empty", nullptr}});
    const HMODULE first = loadSmartCardKeyStorage();
    const HMODULE second = loadSmartCardKeyStorage();
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(capi::testing::smartCardKeyStorageLoads(), 2u);
    EXPECT_EQ(smartCardKeyStorageFunction(first, "NCryptFreeObject"),
              reinterpret_cast<FARPROC>(&fakeFree));
    for (const char* missing : {"NCryptSignHash", "Empty", static_cast<const char*>(nullptr)}) {
        SetLastError(0);
        EXPECT_EQ(smartCardKeyStorageFunction(first, missing), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    }
    EXPECT_EQ(freeSmartCardKeyStorage(first), kTrue);
    EXPECT_EQ(freeSmartCardKeyStorage(first), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(smartCardKeyStorageFunction(first, "NCryptFreeObject"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(capi::testing::smartCardKeyStorageLoads(), 1u);
    EXPECT_EQ(freeSmartCardKeyStorage(second), kTrue);

    capi::testing::removeSmartCardKeyStorage();
    EXPECT_EQ(loadSmartCardKeyStorage(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

} // namespace
