#pragma once

// Shared pieces of the asymmetric tests: DER written here (independently of
// the library's writer), RSA keys as PKCS #1 and SubjectPublicKeyInfo DER,
// keys made by nettle from a fixed seed, and the published PKCS #1 v1.5
// vectors read from the installed test-vector package.

#include "control/crypto/QxCAPIASN1Method.h"
#include "control/crypto/QxCAPILib.h"
#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/SymTestSupport.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <nettle/knuth-lfib.h>
#include <nettle/rsa.h>
#include <nettle/sha2.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace asymtest {

using symtest::Bytes;
using symtest::Handle;
using symtest::hex;

// ---- DER -------------------------------------------------------------------

inline Bytes tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        std::size_t count = 0;
        for (std::size_t rest = n; rest != 0; rest >>= 8) {
            ++count;
        }
        out.push_back(static_cast<std::uint8_t>(0x80 | count));
        for (std::size_t i = count; i-- > 0;) {
            out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        }
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A non-negative INTEGER in its one DER form.
inline Bytes derInteger(Bytes magnitude) {
    while (!magnitude.empty() && magnitude[0] == 0) {
        magnitude.erase(magnitude.begin());
    }
    if (magnitude.empty() || (magnitude[0] & 0x80) != 0) {
        magnitude.insert(magnitude.begin(), 0);
    }
    return tlv(0x02, magnitude);
}

inline Bytes sequenceOfIntegers(const std::vector<Bytes>& numbers) {
    Bytes content;
    for (const Bytes& number : numbers) {
        const Bytes element = derInteger(number);
        content.insert(content.end(), element.begin(), element.end());
    }
    return tlv(0x30, content);
}

inline const Bytes kRsaAlgorithm =
    tlv(0x30, cat({tlv(0x06, hex("2a864886f70d010101")), Bytes{0x05, 0x00}}));

// ---- RSA keys --------------------------------------------------------------

// Big-endian numbers of a key pair, PKCS #1 order after the version.
struct RsaNumbers {
    Bytes n, e, d, p, q, dp, dq, qinv;

    Bytes privateDer() const { return sequenceOfIntegers({{}, n, e, d, p, q, dp, dq, qinv}); }
    Bytes rsaPublicKey() const { return sequenceOfIntegers({n, e}); }
    Bytes publicDer() const {
        return tlv(0x30, cat({kRsaAlgorithm, tlv(0x03, cat({Bytes{0}, rsaPublicKey()}))}));
    }
    std::size_t modulusBytes() const {
        std::size_t zeros = 0;
        while (zeros < n.size() && n[zeros] == 0) {
            ++zeros;
        }
        return n.size() - zeros;
    }
};

inline Bytes bytesOf(mpz_srcptr value) {
    Bytes out((mpz_sizeinbase(value, 2) + 7) / 8);
    std::size_t count = 0;
    if (mpz_sgn(value) != 0) {
        mpz_export(out.data(), &count, 1, 1, 0, 0, value);
    }
    out.resize(count);
    return out;
}

// nettle's view of a key pair, built from its numbers.
class NettleKey {
public:
    explicit NettleKey(const RsaNumbers& numbers) {
        rsa_public_key_init(&pub_);
        rsa_private_key_init(&priv_);
        const auto set = [](mpz_t out, const Bytes& in) {
            mpz_import(out, in.size(), 1, 1, 0, 0, in.data());
        };
        set(pub_.n, numbers.n);
        set(pub_.e, numbers.e);
        set(priv_.d, numbers.d);
        set(priv_.p, numbers.p);
        set(priv_.q, numbers.q);
        set(priv_.a, numbers.dp);
        set(priv_.b, numbers.dq);
        set(priv_.c, numbers.qinv);
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

    // s^e mod n as big-endian bytes of the modulus length.
    Bytes open(const Bytes& bigEndian) const {
        mpz_t s;
        mpz_init(s);
        mpz_import(s, bigEndian.size(), 1, 1, 0, 0, bigEndian.data());
        mpz_powm(s, s, pub_.e, pub_.n);
        Bytes out(pub_.size, 0);
        const Bytes value = bytesOf(s);
        std::copy(value.begin(), value.end(), out.end() - static_cast<long>(value.size()));
        mpz_clear(s);
        return out;
    }
    // The plaintext of a PKCS #1 v1.5 ciphertext, or nothing.
    std::optional<Bytes> decrypt(const Bytes& bigEndian) const {
        mpz_t c;
        mpz_init(c);
        mpz_import(c, bigEndian.size(), 1, 1, 0, 0, bigEndian.data());
        Bytes out(pub_.size);
        std::size_t length = out.size();
        const int ok = rsa_decrypt(&priv_, &length, out.data(), c);
        mpz_clear(c);
        if (ok == 0) {
            return std::nullopt;
        }
        out.resize(length);
        return out;
    }

private:
    rsa_public_key pub_;
    rsa_private_key priv_;
};

// Key pairs from a fixed seed: the same keys on every run.
class SeededKeys {
public:
    explicit SeededKeys(std::uint32_t seed) { knuth_lfib_init(&random_, seed); }

    RsaNumbers next(unsigned bits) {
        rsa_public_key pub;
        rsa_private_key priv;
        rsa_public_key_init(&pub);
        rsa_private_key_init(&priv);
        mpz_set_ui(pub.e, 65537);
        EXPECT_NE(rsa_generate_keypair(&pub, &priv, &random_,
                                       reinterpret_cast<nettle_random_func*>(&knuth_lfib_random),
                                       nullptr, nullptr, bits, 0),
                  0);
        RsaNumbers numbers{bytesOf(pub.n),  bytesOf(pub.e),  bytesOf(priv.d), bytesOf(priv.p),
                           bytesOf(priv.q), bytesOf(priv.a), bytesOf(priv.b), bytesOf(priv.c)};
        rsa_public_key_clear(&pub);
        rsa_private_key_clear(&priv);
        return numbers;
    }

private:
    knuth_lfib_ctx random_;
};

// ---- Handles of the type table -----------------------------------------------

inline int decodePrivate(const Bytes& der, Handle& out) {
    QxCAPIHandle* raw = nullptr;
    const int rc =
        qxxCAPI_ASN1_DecodePrivateKey(&raw, der.data(), static_cast<std::uint32_t>(der.size()), 0);
    out.reset(raw);
    return rc;
}

inline int decodePublic(const Bytes& der, Handle& out) {
    QxCAPIHandle* raw = nullptr;
    const int rc =
        qxxCAPI_ASN1_DecodePublicKey(&raw, der.data(), static_cast<std::uint32_t>(der.size()), 0);
    out.reset(raw);
    return rc;
}

// The binary encoding of a handle by its row's encoder.
inline Bytes encoded(const QxCAPIASN1Method* row, QxCAPIHandle* handle) {
    QxBlob out{0, nullptr};
    EXPECT_EQ(row->encode(handle, &out, 0, nullptr), kQxOk);
    Bytes der(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return der;
}

// ---- Key methods ---------------------------------------------------------------

// Signs through the handle's own key-method table.
inline int sign(QxCAPIHandle* handle, const Bytes& data, QxCryptFlags flags, Bytes& signature,
                const char* pin = nullptr) {
    const auto* methods = reinterpret_cast<const QxCAPIKeyMethods*>(handle->extra);
    QxBlob out{0, nullptr};
    const int rc = methods->sign(handle, data.data(), static_cast<std::uint32_t>(data.size()), pin,
                                 flags, &out);
    signature.assign(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return rc;
}

inline int verify(QxCAPIHandle* handle, const Bytes& signature, const Bytes& data,
                  QxCryptFlags flags) {
    const auto* methods = reinterpret_cast<const QxCAPIKeyMethods*>(handle->extra);
    return methods->verify(handle, signature.data(), static_cast<std::uint32_t>(signature.size()),
                           data.data(), static_cast<std::uint32_t>(data.size()), flags);
}

inline int encrypt(QxCAPIHandle* handle, const Bytes& data, Bytes& sealed) {
    const auto* methods = reinterpret_cast<const QxCAPIKeyMethods*>(handle->extra);
    QxBlob out{0, nullptr};
    const int rc =
        methods->encrypt(handle, data.data(), static_cast<std::uint32_t>(data.size()), 0, &out);
    sealed.assign(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return rc;
}

inline int decrypt(QxCAPIHandle* handle, const Bytes& data, Bytes& plain) {
    const auto* methods = reinterpret_cast<const QxCAPIKeyMethods*>(handle->extra);
    QxBlob out{0, nullptr};
    const int rc =
        methods->decrypt(handle, data.data(), static_cast<std::uint32_t>(data.size()), 0, &out);
    if (rc == kQxOk) {
        EXPECT_EQ(out.pbData[out.cbData], 0) << "a zero byte follows the plaintext";
    }
    plain.assign(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return rc;
}

// ---- Published vectors ---------------------------------------------------------

// One key of a vector file with its cases; the fields by the names the file
// gives them ("Modulus", "Prime 1", ...; the cases' "Message", "Signature",
// "Encryption" ...).
struct VectorKey {
    std::string title;
    std::map<std::string, Bytes> privateKey;
    std::vector<std::map<std::string, Bytes>> cases;

    RsaNumbers numbers() const {
        const auto at = [&](const char* name) { return privateKey.at(name); };
        return {at("Modulus"), at("Public exponent"),  at("Exponent"),         at("Prime 1"),
                at("Prime 2"), at("Prime exponent 1"), at("Prime exponent 2"), at("Coefficient")};
    }
};

// Where the package put a file of its asymmetric/RSA folder, or empty.
inline std::filesystem::path vectorFile(const std::string& name) {
    const std::string suffix = "/asymmetric/RSA/" + name;
    if (FILE* pipe = popen("dpkg -L python3-cryptography-vectors 2>/dev/null", "r")) {
        char line[4096];
        std::string found;
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::string path(line);
            while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) {
                path.pop_back();
            }
            if (path.size() >= suffix.size() &&
                path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
                found = path;
            }
        }
        pclose(pipe);
        if (!found.empty()) {
            return found;
        }
    }
    return {};
}

// Where the package put a file below its own folder, or empty.
inline std::filesystem::path packageFile(const std::string& relative) {
    const std::filesystem::path rsa = vectorFile("pkcs1v15sign-vectors.txt");
    if (rsa.empty()) {
        return {};
    }
    // .../cryptography_vectors/asymmetric/RSA/<file>
    return rsa.parent_path().parent_path().parent_path() / relative;
}

inline bool isHexLine(const std::string& line) {
    bool any = false;
    for (const char c : line) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            any = true;
        } else if (c != ' ' && c != '\t' && c != '\r') {
            return false;
        }
    }
    return any;
}

// Reads the keys and cases of pkcs1v15sign-vectors.txt or
// pkcs1v15crypt-vectors.txt.
inline std::vector<VectorKey> readVectors(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<VectorKey> keys;
    std::string line;
    std::string label;
    std::map<std::string, Bytes>* target = nullptr;
    while (std::getline(in, line)) {
        if (line.rfind("# Example ", 0) == 0 && line.find("key pair") != std::string::npos) {
            keys.push_back({line.substr(2), {}, {}});
            target = nullptr;
        } else if (keys.empty()) {
            continue;
        } else if (line.rfind("# Private key", 0) == 0) {
            target = &keys.back().privateKey;
        } else if (line.rfind("# PKCS#1 v1.5 ", 0) == 0 &&
                   line.find("Example") != std::string::npos) {
            keys.back().cases.emplace_back();
            target = &keys.back().cases.back();
        } else if (line.rfind("# ", 0) == 0 && line.find(':') != std::string::npos) {
            label = line.substr(2, line.find(':') - 2);
        } else if (isHexLine(line) && target != nullptr) {
            const Bytes bytes = hex(line);
            Bytes& value = (*target)[label];
            value.insert(value.end(), bytes.begin(), bytes.end());
        }
    }
    return keys;
}

// The SHA-256 digest of a message, by nettle.
inline Bytes sha256(const Bytes& message) {
    Bytes digest(SHA256_DIGEST_SIZE);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, message.size(), message.data());
    sha256_digest(&ctx, digest.size(), digest.data());
    return digest;
}

} // namespace asymtest
