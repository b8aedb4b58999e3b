#include "service/Key.h"

#include <gtest/gtest.h>

#include <ctime>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <string>

namespace {

struct Cert {
    explicit Cert(const std::string& pem) {
        gnutls_x509_crt_init(&crt);
        gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                         static_cast<unsigned>(pem.size())};
        ok = gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_PEM) == 0;
    }
    ~Cert() { gnutls_x509_crt_deinit(crt); }
    gnutls_x509_crt_t crt{};
    bool ok = false;
};

std::string keyId(gnutls_x509_crt_t crt) {
    unsigned char id[64];
    size_t size = sizeof id;
    gnutls_x509_crt_get_key_id(crt, 0, id, &size);
    return std::string(reinterpret_cast<char*>(id), size);
}

std::string keyId(const SecureBytes& pem) {
    gnutls_x509_privkey_t key;
    gnutls_x509_privkey_init(&key);
    gnutls_datum_t d{const_cast<unsigned char*>(pem.data()), static_cast<unsigned>(pem.size() - 1)};
    std::string out;
    if (gnutls_x509_privkey_import(key, &d, GNUTLS_X509_FMT_PEM) == 0) {
        unsigned char id[64];
        size_t size = sizeof id;
        gnutls_x509_privkey_get_key_id(key, 0, id, &size);
        out.assign(reinterpret_cast<char*>(id), size);
    }
    gnutls_x509_privkey_deinit(key);
    return out;
}

TEST(ServerKeys, ChoiceFollowsTheOsFlags) {
    EXPECT_EQ(chooseServerKeyKind(0), ServerKeyKind::Rsa);
    EXPECT_EQ(chooseServerKeyKind(0x1 | 0x100000), ServerKeyKind::Rsa);
    EXPECT_EQ(chooseServerKeyKind(0x1 | 0x200000), ServerKeyKind::Rsa);
    EXPECT_EQ(chooseServerKeyKind(0x200000), ServerKeyKind::Ecdsa); // unknown version, known CPU
    EXPECT_EQ(chooseServerKeyKind(0x2 | 0x200000), ServerKeyKind::Ecdsa);
    EXPECT_EQ(chooseServerKeyKind(0x4000 | 0x200000), ServerKeyKind::Ecdsa);
    EXPECT_EQ(chooseServerKeyKind(0x100 | 0x100000), ServerKeyKind::Ecdsa);
}

TEST(ServerKeys, EachKeyBelongsToItsCertificateWhichIsValidNow) {
    for (const auto kind : {ServerKeyKind::Rsa, ServerKeyKind::Ecdsa}) {
        SCOPED_TRACE(kind == ServerKeyKind::Rsa ? "RSA" : "ECDSA");
        const auto pem = serverCertificate(kind);
        ASSERT_TRUE(pem.has_value());
        const Cert cert(*pem);
        ASSERT_TRUE(cert.ok);
        const int algorithm = gnutls_x509_crt_get_pk_algorithm(cert.crt, nullptr);
        EXPECT_EQ(algorithm, kind == ServerKeyKind::Rsa ? GNUTLS_PK_RSA : GNUTLS_PK_ECDSA);
        const std::time_t now = std::time(nullptr);
        EXPECT_LE(gnutls_x509_crt_get_activation_time(cert.crt), now);
        EXPECT_GT(gnutls_x509_crt_get_expiration_time(cert.crt), now + 365 * 24 * 3600);
        EXPECT_TRUE(gnutls_x509_crt_check_hostname(cert.crt, "localhost"));
        EXPECT_TRUE(gnutls_x509_crt_check_ip(
            cert.crt, reinterpret_cast<const unsigned char*>("\x7F\x00\x00\x01"), 4, 0));

        const auto key = releaseServerKey(kind);
        ASSERT_TRUE(key.has_value());
        const std::string text(key->begin(), key->end() - 1);
        EXPECT_EQ(key->back(), 0);
        EXPECT_NE(text.find("PRIVATE KEY-----"), std::string::npos);
        EXPECT_EQ(keyId(*key), keyId(cert.crt));
    }
}

TEST(ServerKeys, ProtectedFormRoundTripsAndRefusesDamage) {
    const std::string secret = "a key text\nof two lines\n";
    const std::string hex = protectSecret(secret);
    ASSERT_FALSE(hex.empty());
    EXPECT_EQ(hex.find("key text"), std::string::npos);
    const auto back = releaseSecret(hex);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->begin(), back->end() - 1), secret);

    EXPECT_FALSE(releaseSecret("").has_value());
    EXPECT_FALSE(releaseSecret(hex.substr(0, hex.size() - 2)).has_value()); // not whole blocks
    EXPECT_FALSE(releaseSecret(hex + "0").has_value());
    EXPECT_FALSE(releaseSecret("ZZ" + hex.substr(2)).has_value());
    std::string damaged = hex;
    damaged[damaged.size() - 1] = damaged.back() == '0' ? '1' : '0'; // breaks the padding
    const auto bad = releaseSecret(damaged);
    EXPECT_TRUE(!bad.has_value() || std::string(bad->begin(), bad->end() - 1) != secret);
}

} // namespace
