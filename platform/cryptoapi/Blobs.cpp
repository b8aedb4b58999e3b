#include "platform/cryptoapi/Key.h"

#include <algorithm>

namespace capi {

using namespace detail;

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kRsaPubKeySize = 12;
constexpr Dword kMagicPublic = 0x31415352;  // "RSA1"
constexpr Dword kMagicPrivate = 0x32415352; // "RSA2"

void writeHeader(std::uint8_t* out, std::uint8_t type, AlgId algorithm) {
    out[0] = type;
    out[1] = CUR_BLOB_VERSION;
    out[2] = 0;
    out[3] = 0;
    storeLe32(out + 4, algorithm);
}

// The key a SIMPLEBLOB carries, or the error.
Dword openSimpleBlob(const RsaKey& exchange, const std::uint8_t* blob, std::size_t length,
                     AlgId algorithm, SecureBytes& body) {
    const std::size_t modulus = exchange.modulusBytes();
    if (length != kHeaderSize + 4 + modulus) {
        return NTE_BAD_LEN;
    }
    if (loadLe32(blob + kHeaderSize) != exchange.algorithm) {
        return NTE_BAD_ALGID;
    }
    SecureBytes block;
    if (!rsaPrivateOperation(exchange, blob + kHeaderSize + 4, block)) {
        return NTE_BAD_DATA;
    }
    if (!pkcs1OpenEncryptionBlock(block, body)) {
        return NTE_BAD_DATA;
    }
    if (!SymmetricKey::lengthFits(algorithm, body.size())) {
        return NTE_BAD_DATA;
    }
    return 0;
}

struct RsaLayout {
    std::size_t modulus;
    std::size_t half;
    std::size_t total;
};

RsaLayout rsaLayout(Dword bits, bool withPrivate) {
    const std::size_t modulus = bits / 8;
    const std::size_t half = bits / 16;
    std::size_t total = kHeaderSize + kRsaPubKeySize + modulus;
    if (withPrivate) {
        total += 5 * half + modulus;
    }
    return {modulus, half, total};
}

// Reads a PUBLICKEYBLOB or PRIVATEKEYBLOB; 0 or the error.
Dword parseRsaBlob(const std::uint8_t* blob, std::size_t length, bool withPrivate, RsaKey& key) {
    if (length < kHeaderSize + kRsaPubKeySize) {
        return NTE_BAD_LEN;
    }
    const std::uint8_t* at = blob + kHeaderSize;
    if (loadLe32(at) != (withPrivate ? kMagicPrivate : kMagicPublic)) {
        return NTE_BAD_DATA;
    }
    const Dword bits = loadLe32(at + 4);
    const Dword exponent = loadLe32(at + 8);
    if (bits < kMinRsaBits || bits > kMaxRsaBits || bits % (withPrivate ? 16 : 8) != 0 ||
        exponent == 0) {
        return NTE_BAD_DATA;
    }
    const RsaLayout layout = rsaLayout(bits, withPrivate);
    if (length != layout.total) {
        return NTE_BAD_LEN;
    }
    at += kRsaPubKeySize;
    key.bits = bits;
    mpz_set_ui(key.e.get(), exponent);
    readLe(key.n, at, layout.modulus);
    at += layout.modulus;
    if (mpz_cmp_ui(key.n.get(), 1) <= 0) {
        return NTE_BAD_DATA;
    }
    if (!withPrivate) {
        return 0;
    }
    for (Mpz* part : {&key.p, &key.q, &key.dp, &key.dq, &key.qinv}) {
        readLe(*part, at, layout.half);
        at += layout.half;
    }
    readLe(key.d, at, layout.modulus);
    if (mpz_sgn(key.d.get()) == 0) {
        return NTE_BAD_DATA;
    }
    key.hasPrivate = true;
    return 0;
}

Bool importRsaBlob(Provider& provider, const std::uint8_t* blob, std::size_t length,
                   bool withPrivate, Dword flags, HCRYPTKEY* key) {
    const AlgId algorithm = loadLe32(blob + 4);
    const int slot = slotOf(algorithm);
    if (algorithm != CALG_RSA_KEYX && algorithm != CALG_RSA_SIGN) {
        return fail(NTE_BAD_ALGID);
    }
    auto rsa = std::make_shared<RsaKey>();
    rsa->algorithm = algorithm;
    rsa->exportable = (flags & CRYPT_EXPORTABLE) != 0;
    if (const Dword error = parseRsaBlob(blob, length, withPrivate, *rsa); error != 0) {
        return fail(error);
    }
    if (withPrivate) {
        provider.container->slots[static_cast<std::size_t>(slot)] = rsa;
    }
    *key = addRsaHandle(std::move(rsa));
    return kTrue;
}

} // namespace

Bool CryptImportKey(HCRYPTPROV prov, const std::uint8_t* blob, Dword length, HCRYPTKEY importKey,
                    Dword flags, HCRYPTKEY* key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptImportKey")) {
        return kFalse;
    }
    Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (blob == nullptr || key == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~(CRYPT_EXPORTABLE | CRYPT_NO_SALT)) != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (length < kHeaderSize) {
        return fail(NTE_BAD_LEN);
    }
    if (blob[1] != CUR_BLOB_VERSION) {
        return fail(NTE_BAD_VER);
    }
    const std::uint8_t type = blob[0];
    if (type == PUBLICKEYBLOB || type == PRIVATEKEYBLOB) {
        // Encrypted private blobs are not offered.
        if (importKey != 0) {
            return fail(NTE_BAD_KEY);
        }
        return importRsaBlob(*provider, blob, length, type == PRIVATEKEYBLOB, flags, key);
    }
    if (type != SIMPLEBLOB) {
        return fail(NTE_BAD_TYPE);
    }
    const AlgId algorithm = loadLe32(blob + 4);
    if (!SymmetricKey::isSymmetric(algorithm)) {
        return fail(NTE_BAD_ALGID);
    }
    const Key* const exchange = keyTable().find(importKey);
    if (exchange == nullptr || exchange->rsa == nullptr || !exchange->rsa->hasPrivate) {
        return fail(NTE_BAD_KEY);
    }
    SecureBytes body;
    if (const Dword error = openSimpleBlob(*exchange->rsa, blob, length, algorithm, body);
        error != 0) {
        return fail(error);
    }
    auto made = std::make_unique<Key>();
    made->algorithm = algorithm;
    made->exportable = (flags & CRYPT_EXPORTABLE) != 0;
    made->symmetric = std::make_unique<SymmetricKey>(algorithm, body.data(), body.size());
    *key = keyTable().add(std::move(made));
    return kTrue;
}

namespace {

// Builds the blob of the key, or answers the error.
Dword buildSimpleBlob(const Key& key, const Key* exchange, SecureBytes& blob) {
    if (key.symmetric == nullptr) {
        return NTE_BAD_KEY;
    }
    if (!key.exportable) {
        return NTE_BAD_KEY_STATE;
    }
    if (exchange == nullptr) {
        return NTE_BAD_KEY;
    }
    if (exchange->rsa == nullptr) {
        return NTE_BAD_PUBLIC_KEY;
    }
    const RsaKey& rsa = *exchange->rsa;
    const SecureBytes& body = key.symmetric->body();
    const std::size_t modulus = rsa.modulusBytes();
    if (body.size() + kPkcs1Overhead > modulus) {
        return NTE_BAD_LEN;
    }
    SecureBytes block;
    if (!pkcs1EncryptionBlock(modulus, body.data(), body.size(), block)) {
        return NTE_FAIL;
    }
    blob.assign(kHeaderSize + 4 + modulus, 0);
    writeHeader(blob.data(), SIMPLEBLOB, key.algorithm);
    storeLe32(blob.data() + kHeaderSize, rsa.algorithm);
    if (!rsaPublicOperation(rsa, block, blob.data() + kHeaderSize + 4)) {
        return NTE_BAD_PUBLIC_KEY;
    }
    return 0;
}

// A PUBLICKEYBLOB, or with withPrivate a PRIVATEKEYBLOB, of the key.
Dword buildRsaBlob(const Key& key, bool withPrivate, SecureBytes& blob) {
    if (key.rsa == nullptr || (withPrivate && !key.rsa->hasPrivate)) {
        return NTE_BAD_KEY;
    }
    const RsaKey& rsa = *key.rsa;
    if (withPrivate && !rsa.exportable) {
        return NTE_BAD_KEY_STATE;
    }
    if (mpz_sizeinbase(rsa.e.get(), 2) > 32) {
        return NTE_BAD_KEY;
    }
    const RsaLayout layout = rsaLayout(rsa.bits, withPrivate);
    blob.assign(layout.total, 0);
    writeHeader(blob.data(), withPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, rsa.algorithm);
    std::uint8_t* at = blob.data() + kHeaderSize;
    storeLe32(at, withPrivate ? kMagicPrivate : kMagicPublic);
    storeLe32(at + 4, rsa.bits);
    storeLe32(at + 8, static_cast<Dword>(mpz_get_ui(rsa.e.get())));
    at += kRsaPubKeySize;
    bool fits = writeLe(rsa.n, at, layout.modulus);
    at += layout.modulus;
    if (withPrivate) {
        for (const Mpz* part : {&rsa.p, &rsa.q, &rsa.dp, &rsa.dq, &rsa.qinv}) {
            fits = fits && writeLe(*part, at, layout.half);
            at += layout.half;
        }
        fits = fits && writeLe(rsa.d, at, layout.modulus);
    }
    return fits ? 0 : NTE_BAD_KEY;
}

} // namespace

Bool CryptExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, Dword blobType, Dword flags,
                    std::uint8_t* data, Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptExportKey")) {
        return kFalse;
    }
    const Key* const object = keyTable().find(key);
    if (object == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    if (length == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    // Blobs are built whole, also for a size query: the size is then the
    // size of what a second call writes.
    SecureBytes blob;
    Dword error = 0;
    switch (blobType) {
    case SIMPLEBLOB:
        error = buildSimpleBlob(*object, keyTable().find(exportKey), blob);
        break;
    case PUBLICKEYBLOB:
        error = buildRsaBlob(*object, false, blob);
        break;
    case PRIVATEKEYBLOB:
        // Private blobs leave unencrypted or not at all.
        error = exportKey != 0 ? NTE_BAD_KEY : buildRsaBlob(*object, true, blob);
        break;
    default:
        error = NTE_BAD_TYPE;
        break;
    }
    if (error != 0) {
        return fail(error);
    }
    return putBytes(blob, data, length);
}

} // namespace capi
