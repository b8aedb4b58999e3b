// The PEM / ASN.1 type table: its rows, the converters between key blobs
// and DER (round trips, width checks), certificates, PKCS #7 messages,
// signer information and the release of every handle type it makes.

#include "control/crypto/QxCAPIASN1Method.h"
#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxCAPICoder.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <gtest/gtest.h>
#include <nettle/rsa.h>

#include <fstream>
#include <iterator>

namespace {

using namespace asymtest;
using symtest::LoggedTest;

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// PEM armour of DER under a name, as the library writes it.
Bytes armour(const Bytes& der, const char* name) {
    QxBlob out{0, nullptr};
    EXPECT_EQ(QxXCAPI_Encode(der.data(), static_cast<std::uint32_t>(der.size()), &out, name),
              kQxOk);
    Bytes text(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return text;
}

Bytes unarmour(const Bytes& text) {
    QxBlob out{0, nullptr};
    EXPECT_EQ(QxXCAPI_Decode(reinterpret_cast<const char*>(text.data()),
                             static_cast<std::uint32_t>(text.size()), &out,
                             "CERTIFICATE;PKCS7;RSA PRIVATE KEY;PUBLIC KEY"),
              kQxOk);
    Bytes der(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return der;
}

int decodeWith(const QxCAPIASN1Method* row, const Bytes& data, std::uint32_t flags, Handle& out) {
    QxCAPIHandle* raw = nullptr;
    const int rc = row->decode(&raw, data.data(), static_cast<std::uint32_t>(data.size()), flags);
    out.reset(raw);
    if (rc != kQxOk) {
        EXPECT_EQ(raw, nullptr);
    }
    return rc;
}

Bytes encodeWith(const QxCAPIASN1Method* row, QxCAPIHandle* handle, std::uint32_t flags,
                 int armourSwitch) {
    QxBlob out{0, nullptr};
    EXPECT_EQ(row->encode(handle, &out, flags, &armourSwitch), kQxOk);
    Bytes bytes(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return bytes;
}

const std::filesystem::path kSourceDir = CORVANTIX_SOURCE_DIR;

class QxAsn1 : public LoggedTest {};

// ---- The rows --------------------------------------------------------------

TEST_F(QxAsn1, RowsNameTheirTypesArmourAndAliases) {
    const struct Row {
        const QxCAPIASN1Method* row;
        std::uint32_t type;
        const char* name;
        const char* aliases;
        int noObject;
    } rows[] = {
        {qxxCAPI_ASN1_CertificateMethod(), kQxHandleCertificate, "CERTIFICATE",
         "CERTIFICATE;X509 CERTIFICATE", kQxBadCertificate},
        {qxxCAPI_ASN1_PrivateKeyMethod(), kQxHandlePrivateKey, "RSA PRIVATE KEY",
         "RSA PRIVATE KEY;DSA PUBLIC KEY;ENCRYPTED PRIVATE KEY;PRIVATE KEY", kQxBadKey},
        {qxxCAPI_ASN1_PublicKeyMethod(), kQxHandlePublicKey, "PUBLIC KEY",
         "PUBLIC KEY;RSA PUBLIC KEY;DSA PUBLIC KEY", kQxBadKey},
        {qxxCAPI_ASN1_PKCS7Method(), kQxHandlePkcs7, "PKCS7", "PKCS7", kQxBadPkcs7},
        {qxxCAPI_ASN1_SignerInfoMethod(), kQxHandleSignerInfo, nullptr, nullptr, kQxBadArmour},
    };
    const Bytes notDer = hex("0500");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(row.row->handleType, row.type);
        if (row.name == nullptr) {
            EXPECT_EQ(row.row->name, nullptr);
            EXPECT_EQ(row.row->aliases, nullptr);
        } else {
            EXPECT_STREQ(row.row->name, row.name);
            EXPECT_STREQ(row.row->aliases, row.aliases);
        }
        // The two further operations are offered by no row.
        EXPECT_EQ(row.row->control(nullptr, 0), kQxFailed);
        EXPECT_EQ(row.row->control2(nullptr, 0), kQxFailed);
        Handle handle;
        EXPECT_EQ(decodeWith(row.row, notDer, 0, handle), row.noObject);
        EXPECT_EQ(row.row->decode(nullptr, notDer.data(), 2, 0), kQxBadArgument);
        EXPECT_EQ(row.row->decode(reinterpret_cast<QxCAPIHandle**>(&handle), nullptr, 2, 0),
                  kQxBadArgument);
        row.row->freeHandle(nullptr);
    }
}

TEST_F(QxAsn1, KeyMethodTablesAnswerForTheSlotsTheyDoNotOffer) {
    const QxCAPIKeyMethods* priv = qxxCAPIPrivateKeyMethods();
    const QxCAPIKeyMethods* pub = qxxCAPIPublicKeyMethods();
    QxBlob out{0, nullptr};
    const std::uint8_t data[1] = {1};
    EXPECT_EQ(priv->encrypt(nullptr, data, 1, 0, &out), kQxFailed);
    EXPECT_EQ(priv->verify(nullptr, data, 1, data, 1, 0), kQxFailed);
    EXPECT_EQ(pub->decrypt(nullptr, data, 1, 0, &out), kQxFailed);
    EXPECT_EQ(pub->sign(nullptr, data, 1, nullptr, 0, &out), kQxFailed);
    EXPECT_EQ(priv->sixth(nullptr), -1);
    EXPECT_EQ(pub->sixth(nullptr), -1);
    EXPECT_EQ(out.pbData, nullptr);
}

// ---- Keys ------------------------------------------------------------------

class QxKeys : public QxAsn1 {
protected:
    static const RsaNumbers& key() {
        static const RsaNumbers numbers = SeededKeys(7).next(1024);
        return numbers;
    }
};

TEST_F(QxKeys, PrivateKeyDecodesFromDerOrTextAndEncodesBack) {
    const Bytes der = key().privateDer();
    const Bytes pem = armour(der, "RSA PRIVATE KEY");
    const QxCAPIASN1Method* row = qxxCAPI_ASN1_PrivateKeyMethod();
    for (const bool text : {false, true}) {
        SCOPED_TRACE(text ? "text" : "DER");
        Handle handle;
        ASSERT_EQ(decodeWith(row, text ? pem : der, text ? kQxAsn1InputText : 0, handle), kQxOk);
        EXPECT_EQ(handle->type, kQxHandlePrivateKey);
        EXPECT_EQ(handle->row, row);
        EXPECT_EQ(handle->extra, reinterpret_cast<std::uintptr_t>(qxxCAPIPrivateKeyMethods()));
        const auto* object = static_cast<const QxCAPIKey*>(handle->object);
        EXPECT_EQ(object->keySpec, capi::AT_KEYEXCHANGE);
        EXPECT_EQ(object->borrowed, 0u);
        EXPECT_EQ(Bytes(object->reserved, object->reserved + sizeof object->reserved),
                  Bytes(1024, 0));
        EXPECT_EQ(encodeWith(row, handle.get(), 0, 0), der);
        EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 1), pem);
        // Without the armour switch: plain Base64 lines.
        EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 0), armour(der, nullptr));
        EXPECT_EQ(QxXCAPI_KeySize(handle.get()), 128);
    }
    // Other armour names of the row's list are taken too.
    Handle other;
    EXPECT_EQ(decodeWith(row, armour(der, "PRIVATE KEY"), kQxAsn1InputText, other), kQxOk);
    EXPECT_EQ(decodeWith(row, armour(der, "CERTIFICATE"), kQxAsn1InputText, other), kQxBadBase64);
}

TEST_F(QxKeys, BinaryEncodingFollowsTheOutputRule) {
    const Bytes der = key().privateDer();
    Handle handle;
    ASSERT_EQ(decodePrivate(der, handle), kQxOk);
    Bytes buffer(der.size() + 4, 0xEE);
    QxBlob out{static_cast<std::uint32_t>(der.size() - 1), buffer.data()};
    EXPECT_EQ(qxxCAPI_ASN1_EncodePrivateKey(handle.get(), &out, 0, nullptr), kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, der.size());
    EXPECT_EQ(buffer, Bytes(der.size() + 4, 0xEE)) << "nothing written";
    out.cbData = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(qxxCAPI_ASN1_EncodePrivateKey(handle.get(), &out, 0, nullptr), kQxOk);
    EXPECT_EQ(out.cbData, der.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(der.size())), der);

    // The wrong handle, or none.
    Handle publicKey;
    ASSERT_EQ(decodePublic(key().publicDer(), publicKey), kQxOk);
    QxBlob none{0, nullptr};
    EXPECT_EQ(qxxCAPI_ASN1_EncodePrivateKey(publicKey.get(), &none, 0, nullptr),
              kQxWrongHandleType);
    EXPECT_EQ(qxxCAPI_ASN1_EncodePublicKey(handle.get(), &none, 0, nullptr), kQxWrongHandleType);
    EXPECT_EQ(qxxCAPI_ASN1_EncodeCert(handle.get(), &none, 0, nullptr), kQxWrongHandleType);
    EXPECT_EQ(qxxCAPI_ASN1_EncodePKCS7(handle.get(), &none, 0, nullptr), kQxWrongHandleType);
    EXPECT_EQ(qxxCAPI_ASN1_EncodeSignerInfo(handle.get(), &none, 0, nullptr), kQxWrongHandleType);
    EXPECT_EQ(qxxCAPI_ASN1_EncodePrivateKey(nullptr, &none, 0, nullptr), kQxBadArgument);
    EXPECT_EQ(qxxCAPI_ASN1_EncodePrivateKey(handle.get(), nullptr, 0, nullptr), kQxBadArgument);
    EXPECT_EQ(none.pbData, nullptr);
}

TEST_F(QxKeys, PublicKeyEncodesAsSubjectPublicKeyInfoOfRsaEncryption) {
    const Bytes der = key().publicDer();
    const QxCAPIASN1Method* row = qxxCAPI_ASN1_PublicKeyMethod();
    Handle handle;
    ASSERT_EQ(decodeWith(row, der, 0, handle), kQxOk);
    EXPECT_EQ(handle->type, kQxHandlePublicKey);
    EXPECT_EQ(handle->extra, reinterpret_cast<std::uintptr_t>(qxxCAPIPublicKeyMethods()));
    const Bytes written = encodeWith(row, handle.get(), 0, 0);
    EXPECT_EQ(written, der);
    // SEQUENCE of 159 bytes (30 81 9F), then the algorithm.
    EXPECT_EQ(Bytes(written.begin() + 3, written.begin() + 3 + 15), kRsaAlgorithm);
    EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 1), armour(der, "PUBLIC KEY"));
    for (const char* name : {"PUBLIC KEY", "RSA PUBLIC KEY", "DSA PUBLIC KEY"}) {
        Handle again;
        EXPECT_EQ(decodeWith(row, armour(der, name), kQxAsn1InputText, again), kQxOk) << name;
    }
    // A private key's public half encodes as the same public key.
    Handle privateKey;
    ASSERT_EQ(decodePrivate(key().privateDer(), privateKey), kQxOk);
    EXPECT_EQ(QxXCAPI_KeySize(handle.get()), QxXCAPI_KeySize(privateKey.get()));
}

// Generated keys whose numbers need their leading zero bytes dropped, or a
// zero byte put before them, to be DER: written with fixed widths, about one
// key in a hundred would not come back as it went in.
TEST_F(QxKeys, DerRoundTripOfManyGeneratedKeys) {
    SeededKeys keys(20240601);
    int shortNumbers = 0;
    for (int i = 0; i < 200; ++i) {
        const unsigned bits = 512 + 16 * (i % 17);
        const RsaNumbers numbers = keys.next(bits);
        SCOPED_TRACE(std::to_string(i) + ": " + std::to_string(bits) + " bits");
        const std::size_t half = bits / 16;
        for (const Bytes* number : {&numbers.dp, &numbers.dq, &numbers.qinv}) {
            shortNumbers += number->size() < half ? 1 : 0;
        }
        shortNumbers += numbers.d.size() < bits / 8 ? 1 : 0;

        const Bytes der = numbers.privateDer();
        Handle handle;
        ASSERT_EQ(decodePrivate(der, handle), kQxOk);
        const Bytes back = encoded(qxxCAPI_ASN1_PrivateKeyMethod(), handle.get());
        ASSERT_EQ(back, der);
        // nettle reads what was written as the same key.
        rsa_public_key pub;
        rsa_private_key priv;
        rsa_public_key_init(&pub);
        rsa_private_key_init(&priv);
        EXPECT_NE(rsa_keypair_from_der(&pub, &priv, 0, back.size(), back.data()), 0);
        EXPECT_EQ(bytesOf(pub.n), numbers.n);
        EXPECT_EQ(bytesOf(priv.c), numbers.qinv);
        rsa_public_key_clear(&pub);
        rsa_private_key_clear(&priv);

        Handle publicKey;
        ASSERT_EQ(decodePublic(numbers.publicDer(), publicKey), kQxOk);
        ASSERT_EQ(encoded(qxxCAPI_ASN1_PublicKeyMethod(), publicKey.get()), numbers.publicDer());
    }
    // The seed gives keys that exercise the short numbers.
    EXPECT_GT(shortNumbers, 0);
}

TEST_F(QxKeys, NumbersThatDoNotFitTheBlobAreRefused) {
    RsaNumbers odd = SeededKeys(3).next(1032); // 129-byte modulus
    const RsaNumbers& good = key();
    const auto with = [&](auto change) {
        RsaNumbers numbers = good;
        change(numbers);
        return numbers.privateDer();
    };
    const Bytes longer = cat({Bytes{1}, Bytes(64, 0)});
    const struct Row {
        const char* what;
        Bytes der;
    } rows[] = {
        {"modulus of an odd number of bytes", odd.privateDer()},
        {"prime one byte too long", with([&](RsaNumbers& n) { n.p = longer; })},
        {"coefficient one byte too long", with([&](RsaNumbers& n) { n.qinv = longer; })},
        {"private exponent longer than the modulus", with([&](RsaNumbers& n) {
             n.d = cat({Bytes{1}, Bytes(128, 0)});
         })},
        {"public exponent 0", with([&](RsaNumbers& n) { n.e = {}; })},
        {"public exponent of five bytes", with([&](RsaNumbers& n) { n.e = hex("0100000001"); })},
        {"modulus 0", with([&](RsaNumbers& n) { n.n = {}; })},
        {"a negative number",
         [&] {
             Bytes content = tlv(0x02, {0xFF});
             for (const Bytes* number :
                  {&good.n, &good.e, &good.d, &good.p, &good.q, &good.dp, &good.dq, &good.qinv}) {
                 const Bytes element = derInteger(*number);
                 content.insert(content.end(), element.begin(), element.end());
             }
             return tlv(0x30, content);
         }()},
        {"eight numbers",
         sequenceOfIntegers({{}, good.n, good.e, good.d, good.p, good.q, good.dp, good.dq})},
        {"ten numbers",
         sequenceOfIntegers(
             {{}, good.n, good.e, good.d, good.p, good.q, good.dp, good.dq, good.qinv, {1}})},
        {"a byte after the sequence", cat({good.privateDer(), Bytes{0}})},
        {"a SET, not a SEQUENCE",
         [&] {
             Bytes der = good.privateDer();
             der[0] = 0x31;
             return der;
         }()},
    };
    for (const Row& row : rows) {
        Handle handle;
        EXPECT_EQ(decodePrivate(row.der, handle), kQxBadKey) << row.what;
    }
    // A public key of an odd number of bytes fits its blob.
    Handle oddPublic;
    ASSERT_EQ(decodePublic(odd.publicDer(), oddPublic), kQxOk);
    EXPECT_EQ(QxXCAPI_KeySize(oddPublic.get()), 129);
    EXPECT_EQ(encoded(qxxCAPI_ASN1_PublicKeyMethod(), oddPublic.get()), odd.publicDer());
}

TEST_F(QxKeys, PublicKeysThatCannotBeReadAreRefused) {
    const RsaNumbers& good = key();
    const auto spki = [](const Bytes& algorithm, const Bytes& bits) {
        return tlv(0x30, cat({algorithm, tlv(0x03, bits)}));
    };
    const Bytes ecAlgorithm =
        tlv(0x30, cat({tlv(0x06, hex("2a8648ce3d0201")), tlv(0x06, hex("2a8648ce3d030107"))}));
    const struct Row {
        const char* what;
        Bytes der;
    } rows[] = {
        {"exponent 0", spki(kRsaAlgorithm, cat({Bytes{0}, sequenceOfIntegers({good.n, {}})}))},
        {"exponent of five bytes",
         spki(kRsaAlgorithm, cat({Bytes{0}, sequenceOfIntegers({good.n, hex("0100000001")})}))},
        {"modulus 0", spki(kRsaAlgorithm, cat({Bytes{0}, sequenceOfIntegers({{}, good.e})}))},
        {"another algorithm", spki(ecAlgorithm, cat({Bytes{0}, good.rsaPublicKey()}))},
        {"unused bits", spki(kRsaAlgorithm, cat({Bytes{1}, good.rsaPublicKey()}))},
        {"three numbers",
         spki(kRsaAlgorithm, cat({Bytes{0}, sequenceOfIntegers({good.n, good.e, {1}})}))},
        {"a PKCS #1 public key without its wrapping", good.rsaPublicKey()},
        {"a private key", good.privateDer()},
    };
    for (const Row& row : rows) {
        Handle handle;
        EXPECT_EQ(decodePublic(row.der, handle), kQxBadKey) << row.what;
    }
}

TEST_F(QxKeys, DecodersWithoutProviderOrImportMakeNoKey) {
    const Bytes der = key().privateDer();
    // Every acquisition of every provider and key set fails.
    for (int i = 0; i < 32; ++i) {
        capi::testing::failNextCall("CryptAcquireContextW", capi::NTE_FAIL);
    }
    Handle handle;
    EXPECT_EQ(decodePrivate(der, handle), kQxBadKey);
    capi::testing::clearFailures();
    capi::testing::failNextCall("CryptImportKey", capi::NTE_BAD_DATA);
    EXPECT_EQ(decodePrivate(der, handle), kQxBadKey);
    EXPECT_NE(logText().find("CryptImportKey:80090005"), std::string::npos);
    capi::testing::failNextCall("CryptDecodeObject", capi::CRYPT_E_ASN1_CORRUPT);
    EXPECT_EQ(decodePublic(key().publicDer(), handle), kQxBadKey);
    EXPECT_EQ(decodePrivate(der, handle), kQxOk);
}

TEST_F(QxKeys, ReleasingAKeyDestroysItAndReleasesItsProviderUnlessBorrowed) {
    Handle handle;
    ASSERT_EQ(decodePrivate(key().privateDer(), handle), kQxOk);
    const auto* object = static_cast<const QxCAPIKey*>(handle->object);
    const capi::HCRYPTKEY key = object->key;
    const capi::HCRYPTPROV provider = object->provider;
    handle.reset();
    std::uint8_t value[4];
    capi::Dword length = sizeof value;
    EXPECT_FALSE(capi::CryptGetKeyParam(key, capi::KP_KEYLEN, value, &length, 0));
    EXPECT_FALSE(capi::CryptGenRandom(provider, sizeof value, value));

    ASSERT_EQ(decodePrivate(QxKeys::key().privateDer(), handle), kQxOk);
    auto* borrowed = static_cast<QxCAPIKey*>(handle->object);
    borrowed->borrowed = 1;
    const capi::HCRYPTKEY kept = borrowed->key;
    const capi::HCRYPTPROV keptProvider = borrowed->provider;
    handle.reset();
    EXPECT_TRUE(capi::CryptGetKeyParam(kept, capi::KP_KEYLEN, value, &length, 0));
    EXPECT_TRUE(capi::CryptDestroyKey(kept));
    EXPECT_TRUE(capi::CryptReleaseContext(keptProvider, 0));
}

// ---- Certificates ----------------------------------------------------------

TEST_F(QxAsn1, CertificatesUnderEitherArmourName) {
    const Bytes pem = readFile(kSourceDir / "certs/root-rsa.pem");
    ASSERT_FALSE(pem.empty());
    const Bytes der = unarmour(pem);
    const QxCAPIASN1Method* row = qxxCAPI_ASN1_CertificateMethod();
    for (const char* name : {"CERTIFICATE", "X509 CERTIFICATE"}) {
        Handle handle;
        ASSERT_EQ(decodeWith(row, armour(der, name), kQxAsn1InputText, handle), kQxOk) << name;
        EXPECT_EQ(handle->type, kQxHandleCertificate);
        const auto* context = static_cast<const capi::CERT_CONTEXT*>(handle->object);
        EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
                  der);
        EXPECT_EQ(encodeWith(row, handle.get(), 0, 0), der);
        EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 1), pem) << "the file as it was";
    }
    // Another armour is read as Base64 and fails there.
    Handle handle;
    EXPECT_EQ(decodeWith(row, armour(der, "PUBLIC KEY"), kQxAsn1InputText, handle), kQxBadBase64);
    EXPECT_EQ(decodeWith(row, der, 0, handle), kQxOk);
    Bytes broken = der;
    broken.pop_back();
    EXPECT_EQ(decodeWith(row, broken, 0, handle), kQxBadCertificate);
    EXPECT_EQ(decodeWith(row, asymtest::RsaNumbers{}.publicDer(), 0, handle), kQxBadCertificate);
}

// ---- PKCS #7 ----------------------------------------------------------------

TEST_F(QxAsn1, Pkcs7MessagesKeepTheirDer) {
    const Bytes pem = readFile(packageFile("pkcs7/isrg.pem"));
    ASSERT_FALSE(pem.empty()) << "python3-cryptography-vectors is installed by scripts/setup.sh";
    const Bytes der = unarmour(pem);
    const QxCAPIASN1Method* row = qxxCAPI_ASN1_PKCS7Method();
    Handle handle;
    ASSERT_EQ(decodeWith(row, pem, kQxAsn1InputText, handle), kQxOk);
    EXPECT_EQ(handle->type, kQxHandlePkcs7);
    const auto* kept = reinterpret_cast<const QxBlob*>(handle->extra);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(Bytes(kept->pbData, kept->pbData + kept->cbData), der);
    EXPECT_EQ(encodeWith(row, handle.get(), 0, 0), der);
    EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 1), armour(der, "PKCS7"));
    EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 0), armour(der, nullptr));

    // A caller's buffer one byte short learns the size it needs.
    Bytes buffer(der.size(), 0xEE);
    QxBlob out{static_cast<std::uint32_t>(der.size() - 1), buffer.data()};
    EXPECT_EQ(qxxCAPI_ASN1_EncodePKCS7(handle.get(), &out, 0, nullptr), kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, der.size());
    EXPECT_EQ(buffer, Bytes(der.size(), 0xEE));
    out.cbData = static_cast<std::uint32_t>(der.size());
    EXPECT_EQ(qxxCAPI_ASN1_EncodePKCS7(handle.get(), &out, 0, nullptr), kQxOk);
    EXPECT_EQ(buffer, der);

    const Bytes binary = readFile(packageFile("pkcs7/amazon-roots.der"));
    ASSERT_FALSE(binary.empty());
    EXPECT_EQ(decodeWith(row, binary, 0, handle), kQxOk);
    EXPECT_EQ(encodeWith(row, handle.get(), 0, 0), binary);
    Bytes cut = binary;
    cut.resize(cut.size() / 2);
    EXPECT_EQ(decodeWith(row, cut, 0, handle), kQxBadPkcs7);
    EXPECT_EQ(decodeWith(row, armour(binary, "CERTIFICATE"), kQxAsn1InputText, handle),
              kQxBadBase64);
}

TEST_F(QxAsn1, Pkcs7DerIsAskedOfTheMessageOnceWhenNotKept) {
    const Bytes binary = readFile(packageFile("pkcs7/amazon-roots.der"));
    ASSERT_FALSE(binary.empty());
    Handle handle;
    ASSERT_EQ(decodeWith(qxxCAPI_ASN1_PKCS7Method(), binary, 0, handle), kQxOk);
    // Forget the copy the decoder kept: the encoder asks the message.
    auto* kept = reinterpret_cast<QxBlob*>(handle->extra);
    qxxCAPIFreeData(kept);
    EXPECT_EQ(encodeWith(qxxCAPI_ASN1_PKCS7Method(), handle.get(), 0, 0), binary);
    ASSERT_NE(kept->pbData, nullptr);
    // Kept from now on: a failing message is not asked again.
    capi::testing::failNextCall("CryptMsgGetParam", capi::NTE_FAIL);
    EXPECT_EQ(encodeWith(qxxCAPI_ASN1_PKCS7Method(), handle.get(), 0, 0), binary);
    capi::testing::clearFailures();

    qxxCAPIFreeData(kept);
    capi::testing::failNextCall("CryptMsgGetParam", capi::NTE_FAIL);
    QxBlob out{0, nullptr};
    EXPECT_EQ(qxxCAPI_ASN1_EncodePKCS7(handle.get(), &out, 0, nullptr), kQxFailed);
    EXPECT_EQ(out.pbData, nullptr);
}

// ---- Signer information ------------------------------------------------------

Bytes signerInfoDer() {
    const Bytes issuer =
        tlv(0x30, tlv(0x31, tlv(0x30, cat({tlv(0x06, hex("550403")), tlv(0x13, {'Q', 'x'})}))));
    const Bytes sha1 = tlv(0x30, cat({tlv(0x06, hex("2b0e03021a")), hex("0500")}));
    const Bytes attribute = tlv(0x30, cat({tlv(0x06, hex("2a864886f70d010903")),
                                           tlv(0x31, tlv(0x06, hex("2a864886f70d010701")))}));
    return tlv(0x30, cat({tlv(0x02, {1}), tlv(0x30, cat({issuer, tlv(0x02, {0x42})})), sha1,
                          tlv(0xA0, attribute), kRsaAlgorithm, tlv(0x04, Bytes(64, 0x5A))}));
}

TEST_F(QxAsn1, SignerInformationTravelsAsPlainBase64) {
    const Bytes der = signerInfoDer();
    const QxCAPIASN1Method* row = qxxCAPI_ASN1_SignerInfoMethod();
    Handle handle;
    ASSERT_EQ(decodeWith(row, der, 0, handle), kQxOk);
    EXPECT_EQ(handle->type, kQxHandleSignerInfo);
    const auto* info = static_cast<const capi::CMSG_SIGNER_INFO*>(handle->object);
    EXPECT_EQ(info->dwVersion, 1u);
    EXPECT_STREQ(info->HashAlgorithm.pszObjId, "1.3.14.3.2.26");
    EXPECT_EQ(info->AuthAttrs.cAttr, 1u);
    EXPECT_EQ(encodeWith(row, handle.get(), 0, 0), der);
    // No armour name: the switch changes nothing.
    EXPECT_EQ(encodeWith(row, handle.get(), kQxAsn1Text, 1), armour(der, nullptr));
    Handle again;
    EXPECT_EQ(decodeWith(row, armour(der, nullptr), kQxAsn1InputText, again), kQxOk);
    EXPECT_EQ(decodeWith(row, armour(der, "PKCS7"), kQxAsn1InputText, again), kQxBadBase64);
    Bytes broken = der;
    broken[2] = 0x03;
    EXPECT_EQ(decodeWith(row, broken, 0, again), kQxBadArmour);
}

// ---- Handles without a row -----------------------------------------------------

TEST_F(QxAsn1, StoreListHandleClosesEveryStore) {
    std::vector<capi::HCERTSTORE> stores;
    for (int i = 0; i < 3; ++i) {
        stores.push_back(capi::CertOpenStore(capi::CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        ASSERT_NE(stores.back(), 0u);
    }
    void* list = qxxCAPIMalloc(qxxCAPIStoreListBytes(3));
    *static_cast<std::uint32_t*>(list) = 3;
    std::copy(stores.begin(), stores.end(), qxxCAPIStoreListStores(list));
    QxCAPIHandle* handle = nullptr;
    ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleStoreList, list, nullptr, 0), kQxOk);
    qxxCAPIFreeHandle(handle);
    for (const capi::HCERTSTORE store : stores) {
        EXPECT_FALSE(capi::CertCloseStore(store, 0)) << "already closed";
    }
}

} // namespace
