#include "control/crypto/QxXCAPI.h"

#include "control/crypto/QxCAPIOwned.h"
#include "control/crypto/QxCAPISymKey.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string.h>
#include <utility>

namespace {

using qxcapi::objectOf;
using Hash = qxcapi::OwnedHash;
using OwnedBuffer = qxcapi::OwnedBlock;

constexpr const char* kModule = "QxXCAPI";

// HMAC and PBKDF1 take their digests through a buffer of this size, which
// holds MD5, SHA-1 and SHA-256 but not SHA-384 or SHA-512.
constexpr std::uint32_t kDigestBuffer = 36;
constexpr std::uint32_t kHmacBlock = 64;
constexpr std::uint32_t kSha1Length = 20;
// PBKDF2 output up to this size needs no allocation.
constexpr std::uint32_t kPbkdf2Fixed = 1024;

void logCall(const char* function, int line, const char* platformFunction) {
    qxxCAPILogCall(kModule, line, function, platformFunction);
}

// ---- Wiped storage and owned platform handles ------------------------------

template <std::size_t N>
class WipedBytes {
public:
    WipedBytes() = default;
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    ~WipedBytes() { explicit_bzero(bytes_.data(), N); }
    std::uint8_t* data() { return bytes_.data(); }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    static constexpr std::uint32_t size() { return N; }

private:
    std::array<std::uint8_t, N> bytes_{};
};

std::uint8_t* allocate(const char* function, int line, std::size_t size) {
    auto* data = static_cast<std::uint8_t*>(qxxCAPIMalloc(size));
    if (data == nullptr) {
        qxxCAPILogMalloc(kModule, line, function);
    }
    return data;
}

// The QxBlob output rule, with the failed allocation logged.
int prepareOutput(const char* function, int line, QxBlob* out, std::size_t size, bool* allocated) {
    const bool allocating = out->pbData == nullptr;
    const int rc = qxxCAPIPrepareOutput(out, size, 0, allocated);
    if (rc == kQxNoMemory && allocating) {
        qxxCAPILogMalloc(kModule, line, function);
    }
    return rc;
}

class Provider {
public:
    Provider() : handle_(QxCAPI_GetContext(nullptr, 1)) {}
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider() { QxCAPI_ReleaseContext(handle_); }
    capi::HCRYPTPROV get() const { return handle_; }
    capi::HCRYPTPROV release() { return std::exchange(handle_, 0); }

private:
    capi::HCRYPTPROV handle_;
};

class Key {
public:
    explicit Key(capi::HCRYPTKEY handle) : handle_(handle) {}
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (handle_ != 0) {
            capi::CryptDestroyKey(handle_);
        }
    }
    capi::HCRYPTKEY get() const { return handle_; }
    capi::HCRYPTKEY release() { return std::exchange(handle_, 0); }

private:
    capi::HCRYPTKEY handle_;
};

struct HandleRelease {
    void operator()(QxCAPIHandle* handle) const { qxxCAPIFreeHandle(handle); }
};
using OwnedHandle = std::unique_ptr<QxCAPIHandle, HandleRelease>;

bool missing(const void* data, std::uint64_t length) {
    return data == nullptr && length != 0;
}

// CryptHashData is not given a null pointer even for no data.
const std::uint8_t* orEmpty(const std::uint8_t* data) {
    static const std::uint8_t kNothing = 0;
    return data != nullptr ? data : &kNothing;
}

// ---- Tables ----------------------------------------------------------------

struct HashRow {
    capi::AlgId algorithm;
    std::uint32_t digestLength;
};

std::optional<HashRow> hashOf(QxCryptFlags flags) {
    switch (flags & kQxHashMask) {
    case kQxHashSha1:
    case kQxHashSha1Alt:
        return HashRow{capi::CALG_SHA1, 20};
    case kQxHashMd5:
        return HashRow{capi::CALG_MD5, 16};
    case kQxHashSha256:
        return HashRow{capi::CALG_SHA_256, 32};
    case kQxHashSha384:
        return HashRow{capi::CALG_SHA_384, 48};
    case kQxHashSha512:
        return HashRow{capi::CALG_SHA_512, 64};
    default:
        return std::nullopt;
    }
}

struct CipherRow {
    capi::AlgId algorithm;
    std::uint32_t keyLength;
    std::uint32_t ivLength;
    std::uint32_t blockLength;
};

constexpr std::uint32_t kMaxKey = 32;
constexpr std::uint32_t kMaxIv = 16;

// 0 with the row, 5004 for number 3, 5005 outside 1-7.
int cipherOf(int cipher, CipherRow* row) {
    switch (cipher) {
    case kQxCipherDes:
        *row = {capi::CALG_DES, 8, 8, 8};
        return kQxOk;
    case kQxCipher3Des:
        *row = {capi::CALG_3DES, 24, 8, 8};
        return kQxOk;
    case kQxCipherUnsupported:
        return kQxUnsupported;
    case kQxCipherRc4:
        *row = {capi::CALG_RC4, 16, 0, 1};
        return kQxOk;
    case kQxCipherAes128:
        *row = {capi::CALG_AES_128, 16, 16, 16};
        return kQxOk;
    case kQxCipherAes192:
        *row = {capi::CALG_AES_192, 24, 16, 16};
        return kQxOk;
    case kQxCipherAes256:
        *row = {capi::CALG_AES_256, 32, 16, 16};
        return kQxOk;
    default:
        return kQxBadArgument;
    }
}

// ---- Handles ---------------------------------------------------------------

// Feeds data to the hash that member names in the handle's object.
template <typename Object>
int feed(const char* function, QxCAPIHandle* handle, std::uint32_t type,
         capi::HCRYPTHASH Object::*member, const std::uint8_t* data, std::uint32_t length) {
    Object* object = nullptr;
    if (const int rc = objectOf(handle, type, &object); rc != kQxOk) {
        return rc;
    }
    if (missing(data, length)) {
        return kQxBadArgument;
    }
    if (!capi::CryptHashData(object->*member, orEmpty(data), length, 0)) {
        logCall(function, __LINE__, "CryptHashData");
        return kQxFailed;
    }
    return kQxOk;
}

// Wraps a freshly allocated object; on failure the object is freed here and
// the caller's owners release what it refers to.
template <typename Object>
int wrap(QxCAPIHandle** out, std::uint32_t type, Object* object) {
    if (qxxCAPICreateHandle(out, type, object, nullptr, 0) != kQxOk) {
        explicit_bzero(object, sizeof(Object));
        qxxCAPIFree(object);
        return kQxNoMemory;
    }
    return kQxOk;
}

// ---- Digests ---------------------------------------------------------------

// Fetches a finished digest. The size is asked first, so a digest longer
// than the buffer is refused before anything is written.
int fetchDigest(const char* function, capi::HCRYPTHASH hash, std::uint8_t* buffer,
                std::uint32_t capacity, std::uint32_t* length) {
    capi::Dword size = 0;
    if (!capi::CryptGetHashParam(hash, capi::HP_HASHVAL, nullptr, &size, 0)) {
        logCall(function, __LINE__, "CryptGetHashParam");
        return kQxFailed;
    }
    if (size > capacity) {
        // Logged as the fetch into the short buffer would have failed.
        capi::SetLastError(capi::ERROR_MORE_DATA);
        logCall(function, __LINE__, "CryptGetHashParam");
        return kQxFailed;
    }
    capi::Dword got = size;
    if (!capi::CryptGetHashParam(hash, capi::HP_HASHVAL, buffer, &got, 0)) {
        logCall(function, __LINE__, "CryptGetHashParam");
        return kQxFailed;
    }
    *length = got;
    return kQxOk;
}

// digest = Hash(first || second), with a hash of its own.
int hashOnce(const char* function, capi::HCRYPTPROV provider, capi::AlgId algorithm,
             const std::uint8_t* first, std::uint32_t firstLength, const std::uint8_t* second,
             std::uint32_t secondLength, std::uint8_t* digest, std::uint32_t capacity,
             std::uint32_t* digestLength) {
    Hash hash;
    if (!capi::CryptCreateHash(provider, algorithm, 0, 0, hash.out())) {
        logCall(function, __LINE__, "CryptCreateHash");
        return kQxFailed;
    }
    if (!capi::CryptHashData(hash.get(), orEmpty(first), firstLength, 0)) {
        logCall(function, __LINE__, "CryptHashData");
        return kQxFailed;
    }
    if (second != nullptr && !capi::CryptHashData(hash.get(), second, secondLength, 0)) {
        logCall(function, __LINE__, "CryptHashData");
        return kQxFailed;
    }
    return fetchDigest(function, hash.get(), digest, capacity, digestLength);
}

// One HMAC-SHA1 over the concatenation of the parts, into a 20-byte mac.
int hmacSha1(const char* password, std::uint32_t passwordLength,
             std::initializer_list<std::pair<const std::uint8_t*, std::uint32_t>> parts,
             std::uint8_t* mac) {
    QxCAPIHandle* raw = nullptr;
    int rc = QxXCAPI_HMACInit(&raw, reinterpret_cast<const std::uint8_t*>(password), passwordLength,
                              kQxHashSha1Alt);
    if (rc != kQxOk) {
        return rc;
    }
    OwnedHandle handle(raw);
    for (const auto& [data, length] : parts) {
        if ((rc = QxXCAPI_HMACUpdate(handle.get(), data, length)) != kQxOk) {
            return rc;
        }
    }
    QxBlob out{kSha1Length, mac};
    if ((rc = QxXCAPI_HMACFinal(handle.get(), 0, &out)) != kQxOk) {
        return rc;
    }
    handle.release(); // consumed by the Final
    return kQxOk;
}

// PBKDF2-HMAC-SHA1 into output.
int pbkdf2(const char* password, std::uint32_t passwordLength, const std::uint8_t* salt,
           std::uint32_t saltLength, std::uint32_t iterations, std::uint8_t* output,
           std::uint32_t length) {
    const std::uint32_t rounds = std::max<std::uint32_t>(iterations, 1);
    WipedBytes<kSha1Length> u;
    std::uint32_t block = 1;
    for (std::uint64_t done = 0; done < length; done += kSha1Length, ++block) {
        const std::uint8_t index[4] = {
            static_cast<std::uint8_t>(block >> 24), static_cast<std::uint8_t>(block >> 16),
            static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
        int rc = hmacSha1(password, passwordLength, {{salt, saltLength}, {index, 4}}, u.data());
        if (rc != kQxOk) {
            return rc;
        }
        const auto take =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(length - done, kSha1Length));
        std::memcpy(output + done, u.data(), take);
        for (std::uint32_t round = 1; round < rounds; ++round) {
            if ((rc = hmacSha1(password, passwordLength, {{u.data(), kSha1Length}}, u.data())) !=
                kQxOk) {
                return rc;
            }
            for (std::uint32_t i = 0; i < take; ++i) {
                output[done + i] ^= u[i];
            }
        }
    }
    return kQxOk;
}

// ---- Keys ------------------------------------------------------------------

// Imports the key bytes, sets the mode and wraps key and IV in a type-10
// handle.
int makeKey(const char* function, const CipherRow& row, const std::uint8_t* key,
            std::uint32_t keyLength, const std::uint8_t* iv, QxCryptFlags flags,
            QxCAPIHandle** out) {
    Provider provider;
    if (provider.get() == 0) {
        return kQxNoProvider;
    }
    Key session(qxxCAPIImportPlainKey(provider.get(), row.algorithm, key, keyLength));
    if (session.get() == 0) {
        return kQxFailed;
    }
    capi::Dword mode = 0;
    switch (flags & kQxModeMask) {
    case 0:
    case kQxModeCbc:
        mode = capi::CRYPT_MODE_CBC;
        break;
    case kQxModeEcb:
        mode = capi::CRYPT_MODE_ECB;
        break;
    default:
        return kQxBadArgument;
    }
    const std::uint8_t modeBytes[4] = {static_cast<std::uint8_t>(mode), 0, 0, 0};
    if (!capi::CryptSetKeyParam(session.get(), capi::KP_MODE, modeBytes, 0)) {
        logCall(function, __LINE__, "CryptSetKeyParam");
        return kQxFailed;
    }
    auto* object =
        reinterpret_cast<QxSymKeyObject*>(allocate(function, __LINE__, sizeof(QxSymKeyObject)));
    if (object == nullptr) {
        return kQxNoMemory;
    }
    object->provider = provider.get();
    object->key = session.get();
    object->blockLength = row.blockLength;
    object->ivLength = row.ivLength;
    if (row.ivLength != 0) {
        std::memcpy(object->iv, iv, row.ivLength);
    }
    object->heldBackCount = 0;
    if (const int rc = wrap(out, kQxHandleSymKey, object); rc != kQxOk) {
        return rc;
    }
    provider.release();
    session.release();
    return kQxOk;
}

// ---- Streams ---------------------------------------------------------------

int update(const char* function, bool encrypt, QxCAPIHandle* handle, const std::uint8_t* input,
           std::uint32_t inputLength, std::uint8_t* output, std::uint32_t outCapacity,
           std::uint32_t* outLength) {
    QxSymKeyObject* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandleSymKey, &key); rc != kQxOk) {
        return rc;
    }
    const std::uint32_t held = key->heldBackCount;
    const std::uint64_t total = std::uint64_t{held} + inputLength;
    if (outLength == nullptr || missing(input, inputLength) || missing(output, total) ||
        total > outCapacity || held > sizeof key->heldBack) {
        return kQxBadArgument;
    }
    if (total == 0) {
        *outLength = 0;
        return kQxOk;
    }
    const std::uint32_t block = key->blockLength;
    std::uint32_t keep = 0;
    if (block > 1) {
        keep = static_cast<std::uint32_t>(total % block);
        if (keep == 0) {
            keep = block;
        }
    }
    // The input may be the output buffer itself.
    std::memmove(output + held, orEmpty(input), inputLength);
    std::memcpy(output, key->heldBack, held);
    const auto process = static_cast<std::uint32_t>(total - keep);
    capi::Dword length = process;
    if (process != 0) {
        const bool ok =
            encrypt ? capi::CryptEncrypt(key->key, 0, capi::kFalse, 0, output, &length, process)
                    : capi::CryptDecrypt(key->key, 0, capi::kFalse, 0, output, &length);
        if (!ok) {
            logCall(function, __LINE__, encrypt ? "CryptEncrypt" : "CryptDecrypt");
            explicit_bzero(output, static_cast<std::size_t>(total));
            return encrypt ? kQxEncryptFailed : kQxDecryptFailed;
        }
    }
    std::memcpy(key->heldBack, output + process, keep);
    explicit_bzero(output + process, keep);
    key->heldBackCount = keep;
    *outLength = length;
    return kQxOk;
}

void dropHeldBack(QxSymKeyObject* key) {
    explicit_bzero(key->heldBack, sizeof key->heldBack);
    key->heldBackCount = 0;
}

} // namespace

// ---- Digests ---------------------------------------------------------------

int QxXCAPI_HashInit(QxCAPIHandle** out, QxCryptFlags flags) {
    const auto row = hashOf(flags);
    if (out == nullptr || !row) {
        return kQxBadArgument;
    }
    Provider provider;
    if (provider.get() == 0) {
        return kQxNoProvider;
    }
    Hash hash;
    if (!capi::CryptCreateHash(provider.get(), row->algorithm, 0, 0, hash.out())) {
        logCall(__func__, __LINE__, "CryptCreateHash");
        return kQxFailed;
    }
    auto* object =
        reinterpret_cast<QxHashObject*>(allocate(__func__, __LINE__, sizeof(QxHashObject)));
    if (object == nullptr) {
        return kQxNoMemory;
    }
    object->provider = provider.get();
    object->hash = hash.get();
    if (const int rc = wrap(out, kQxHandleHash, object); rc != kQxOk) {
        return rc;
    }
    provider.release();
    hash.release();
    return kQxOk;
}

int QxXCAPI_HashUpdate(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length) {
    return feed(__func__, handle, kQxHandleHash, &QxHashObject::hash, data, length);
}

int QxXCAPI_HashFinal(QxCAPIHandle* handle, std::uint32_t, QxBlob* out) {
    QxHashObject* object = nullptr;
    if (const int rc = objectOf(handle, kQxHandleHash, &object); rc != kQxOk) {
        return rc;
    }
    if (out == nullptr) {
        return kQxBadArgument;
    }
    capi::Dword size = 0;
    if (!capi::CryptGetHashParam(object->hash, capi::HP_HASHVAL, nullptr, &size, 0)) {
        logCall(__func__, __LINE__, "CryptGetHashParam");
        return kQxFailed;
    }
    const QxBlob given = *out;
    bool allocated = false;
    if (const int rc = prepareOutput(__func__, __LINE__, out, size, &allocated); rc != kQxOk) {
        return rc;
    }
    capi::Dword got = size;
    if (!capi::CryptGetHashParam(object->hash, capi::HP_HASHVAL, out->pbData, &got, 0)) {
        logCall(__func__, __LINE__, "CryptGetHashParam");
        if (allocated) {
            qxxCAPIFree(out->pbData);
        }
        *out = given;
        return kQxFailed;
    }
    out->cbData = got;
    qxxCAPIFreeHandle(handle);
    return kQxOk;
}

// ---- HMAC ------------------------------------------------------------------

int QxXCAPI_HMACInit(QxCAPIHandle** out, const std::uint8_t* key, std::uint32_t keyLength,
                     QxCryptFlags flags) {
    const auto row = hashOf(flags);
    if (out == nullptr || !row || missing(key, keyLength)) {
        return kQxBadArgument;
    }
    Provider provider;
    if (provider.get() == 0) {
        return kQxNoProvider;
    }
    WipedBytes<kHmacBlock> block;
    if (keyLength > kHmacBlock) {
        std::uint32_t digestLength = 0;
        if (const int rc = hashOnce(__func__, provider.get(), row->algorithm, key, keyLength,
                                    nullptr, 0, block.data(), kHmacBlock, &digestLength);
            rc != kQxOk) {
            return rc;
        }
    } else if (keyLength != 0) {
        std::memcpy(block.data(), key, keyLength);
    }

    Hash inner;
    Hash outer;
    WipedBytes<kHmacBlock> pad;
    for (auto [hash, mask] : {std::pair{&inner, 0x36}, std::pair{&outer, 0x5C}}) {
        if (!capi::CryptCreateHash(provider.get(), row->algorithm, 0, 0, hash->out())) {
            logCall(__func__, __LINE__, "CryptCreateHash");
            return kQxFailed;
        }
        for (std::uint32_t i = 0; i < kHmacBlock; ++i) {
            pad[i] = static_cast<std::uint8_t>(block[i] ^ mask);
        }
        if (!capi::CryptHashData(hash->get(), pad.data(), kHmacBlock, 0)) {
            logCall(__func__, __LINE__, "CryptHashData");
            return kQxFailed;
        }
    }

    auto* object =
        reinterpret_cast<QxHmacObject*>(allocate(__func__, __LINE__, sizeof(QxHmacObject)));
    if (object == nullptr) {
        return kQxNoMemory;
    }
    object->provider = provider.get();
    object->inner = inner.get();
    object->outer = outer.get();
    object->blockLength = kHmacBlock;
    object->digestLength = row->digestLength;
    if (const int rc = wrap(out, kQxHandleHmac, object); rc != kQxOk) {
        return rc;
    }
    provider.release();
    inner.release();
    outer.release();
    return kQxOk;
}

int QxXCAPI_HMACUpdate(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length) {
    // The message goes to the inner hash; the outer one waits for Final.
    return feed(__func__, handle, kQxHandleHmac, &QxHmacObject::inner, data, length);
}

int QxXCAPI_HMACFinal(QxCAPIHandle* handle, std::uint32_t, QxBlob* out) {
    QxHmacObject* object = nullptr;
    if (const int rc = objectOf(handle, kQxHandleHmac, &object); rc != kQxOk) {
        return rc;
    }
    if (out == nullptr) {
        return kQxBadArgument;
    }
    // A short caller's buffer is answered before the hashes are finished, so
    // the call can be repeated with a larger one.
    if (out->pbData != nullptr && object->digestLength <= kDigestBuffer &&
        out->cbData < object->digestLength) {
        out->cbData = object->digestLength;
        return kQxBufferTooSmall;
    }
    WipedBytes<kDigestBuffer> digest;
    std::uint32_t length = 0;
    if (const int rc = fetchDigest(__func__, object->inner, digest.data(), digest.size(), &length);
        rc != kQxOk) {
        return rc;
    }
    if (!capi::CryptHashData(object->outer, digest.data(), length, 0)) {
        logCall(__func__, __LINE__, "CryptHashData");
        return kQxFailed;
    }
    if (const int rc = fetchDigest(__func__, object->outer, digest.data(), digest.size(), &length);
        rc != kQxOk) {
        return rc;
    }
    bool allocated = false;
    if (const int rc = prepareOutput(__func__, __LINE__, out, length, &allocated); rc != kQxOk) {
        return rc;
    }
    std::memcpy(out->pbData, digest.data(), length);
    out->cbData = length;
    qxxCAPIFreeHandle(handle);
    return kQxOk;
}

// ---- Key and IV derivation -------------------------------------------------

int qxxCAPIDeriveKeyIV(const char* password, int passwordLength, const std::uint8_t* salt,
                       std::uint32_t saltLength, std::uint32_t iterations, QxCryptFlags flags,
                       std::uint8_t* key, std::uint32_t keyLength, std::uint8_t* iv,
                       std::uint32_t ivLength) {
    Provider provider;
    if (provider.get() == 0) {
        return kQxNoProvider;
    }
    std::uint32_t length = 0;
    if (password != nullptr) {
        if (passwordLength == -1) {
            length = static_cast<std::uint32_t>(std::strlen(password));
        } else if (passwordLength < 0) {
            return kQxBadArgument;
        } else {
            length = static_cast<std::uint32_t>(passwordLength);
        }
    }
    switch (flags & kQxDeriveMask) {
    case kQxDerivePbkdf1: {
        const auto row = hashOf(flags);
        if (!row) {
            return kQxBadArgument;
        }
        return PKCS5_PBKDF1_gen_keyiv(provider.get(), row->algorithm, password, length, salt,
                                      saltLength, iterations, key, keyLength, iv, ivLength);
    }
    case 0:
    case kQxDerivePbkdf2:
        return PKCS5_PBKDF2_gen_keyiv(provider.get(), password, length, salt, saltLength,
                                      iterations, key, keyLength, iv, ivLength);
    default:
        return kQxBadArgument;
    }
}

int PKCS5_PBKDF1_gen_keyiv(capi::HCRYPTPROV provider, capi::AlgId algorithm, const char* password,
                           std::uint32_t passwordLength, const std::uint8_t* salt,
                           std::uint32_t saltLength, std::uint32_t iterations, std::uint8_t* key,
                           std::uint32_t keyLength, std::uint8_t* iv, std::uint32_t ivLength) {
    if (missing(password, passwordLength) || missing(salt, saltLength) || missing(key, keyLength) ||
        missing(iv, ivLength)) {
        return kQxBadArgument;
    }
    WipedBytes<kDigestBuffer> t;
    std::uint32_t length = 0;
    int rc =
        hashOnce(__func__, provider, algorithm, reinterpret_cast<const std::uint8_t*>(password),
                 passwordLength, salt, saltLength, t.data(), t.size(), &length);
    if (rc != kQxOk) {
        return rc;
    }
    if (std::uint64_t{keyLength} + ivLength > length) {
        return kQxBadArgument;
    }
    for (std::uint32_t round = 1; round < iterations; ++round) {
        if ((rc = hashOnce(__func__, provider, algorithm, t.data(), length, nullptr, 0, t.data(),
                           t.size(), &length)) != kQxOk) {
            return rc;
        }
    }
    if (keyLength != 0) {
        std::memcpy(key, t.data(), keyLength);
    }
    if (ivLength != 0) {
        std::memcpy(iv, t.data() + keyLength, ivLength);
    }
    return kQxOk;
}

int PKCS5_PBKDF2_gen_keyiv(capi::HCRYPTPROV, const char* password, std::uint32_t passwordLength,
                           const std::uint8_t* salt, std::uint32_t saltLength,
                           std::uint32_t iterations, std::uint8_t* key, std::uint32_t keyLength,
                           std::uint8_t* iv, std::uint32_t ivLength) {
    const std::uint64_t total = std::uint64_t{keyLength} + ivLength;
    if (missing(password, passwordLength) || missing(salt, saltLength) || missing(key, keyLength) ||
        missing(iv, ivLength) || total > std::numeric_limits<std::uint32_t>::max()) {
        return kQxBadArgument;
    }
    WipedBytes<kPbkdf2Fixed> fixed;
    const bool fits = total <= kPbkdf2Fixed;
    OwnedBuffer large(fits ? nullptr : allocate(__func__, __LINE__, total), total);
    if (!fits && large.get() == nullptr) {
        return kQxNoMemory;
    }
    std::uint8_t* derived = fits ? fixed.data() : large.get();
    if (const int rc = pbkdf2(password, passwordLength, salt, saltLength, iterations, derived,
                              static_cast<std::uint32_t>(total));
        rc != kQxOk) {
        return rc;
    }
    if (keyLength != 0) {
        std::memcpy(key, derived, keyLength);
    }
    if (ivLength != 0) {
        std::memcpy(iv, derived + keyLength, ivLength);
    }
    return kQxOk;
}

int PKCS5_PBKDF2_derive(const char* password, std::uint32_t passwordLength,
                        const std::uint8_t* salt, std::uint32_t saltLength,
                        std::uint32_t iterations, std::uint32_t outputLength,
                        std::uint8_t* output) {
    return PKCS5_PBKDF2_gen_keyiv(0, password, passwordLength, salt, saltLength, iterations, output,
                                  outputLength, nullptr, 0);
}

// ---- Symmetric keys --------------------------------------------------------

int QxXCAPI_CreateKey(int cipher, const std::uint8_t* key, std::uint32_t keyLength,
                      const std::uint8_t* iv, std::uint32_t ivLength, QxCryptFlags flags,
                      QxCAPIHandle** out) {
    CipherRow row{};
    if (const int rc = cipherOf(cipher, &row); rc != kQxOk) {
        return rc;
    }
    const bool twoKey3Des = cipher == kQxCipher3Des && keyLength == 16;
    if (out == nullptr || key == nullptr || (keyLength != row.keyLength && !twoKey3Des) ||
        ivLength != row.ivLength || missing(iv, ivLength)) {
        return kQxBadArgument;
    }
    WipedBytes<kMaxKey> bytes;
    std::memcpy(bytes.data(), key, keyLength);
    if (twoKey3Des) {
        std::memcpy(bytes.data() + 16, key, 8); // K1 K2 K1
    }
    return makeKey(__func__, row, bytes.data(), row.keyLength, iv, flags, out);
}

int QxXCAPI_GenerateKey(int cipher, const char* password, const std::uint8_t* salt,
                        std::uint32_t saltLength, std::uint32_t iterations, QxCryptFlags flags,
                        QxCAPIHandle** out) {
    if (password == nullptr || out == nullptr || missing(salt, saltLength)) {
        return kQxBadArgument;
    }
    CipherRow row{};
    if (const int rc = cipherOf(cipher, &row); rc != kQxOk) {
        return rc;
    }
    WipedBytes<kMaxKey> key;
    WipedBytes<kMaxIv> iv;
    if (const int rc = qxxCAPIDeriveKeyIV(password, -1, salt, saltLength, iterations, flags,
                                          key.data(), row.keyLength, iv.data(), row.ivLength);
        rc != kQxOk) {
        return rc;
    }
    return makeKey(__func__, row, key.data(), row.keyLength, iv.data(), flags, out);
}

int QxXCAPI_SetIV(QxCAPIHandle* handle, const std::uint8_t* iv) {
    QxSymKeyObject* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandleSymKey, &key); rc != kQxOk) {
        return rc;
    }
    dropHeldBack(key);
    if (!capi::CryptSetKeyParam(key->key, capi::KP_IV, iv != nullptr ? iv : key->iv, 0)) {
        logCall(__func__, __LINE__, "CryptSetKeyParam");
        return kQxFailed;
    }
    return kQxOk;
}

int QxXCAPI_EncryptUpdate(QxCAPIHandle* handle, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outCapacity, std::uint32_t* outLength) {
    return update(__func__, true, handle, input, inputLength, output, outCapacity, outLength);
}

int QxXCAPI_DecryptUpdate(QxCAPIHandle* handle, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outCapacity, std::uint32_t* outLength) {
    return update(__func__, false, handle, input, inputLength, output, outCapacity, outLength);
}

int QxXCAPI_EncryptFinal(QxCAPIHandle* handle, std::uint8_t* output, std::uint32_t outCapacity,
                         std::uint32_t* outLength) {
    QxSymKeyObject* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandleSymKey, &key); rc != kQxOk) {
        return rc;
    }
    if (outLength == nullptr) {
        return kQxBadArgument;
    }
    const std::uint32_t held = key->heldBackCount;
    if (held == 0) {
        *outLength = 0;
        return kQxOk;
    }
    // A whole block held back gets a whole block of padding after it.
    const std::uint32_t need = held == key->blockLength ? 2 * held : key->blockLength;
    if (output == nullptr || outCapacity < need || held > key->blockLength) {
        return kQxBadArgument;
    }
    std::memcpy(output, key->heldBack, held);
    dropHeldBack(key);
    capi::Dword length = held;
    if (!capi::CryptEncrypt(key->key, 0, capi::kTrue, 0, output, &length, need)) {
        logCall(__func__, __LINE__, "CryptEncrypt");
        explicit_bzero(output, need);
        return kQxEncryptFailed;
    }
    *outLength = length;
    return kQxOk;
}

int QxXCAPI_DecryptFinal(QxCAPIHandle* handle, std::uint8_t* output, std::uint32_t outCapacity,
                         std::uint32_t* outLength) {
    QxSymKeyObject* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandleSymKey, &key); rc != kQxOk) {
        return rc;
    }
    if (outLength == nullptr) {
        return kQxBadArgument;
    }
    const std::uint32_t held = key->heldBackCount;
    if (held == 0) {
        *outLength = 0;
        return kQxOk;
    }
    if (held != key->blockLength) {
        return kQxFailed;
    }
    if (output == nullptr || outCapacity < held) {
        return kQxBadArgument;
    }
    std::memcpy(output, key->heldBack, held);
    dropHeldBack(key);
    capi::Dword length = held;
    if (!capi::CryptDecrypt(key->key, 0, capi::kTrue, 0, output, &length)) {
        logCall(__func__, __LINE__, "CryptDecrypt");
        explicit_bzero(output, held);
        return kQxDecryptFailed;
    }
    *outLength = length;
    return kQxOk;
}

// ---- One-shots -------------------------------------------------------------

namespace {

// Runs all of data through the key's stream, update then final, into a
// fresh buffer of capacity bytes.
int streamAll(const char* function, bool encrypt, QxCAPIHandle* handle, const std::uint8_t* data,
              std::uint32_t length, std::uint32_t capacity, OwnedBuffer& buffer,
              std::uint32_t* written) {
    buffer = OwnedBuffer(allocate(function, __LINE__, capacity), capacity);
    if (buffer.get() == nullptr) {
        return kQxNoMemory;
    }
    const auto step = encrypt ? QxXCAPI_EncryptUpdate : QxXCAPI_DecryptUpdate;
    const auto finish = encrypt ? QxXCAPI_EncryptFinal : QxXCAPI_DecryptFinal;
    std::uint32_t body = 0;
    std::uint32_t tail = 0;
    int rc = kQxOk;
    if ((rc = step(handle, data, length, buffer.get(), capacity, &body)) != kQxOk ||
        (rc = finish(handle, buffer.get() + body, capacity - body, &tail)) != kQxOk) {
        return rc;
    }
    *written = body + tail;
    return kQxOk;
}

} // namespace

int QxXCAPI_Encrypt(int cipher, const std::uint8_t* data, std::uint32_t length,
                    const std::uint8_t* key, std::uint32_t keyLength, const std::uint8_t* iv,
                    std::uint32_t ivLength, QxCryptFlags flags, std::uint8_t** out,
                    std::uint32_t* outLength) {
    constexpr std::uint32_t kRoom = 32;
    if (out == nullptr || outLength == nullptr || missing(data, length) ||
        length > std::numeric_limits<std::uint32_t>::max() - kRoom) {
        return kQxBadArgument;
    }
    QxCAPIHandle* raw = nullptr;
    int rc = QxXCAPI_CreateKey(cipher, key, keyLength, iv, ivLength, flags, &raw);
    if (rc != kQxOk) {
        return rc;
    }
    OwnedHandle handle(raw);
    if ((rc = QxXCAPI_SetIV(handle.get(), nullptr)) != kQxOk) {
        return rc;
    }
    OwnedBuffer buffer;
    std::uint32_t written = 0;
    if ((rc = streamAll(__func__, true, handle.get(), data, length, length + kRoom, buffer,
                        &written)) != kQxOk) {
        return rc;
    }
    *out = buffer.release();
    *outLength = written;
    return kQxOk;
}

int QxXCAPI_Decrypt(const char* password, const std::uint8_t* data, std::uint32_t length,
                    const std::uint8_t* salt, std::uint32_t saltLength, std::uint32_t iterations,
                    const std::uint8_t* iv, int cipher, QxCryptFlags flags, std::uint8_t** out,
                    std::uint32_t* outLength) {
    if (out == nullptr || outLength == nullptr || missing(data, length) ||
        length == std::numeric_limits<std::uint32_t>::max()) {
        return kQxBadArgument;
    }
    QxCAPIHandle* raw = nullptr;
    int rc = QxXCAPI_GenerateKey(cipher, password, salt, saltLength, iterations, flags, &raw);
    if (rc != kQxOk) {
        return rc;
    }
    OwnedHandle handle(raw);
    if ((rc = QxXCAPI_SetIV(handle.get(), iv)) != kQxOk) {
        return rc;
    }
    OwnedBuffer buffer;
    std::uint32_t written = 0;
    if ((rc = streamAll(__func__, false, handle.get(), data, length, length + 1, buffer,
                        &written)) != kQxOk) {
        return rc;
    }
    buffer.get()[written] = 0;
    *out = buffer.release();
    *outLength = written;
    return kQxOk;
}
