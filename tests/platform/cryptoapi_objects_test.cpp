// The certificate and message calls of the provider stand-in: public key
// information and signer information decoded and encoded, certificates and
// PKCS #7 messages kept behind their outer structure, memory stores.

#include "platform/cryptoapi/CryptoApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace capi;
using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
    } else {
        out.insert(out.end(),
                   {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes fill(std::size_t length, std::uint8_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + 13 * i);
    }
    return out;
}

const Bytes kRsaOid = tlv(0x06, hex("2a864886f70d010101"));
const Bytes kNull = hex("0500");

// SubjectPublicKeyInfo of rsaEncryption around an RSAPublicKey.
Bytes publicKeyInfo(const Bytes& rsaPublicKey) {
    return tlv(0x30,
               cat({tlv(0x30, cat({kRsaOid, kNull})), tlv(0x03, cat({Bytes{0}, rsaPublicKey}))}));
}

const Bytes kRsaPublicKey =
    tlv(0x30, cat({tlv(0x02, cat({Bytes{0x00, 0xC1}, fill(63, 1)})), tlv(0x02, hex("010001"))}));

bool within(const void* pointer, const void* start, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(pointer);
    const auto* s = static_cast<const std::uint8_t*>(start);
    return p >= s && p < s + size;
}

bool within(const void* pointer, const Bytes& buffer) {
    return within(pointer, buffer.data(), buffer.size());
}

Bytes bytesOf(const CRYPT_DATA_BLOB& blob) {
    return Bytes(blob.pbData, blob.pbData + blob.cbData);
}

// Decodes into a buffer of exactly the size asked for, aligned for the
// structure.
std::vector<std::uint64_t> decode(Dword type, const Bytes& der, Dword flags, Dword* size) {
    Dword length = 0;
    EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, der.data(),
                                static_cast<Dword>(der.size()), flags, nullptr, &length),
              kTrue)
        << std::hex << GetLastError();
    std::vector<std::uint64_t> buffer((length + 7) / 8 + 1);
    *size = length;
    EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, der.data(),
                                static_cast<Dword>(der.size()), flags, buffer.data(), &length),
              kTrue);
    EXPECT_EQ(length, *size);
    return buffer;
}

Bytes encode(Dword type, const void* info) {
    Dword length = 0;
    EXPECT_EQ(
        CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, info, nullptr, &length),
        kTrue)
        << std::hex << GetLastError();
    Bytes der(length);
    EXPECT_EQ(
        CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, info, der.data(), &length),
        kTrue);
    return der;
}

// ---- Public key information ------------------------------------------------

TEST(EncodedObjects, PublicKeyInfoDecodesIntoOneBufferAndEncodesBack) {
    const Bytes der = publicKeyInfo(kRsaPublicKey);
    Dword size = 0;
    auto buffer = decode(X509_PUBLIC_KEY_INFO, der, 0, &size);
    const auto& info = *reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(buffer.data());
    EXPECT_STREQ(info.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(bytesOf(info.Algorithm.Parameters), kNull);
    EXPECT_EQ(bytesOf({info.PublicKey.cbData, info.PublicKey.pbData}), kRsaPublicKey);
    EXPECT_EQ(info.PublicKey.cUnusedBits, 0u);
    for (const void* p : {static_cast<const void*>(info.Algorithm.pszObjId),
                          static_cast<const void*>(info.Algorithm.Parameters.pbData),
                          static_cast<const void*>(info.PublicKey.pbData)}) {
        EXPECT_TRUE(within(p, buffer.data(), size)) << "everything lies in the caller's buffer";
    }
    EXPECT_EQ(encode(X509_PUBLIC_KEY_INFO, &info), der);

    // Without copying, the byte strings are the input's own.
    Dword sharedSize = 0;
    auto nocopy = decode(X509_PUBLIC_KEY_INFO, der, CRYPT_DECODE_NOCOPY_FLAG, &sharedSize);
    EXPECT_LT(sharedSize, size);
    const auto& shared = *reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(nocopy.data());
    EXPECT_TRUE(within(shared.PublicKey.pbData, der));
    EXPECT_TRUE(within(shared.Algorithm.Parameters.pbData, der));
    EXPECT_EQ(bytesOf({shared.PublicKey.cbData, shared.PublicKey.pbData}), kRsaPublicKey);
    EXPECT_EQ(encode(X509_PUBLIC_KEY_INFO, &shared), der);

    // A short buffer receives nothing and learns the size.
    Bytes shortBuffer(size, 0xEE);
    Dword length = size - 1;
    EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(),
                                static_cast<Dword>(der.size()), 0, shortBuffer.data(), &length),
              kFalse);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, size);
    EXPECT_EQ(shortBuffer, Bytes(size, 0xEE));
}

TEST(EncodedObjects, ObjectIdentifiersRoundTrip) {
    const char* const texts[] = {
        "0.0", "1.39", "2.5.4.3", "2.999.3", "1.2.840.113549.1.9.4", "1.2.18446744073709551615"};
    for (const char* text : texts) {
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = const_cast<char*>(text);
        std::uint8_t key[] = {1, 2};
        info.PublicKey = {2, key, 0};
        const Bytes der = encode(X509_PUBLIC_KEY_INFO, &info);
        Dword size = 0;
        auto buffer = decode(X509_PUBLIC_KEY_INFO, der, 0, &size);
        EXPECT_STREQ(
            reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(buffer.data())->Algorithm.pszObjId, text);
    }
    EXPECT_EQ(encode(X509_PUBLIC_KEY_INFO,
                     [] {
                         static CERT_PUBLIC_KEY_INFO info{};
                         info.Algorithm.pszObjId = const_cast<char*>("2.5.4.3");
                         return &info;
                     }()),
              tlv(0x30, cat({tlv(0x30, hex("0603550403")), hex("030100")})));
}

TEST(EncodedObjects, MalformedPublicKeyInfoIsRefused) {
    const Bytes good = publicKeyInfo(kRsaPublicKey);
    const auto cut = [&](std::size_t size) { return Bytes(good.begin(), good.begin() + size); };
    Bytes trailing = good;
    trailing.push_back(0);
    const Bytes algorithm = tlv(0x30, cat({kRsaOid, kNull}));
    const Bytes bits = tlv(0x03, Bytes{0, 1});
    const struct Row {
        const char* what;
        Bytes der;
        Dword error;
    } rows[] = {
        {"empty", {}, CRYPT_E_ASN1_EOD},
        {"one byte short", cut(good.size() - 1), CRYPT_E_ASN1_EOD},
        {"header only", cut(3), CRYPT_E_ASN1_EOD},
        {"a byte after it", trailing, CRYPT_E_ASN1_CORRUPT},
        {"indefinite length", cat({Bytes{0x30, 0x80}, algorithm, bits, Bytes{0, 0}}),
         CRYPT_E_ASN1_CORRUPT},
        {"five length bytes", cat({Bytes{0x30, 0x85, 0, 0, 0, 0, 0x0D}, algorithm, bits}),
         CRYPT_E_ASN1_LARGE},
        {"length past the end", Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x30}, CRYPT_E_ASN1_EOD},
        {"high tag number", cat({Bytes{0x3F, 0x81, 0x01, 0x00}}), CRYPT_E_ASN1_BADTAG},
        {"a SET outside", tlv(0x31, cat({algorithm, bits})), CRYPT_E_ASN1_BADTAG},
        {"no bit string", tlv(0x30, algorithm), CRYPT_E_ASN1_EOD},
        {"octet string for the key", tlv(0x30, cat({algorithm, tlv(0x04, Bytes{0, 1})})),
         CRYPT_E_ASN1_BADTAG},
        {"eight unused bits", tlv(0x30, cat({algorithm, tlv(0x03, Bytes{8, 1})})),
         CRYPT_E_ASN1_CORRUPT},
        {"unused bits of nothing", tlv(0x30, cat({algorithm, tlv(0x03, Bytes{1})})),
         CRYPT_E_ASN1_CORRUPT},
        {"empty bit string", tlv(0x30, cat({algorithm, tlv(0x03, {})})), CRYPT_E_ASN1_CORRUPT},
        {"padded identifier arc",
         tlv(0x30, cat({tlv(0x30, tlv(0x06, hex("2a80864886f70d010101"))), bits})),
         CRYPT_E_ASN1_CORRUPT},
        {"unfinished identifier", tlv(0x30, cat({tlv(0x30, tlv(0x06, hex("2a86"))), bits})),
         CRYPT_E_ASN1_CORRUPT},
        {"arc past 64 bits",
         tlv(0x30, cat({tlv(0x30, tlv(0x06, hex("2a82808080808080808000"))), bits})),
         CRYPT_E_ASN1_CORRUPT},
        {"two parameters", tlv(0x30, cat({tlv(0x30, cat({kRsaOid, kNull, kNull})), bits})),
         CRYPT_E_ASN1_CORRUPT},
    };
    for (const Row& row : rows) {
        Dword length = 0;
        SetLastError(0);
        EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, row.der.data(),
                                    static_cast<Dword>(row.der.size()), 0, nullptr, &length),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
    }
    Dword length = 0;
    EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING, 9, good.data(), static_cast<Dword>(good.size()),
                                0, nullptr, &length),
              kFalse);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CryptDecodeObject(0, X509_PUBLIC_KEY_INFO, good.data(),
                                static_cast<Dword>(good.size()), 0, nullptr, &length),
              kFalse);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    EXPECT_EQ(CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, good.data(),
                                static_cast<Dword>(good.size()), 0x2, nullptr, &length),
              kFalse);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(EncodedObjects, FieldsThatCannotBeWrittenAreRefused) {
    std::uint8_t key[] = {1, 2, 3};
    std::uint8_t twoElements[] = {0x05, 0x00, 0x05, 0x00};
    const struct Row {
        const char* what;
        const char* oid;
        CRYPT_OBJID_BLOB parameters;
        CRYPT_BIT_BLOB bits;
    } rows[] = {
        {"no identifier", nullptr, {}, {3, key, 0}},
        {"a letter", "1.2.x", {}, {3, key, 0}},
        {"one arc", "1", {}, {3, key, 0}},
        {"first arc 3", "3.1", {}, {3, key, 0}},
        {"second arc 40 under 1", "1.40", {}, {3, key, 0}},
        {"empty arc", "1..2", {}, {3, key, 0}},
        {"two elements as parameters", "1.2", {4, twoElements}, {3, key, 0}},
        {"a cut element as parameters", "1.2", {1, twoElements}, {3, key, 0}},
        {"eight unused bits", "1.2", {}, {3, key, 8}},
        {"bytes without data", "1.2", {}, {3, nullptr, 0}},
    };
    for (const Row& row : rows) {
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = const_cast<char*>(row.oid);
        info.Algorithm.Parameters = row.parameters;
        info.PublicKey = row.bits;
        Dword length = 0;
        SetLastError(0);
        EXPECT_EQ(
            CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &info, nullptr, &length),
            kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE) << row.what;
    }
    CERT_PUBLIC_KEY_INFO info{};
    Dword length = 0;
    EXPECT_EQ(CryptEncodeObject(X509_ASN_ENCODING, 7, &info, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- Signer information ----------------------------------------------------

const Bytes kIssuer =
    tlv(0x30, tlv(0x31, tlv(0x30, cat({tlv(0x06, hex("550403")), tlv(0x13, Bytes{'Q', 'x'})}))));
const Bytes kSha256 = tlv(0x30, cat({tlv(0x06, hex("608648016503040201")), kNull}));
const Bytes kContentType = tlv(0x30, cat({tlv(0x06, hex("2a864886f70d010903")),
                                          tlv(0x31, tlv(0x06, hex("2a864886f70d010701")))}));
const Bytes kMessageDigest =
    tlv(0x30, cat({tlv(0x06, hex("2a864886f70d010904")), tlv(0x31, tlv(0x04, fill(32, 9)))}));
const Bytes kTwoValues =
    tlv(0x30, cat({tlv(0x06, hex("2a0304")), tlv(0x31, cat({tlv(0x02, {5}), tlv(0x02, {6})}))}));

Bytes signerInfo(bool withAttributes) {
    return tlv(0x30, cat({tlv(0x02, {1}), tlv(0x30, cat({kIssuer, tlv(0x02, {0x00, 0x8F, 0x01})})),
                          kSha256,
                          withAttributes ? tlv(0xA0, cat({kContentType, kMessageDigest})) : Bytes{},
                          tlv(0x30, cat({kRsaOid, kNull})), tlv(0x04, fill(64, 3)),
                          withAttributes ? tlv(0xA1, kTwoValues) : Bytes{}}));
}

TEST(EncodedObjects, SignerInfoDecodesAndEncodesBack) {
    const Bytes der = signerInfo(true);
    Dword size = 0;
    auto buffer = decode(PKCS7_SIGNER_INFO, der, 0, &size);
    const auto& info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    EXPECT_EQ(info.dwVersion, 1u);
    EXPECT_EQ(bytesOf(info.Issuer), kIssuer);
    EXPECT_EQ(bytesOf(info.SerialNumber), (Bytes{0x01, 0x8F, 0x00})) << "little-endian";
    EXPECT_STREQ(info.HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");
    EXPECT_STREQ(info.HashEncryptionAlgorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(bytesOf(info.EncryptedHash), fill(64, 3));
    ASSERT_EQ(info.AuthAttrs.cAttr, 2u);
    EXPECT_STREQ(info.AuthAttrs.rgAttr[0].pszObjId, "1.2.840.113549.1.9.3");
    ASSERT_EQ(info.AuthAttrs.rgAttr[1].cValue, 1u);
    EXPECT_EQ(bytesOf(info.AuthAttrs.rgAttr[1].rgValue[0]), tlv(0x04, fill(32, 9)));
    ASSERT_EQ(info.UnauthAttrs.cAttr, 1u);
    ASSERT_EQ(info.UnauthAttrs.rgAttr[0].cValue, 2u);
    EXPECT_EQ(bytesOf(info.UnauthAttrs.rgAttr[0].rgValue[1]), tlv(0x02, {6}));
    EXPECT_EQ(encode(PKCS7_SIGNER_INFO, &info), der);

    // Without attributes; the serial number is copied even when nothing else
    // is, since its order changes.
    const Bytes plain = signerInfo(false);
    auto nocopy = decode(PKCS7_SIGNER_INFO, plain, CRYPT_DECODE_NOCOPY_FLAG, &size);
    const auto& shared = *reinterpret_cast<const CMSG_SIGNER_INFO*>(nocopy.data());
    EXPECT_EQ(shared.AuthAttrs.cAttr, 0u);
    EXPECT_EQ(shared.UnauthAttrs.cAttr, 0u);
    EXPECT_TRUE(within(shared.EncryptedHash.pbData, plain));
    EXPECT_FALSE(within(shared.SerialNumber.pbData, plain));
    EXPECT_EQ(bytesOf(shared.SerialNumber), (Bytes{0x01, 0x8F, 0x00}));
    EXPECT_EQ(encode(PKCS7_SIGNER_INFO, &shared), plain);
}

TEST(EncodedObjects, MalformedSignerInfoIsRefused) {
    const Bytes pair = tlv(0x30, cat({kIssuer, tlv(0x02, {7})}));
    const Bytes rsa = tlv(0x30, cat({kRsaOid, kNull}));
    const Bytes hash = tlv(0x04, fill(8, 1));
    const struct Row {
        const char* what;
        Bytes der;
        Dword error;
    } rows[] = {
        {"negative version", tlv(0x30, cat({tlv(0x02, {0x80}), pair, kSha256, rsa, hash})),
         CRYPT_E_ASN1_CORRUPT},
        {"version over 32 bits",
         tlv(0x30, cat({tlv(0x02, {1, 0, 0, 0, 0}), pair, kSha256, rsa, hash})),
         CRYPT_E_ASN1_LARGE},
        {"subject key identifier instead of issuer and serial",
         tlv(0x30, cat({tlv(0x02, {3}), tlv(0x80, fill(20, 1)), kSha256, rsa, hash})),
         CRYPT_E_ASN1_BADTAG},
        {"empty serial",
         tlv(0x30,
             cat({tlv(0x02, {1}), tlv(0x30, cat({kIssuer, tlv(0x02, {})})), kSha256, rsa, hash})),
         CRYPT_E_ASN1_CORRUPT},
        {"no encrypted digest", tlv(0x30, cat({tlv(0x02, {1}), pair, kSha256, rsa})),
         CRYPT_E_ASN1_EOD},
        {"attribute without values",
         tlv(0x30, cat({tlv(0x02, {1}), pair, kSha256, tlv(0xA0, tlv(0x30, tlv(0x06, hex("2a03")))),
                        rsa, hash})),
         CRYPT_E_ASN1_EOD},
        {"something after the unauthenticated attributes",
         tlv(0x30, cat({tlv(0x02, {1}), pair, kSha256, rsa, hash, tlv(0xA1, kTwoValues), kNull})),
         CRYPT_E_ASN1_CORRUPT},
    };
    for (const Row& row : rows) {
        Dword length = 0;
        SetLastError(0);
        EXPECT_EQ(CryptDecodeObject(PKCS_7_ASN_ENCODING, PKCS7_SIGNER_INFO, row.der.data(),
                                    static_cast<Dword>(row.der.size()), 0, nullptr, &length),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
    }
}

// ---- Certificates, stores, messages ----------------------------------------

const Bytes kCertificate =
    tlv(0x30, cat({tlv(0x30, tlv(0x02, {1})), tlv(0x30, cat({kRsaOid, kNull})),
                   tlv(0x03, Bytes{0, 0xAA, 0xBB})}));

TEST(Certificates, ContextKeepsACopyOfTheDer) {
    Bytes input = kCertificate;
    const CERT_CONTEXT* context = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, input.data(), static_cast<Dword>(input.size()));
    ASSERT_NE(context, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(context->dwCertEncodingType, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    std::fill(input.begin(), input.end(), 0);
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
              kCertificate);
    EXPECT_EQ(context->pCertInfo, nullptr);
    EXPECT_EQ(CertFreeCertificateContext(context), kTrue);
    EXPECT_EQ(CertFreeCertificateContext(context), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CertFreeCertificateContext(nullptr), kTrue);
}

TEST(Certificates, OnlyTheOuterStructureIsChecked) {
    Bytes trailing = kCertificate;
    trailing.push_back(0);
    const struct Row {
        const char* what;
        Bytes der;
        Dword error;
    } rows[] = {
        {"no signature", tlv(0x30, cat({tlv(0x30, {}), tlv(0x30, {})})), CRYPT_E_ASN1_EOD},
        {"octet string signature", tlv(0x30, cat({tlv(0x30, {}), tlv(0x30, {}), tlv(0x04, {0})})),
         CRYPT_E_ASN1_BADTAG},
        {"a fourth part", tlv(0x30, cat({tlv(0x30, {}), tlv(0x30, {}), tlv(0x03, {0}), kNull})),
         CRYPT_E_ASN1_CORRUPT},
        {"a byte after it", trailing, CRYPT_E_ASN1_CORRUPT},
        {"a key, not a certificate", publicKeyInfo(kRsaPublicKey), CRYPT_E_ASN1_BADTAG},
    };
    for (const Row& row : rows) {
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, row.der.data(),
                                               static_cast<Dword>(row.der.size())),
                  nullptr)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
    }
    // The inner parts are not looked at.
    const Bytes hollow = tlv(0x30, cat({tlv(0x30, {}), tlv(0x30, {}), tlv(0x03, {0})}));
    const CERT_CONTEXT* context =
        CertCreateCertificateContext(X509_ASN_ENCODING, hollow.data(), hollow.size());
    ASSERT_NE(context, nullptr);
    CertFreeCertificateContext(context);
    EXPECT_EQ(
        CertCreateCertificateContext(PKCS_7_ASN_ENCODING, kCertificate.data(), kCertificate.size()),
        nullptr);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(Certificates, MemoryStoresOpenAndClose) {
    const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(store, 0u);
    EXPECT_EQ(CertCloseStore(store, 0), kTrue);
    EXPECT_EQ(CertCloseStore(store, 0), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CertOpenStore(10, 0, 0, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

const Bytes kContentInfo =
    tlv(0x30, cat({tlv(0x06, hex("2a864886f70d010702")), tlv(0xA0, tlv(0x30, fill(40, 2)))}));

TEST(Messages, DerArrivesInPiecesAndComesBackWhole) {
    const HCRYPTMSG message =
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(message, 0u);
    Dword length = 0;
    EXPECT_EQ(CryptMsgGetParam(message, CMSG_ENCODED_MESSAGE, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR) << "not finished";
    ASSERT_EQ(CryptMsgUpdate(message, kContentInfo.data(), 10, kFalse), kTrue);
    ASSERT_EQ(CryptMsgUpdate(message, kContentInfo.data() + 10,
                             static_cast<Dword>(kContentInfo.size() - 10), kTrue),
              kTrue);
    ASSERT_EQ(CryptMsgGetParam(message, CMSG_ENCODED_MESSAGE, 0, nullptr, &length), kTrue);
    EXPECT_EQ(length, kContentInfo.size());
    Bytes der(length - 1);
    --length;
    EXPECT_EQ(CryptMsgGetParam(message, CMSG_ENCODED_MESSAGE, 0, der.data(), &length), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    der.resize(length);
    ASSERT_EQ(CryptMsgGetParam(message, CMSG_ENCODED_MESSAGE, 0, der.data(), &length), kTrue);
    EXPECT_EQ(der, kContentInfo);
    EXPECT_EQ(CryptMsgGetParam(message, 1, 0, der.data(), &length), kFalse);
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
    EXPECT_EQ(CryptMsgUpdate(message, kContentInfo.data(), 1, kTrue), kFalse);
    EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
    EXPECT_EQ(CryptMsgClose(message), kTrue);
    EXPECT_EQ(CryptMsgClose(message), kFalse);
    EXPECT_EQ(CryptMsgClose(0), kTrue);
}

TEST(Messages, ContentInfoIsChecked) {
    const Bytes oid = tlv(0x06, hex("2a864886f70d010702"));
    const struct Row {
        const char* what;
        Bytes der;
        Dword error;
    } rows[] = {
        {"no content type", tlv(0x30, tlv(0xA0, {})), CRYPT_E_ASN1_BADTAG},
        {"content not tagged [0]", tlv(0x30, cat({oid, tlv(0x30, {})})), CRYPT_E_ASN1_BADTAG},
        {"a third part", tlv(0x30, cat({oid, tlv(0xA0, {}), kNull})), CRYPT_E_ASN1_CORRUPT},
        {"cut short", Bytes(kContentInfo.begin(), kContentInfo.end() - 1), CRYPT_E_ASN1_EOD},
        {"nothing", {}, CRYPT_E_ASN1_EOD},
    };
    for (const Row& row : rows) {
        const HCRYPTMSG message =
            CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
        SetLastError(0);
        EXPECT_EQ(
            CryptMsgUpdate(message, row.der.data(), static_cast<Dword>(row.der.size()), kTrue),
            kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        CryptMsgClose(message);
    }
    // The content may be absent.
    const HCRYPTMSG message = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    const Bytes bare = tlv(0x30, oid);
    EXPECT_EQ(CryptMsgUpdate(message, bare.data(), bare.size(), kTrue), kTrue);
    CryptMsgClose(message);
    EXPECT_EQ(CryptMsgOpenToDecode(X509_ASN_ENCODING, 0, 0, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(EncodedObjects, NewCallsAnswerTheFailureSeam) {
    const Bytes spki = publicKeyInfo(kRsaPublicKey);
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = const_cast<char*>("1.2");
    const struct Row {
        const char* name;
        std::function<bool()> call;
    } rows[] = {
        {"CryptDecodeObject",
         [&] {
             Dword length = 0;
             return CryptDecodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, spki.data(),
                                      spki.size(), 0, nullptr, &length) == kTrue;
         }},
        {"CryptEncodeObject",
         [&] {
             Dword length = 0;
             return CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &info, nullptr,
                                      &length) == kTrue;
         }},
        {"CertCreateCertificateContext",
         [&] {
             const CERT_CONTEXT* context = CertCreateCertificateContext(
                 X509_ASN_ENCODING, kCertificate.data(), kCertificate.size());
             CertFreeCertificateContext(context);
             return context != nullptr;
         }},
        {"CertOpenStore",
         [&] {
             const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
             return store != 0 && CertCloseStore(store, 0) == kTrue;
         }},
        {"CryptMsgOpenToDecode",
         [&] {
             const HCRYPTMSG message =
                 CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
             return message != 0 && CryptMsgClose(message) == kTrue;
         }},
        {"CryptMsgUpdate",
         [&] {
             const HCRYPTMSG message =
                 CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
             const Bool ok =
                 CryptMsgUpdate(message, kContentInfo.data(), kContentInfo.size(), kTrue);
             CryptMsgClose(message);
             return ok == kTrue;
         }},
    };
    Dword error = 0x80097200;
    for (const Row& row : rows) {
        capi::testing::failNextCall(row.name, ++error);
        SetLastError(0);
        EXPECT_FALSE(row.call()) << row.name;
        EXPECT_EQ(GetLastError(), error) << row.name;
        EXPECT_TRUE(row.call()) << row.name << " " << std::hex << GetLastError();
    }
}

} // namespace
