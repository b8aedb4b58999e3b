// The signing front end of QxXCAPI: signatures over CryptoAPI or, for
// smart-card keys, over CNG; verification; the key's PIN.

#include "control/crypto/QxXCAPI.h"

#include "control/ControlLog.h"
#include "control/crypto/QxCAPIASN1Method.h"
#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxCAPIOwned.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <utility>

namespace {

using qxcapi::objectOf;
using Hash = qxcapi::OwnedHash;
using Owned = qxcapi::OwnedBlock;

constexpr const char* kModule = "QxXCAPI";
// The digest of kQxSignHashHere is fetched through a buffer of this size.
constexpr std::uint32_t kDigestBuffer = 128;
// Signatures up to this size are reversed in a buffer on the stack.
constexpr std::uint32_t kFixedSignature = 1024;
// What some smart-card providers answer when the user cancels.
constexpr capi::Dword kCardCancelled = 0x90001001;
constexpr capi::Dword kCancelledOne = 1;

// Whether a PIN has been given to a provider in this process.
std::atomic<int> pinWasSet{0};

void logCall(const char* function, int line, const char* platformFunction) {
    qxxCAPILogCall(kModule, line, function, platformFunction);
}

void trace(int line, const char* function, const char* step) {
    Log_Write(kLogDebug, "%s %d %s %s", kModule, line, function, step);
}

// Remembers the last platform error met; a published trail leaves it as the
// thread's last error when it goes (NTE_FAIL when there was none).
class ErrorTrail {
public:
    explicit ErrorTrail(bool publish) : publish_(publish) {}
    ErrorTrail(const ErrorTrail&) = delete;
    ErrorTrail& operator=(const ErrorTrail&) = delete;
    ~ErrorTrail() {
        if (publish_) {
            capi::SetLastError(last_ != 0 ? last_ : capi::NTE_FAIL);
        }
    }
    // Takes the thread's error after a failed call and returns it.
    capi::Dword note() {
        last_ = capi::GetLastError();
        return last_;
    }
    void note(capi::Dword error) {
        last_ = error;
        capi::SetLastError(error);
    }

private:
    bool publish_;
    capi::Dword last_ = 0;
};

struct HashRow {
    capi::AlgId algorithm;
    const char16_t* cngName;
};

std::optional<HashRow> hashOf(QxCryptFlags flags) {
    switch (flags & kQxHashMask) {
    case kQxHashSha1:
    case kQxHashSha1Alt:
        return HashRow{capi::CALG_SHA1, u"SHA1"};
    case kQxHashMd5:
        return HashRow{capi::CALG_MD5, u"MD5"};
    case kQxHashSha256:
        return HashRow{capi::CALG_SHA_256, u"SHA256"};
    case kQxHashSha384:
        return HashRow{capi::CALG_SHA_384, u"SHA384"};
    case kQxHashSha512:
        return HashRow{capi::CALG_SHA_512, u"SHA512"};
    default:
        return std::nullopt;
    }
}

void logWrongDigest(const char* function, int line) {
    Log_Write(kLogError, "%s:%d:%s", kModule, line, function);
}

// Creates the hash on the key's provider and gives it the digest: data
// itself (exactly the hash's length) or, with kQxSignHashHere, the digest of
// data made with the library's own hash.
int prepareHash(const char* function, ErrorTrail& trail, capi::HCRYPTPROV provider,
                const HashRow& row, const std::uint8_t* data, std::uint32_t length,
                QxCryptFlags flags, bool hashHereWithHashData, Hash& hash) {
    if (!capi::CryptCreateHash(provider, row.algorithm, 0, 0, hash.out())) {
        const capi::Dword error = trail.note();
        logCall(function, __LINE__, "CryptCreateHash");
        return error == capi::NTE_BAD_ALGID ? kQxHashNotSupported : kQxFailed;
    }
    if ((flags & kQxSignHashHere) != 0 && hashHereWithHashData) {
        if (!capi::CryptHashData(hash.get(), data, length, 0)) {
            trail.note();
            logCall(function, __LINE__, "CryptHashData");
            return kQxFailed;
        }
        return kQxOk;
    }
    std::array<std::uint8_t, kDigestBuffer> digest{};
    if ((flags & kQxSignHashHere) != 0) {
        QxCAPIHandle* own = nullptr;
        int rc = QxXCAPI_HashInit(&own, flags & kQxHashMask);
        if (rc == kQxOk) {
            rc = QxXCAPI_HashUpdate(own, data, length);
        }
        QxBlob value{kDigestBuffer, digest.data()};
        if (rc == kQxOk) {
            rc = QxXCAPI_HashFinal(own, 0, &value);
        }
        if (rc != kQxOk) {
            qxxCAPIFreeHandle(own);
            return rc;
        }
    } else {
        std::uint8_t size[4] = {};
        capi::Dword sizeLength = sizeof size;
        if (!capi::CryptGetHashParam(hash.get(), capi::HP_HASHSIZE, size, &sizeLength, 0)) {
            trail.note();
            logCall(function, __LINE__, "CryptGetHashParam");
            return kQxFailed;
        }
        const std::uint32_t digestLength = static_cast<std::uint32_t>(size[0]) | size[1] << 8;
        if (length != digestLength || digestLength > kDigestBuffer) {
            logWrongDigest(function, __LINE__);
            return kQxBadArgument;
        }
        std::memcpy(digest.data(), data, length);
    }
    const bool set = capi::CryptSetHashParam(hash.get(), capi::HP_HASHVAL, digest.data(), 0);
    explicit_bzero(digest.data(), digest.size());
    if (!set) {
        trail.note();
        logCall(function, __LINE__, "CryptSetHashParam");
        return kQxFailed;
    }
    return kQxOk;
}

int mapSignError(capi::Dword error) {
    switch (error) {
    case capi::kErrorCancelled:
        return kQxCancelled;
    case capi::kScardWrongChv:
        return kQxWrongPin;
    case capi::kScardChvBlocked:
        return kQxPinBlocked;
    default:
        return kQxSignRefused;
    }
}

// ---- CryptoAPI ---------------------------------------------------------------

int signWithCryptoApi(QxCAPIHandle* handle, QxCAPIKey* key, const std::uint8_t* data,
                      std::uint32_t length, const char* pin, QxCryptFlags flags, QxBlob* out,
                      ErrorTrail& trail) {
    constexpr const char* function = "QxXCAPI_PureSign";
    if (pin != nullptr) {
        QxXCAPI_SetPrivateKeyPin(handle, pin, 0);
    }
    const auto row = hashOf(flags);
    if (!row) {
        return kQxBadArgument;
    }
    Hash hash;
    if (const int rc =
            prepareHash(function, trail, key->provider, *row, data, length, flags, false, hash);
        rc != kQxOk) {
        return rc;
    }
    trace(__LINE__, function, "digest set");

    const bool callers = out->pbData != nullptr;
    Owned allocated;
    std::uint8_t* buffer = out->pbData;
    capi::Dword capacity = out->cbData;
    if (!callers) {
        const int size = QxXCAPI_KeySize(handle);
        if (size < 0) {
            return trail.note() == capi::kScardWrongChv ? kQxKeySizeWrongPin : kQxFailed;
        }
        allocated = Owned(static_cast<std::size_t>(size));
        if (allocated.get() == nullptr) {
            qxxCAPILogMalloc(kModule, __LINE__, function);
            return kQxNoMemory;
        }
        buffer = allocated.get();
        capacity = static_cast<capi::Dword>(size);
    }
    const capi::Dword signFlags = (flags & kQxSignNoHashOid) != 0 ? capi::CRYPT_NOHASHOID : 0;
    // The signature comes from the container's slot, not from key->key.
    const QxCAPIKeySlotLease slot(key);
    if (!slot.held()) {
        trail.note();
        return kQxFailed;
    }
    for (int attempt = 0;; ++attempt) {
        capi::Dword written = capacity;
        if (capi::CryptSignHashW(hash.get(), key->keySpec, nullptr, signFlags, buffer, &written)) {
            trace(__LINE__, function, "signed");
            std::reverse(buffer, buffer + written);
            if (!callers) {
                out->pbData = allocated.release();
            }
            out->cbData = written;
            return kQxOk;
        }
        const capi::Dword error = trail.note();
        if (error == capi::kScardCancelledByUser || error == kCardCancelled ||
            error == kCancelledOne) {
            return kQxCancelled;
        }
        if (error == capi::ERROR_INVALID_DATA) {
            return kQxBadArgument;
        }
        if (error == capi::ERROR_MORE_DATA && callers) {
            const int size = QxXCAPI_KeySize(handle);
            out->cbData = size > 0 ? static_cast<std::uint32_t>(size) : written;
            return kQxBufferTooSmall;
        }
        if (error == capi::ERROR_MORE_DATA && attempt == 0) {
            // The provider wants more room than the key size: once more with
            // the size it asked for.
            allocated = Owned(written);
            if (allocated.get() == nullptr) {
                qxxCAPILogMalloc(kModule, __LINE__, function);
                return kQxNoMemory;
            }
            buffer = allocated.get();
            capacity = written;
            continue;
        }
        logCall(function, __LINE__, "CryptSignHashW");
        return mapSignError(error);
    }
}

// ---- CNG ---------------------------------------------------------------------

struct CngFunctions {
    capi::PFN_BCryptOpenAlgorithmProvider openAlgorithm = nullptr;
    capi::PFN_BCryptCloseAlgorithmProvider closeAlgorithm = nullptr;
    capi::PFN_BCryptGetProperty getProperty = nullptr;
    capi::PFN_NCryptSetProperty setProperty = nullptr;
    capi::PFN_BCryptCreateHash createHash = nullptr;
    capi::PFN_BCryptDestroyHash destroyHash = nullptr;
    capi::PFN_BCryptHashData hashData = nullptr;
    capi::PFN_BCryptFinishHash finishHash = nullptr;
    capi::PFN_NCryptSignHash signHash = nullptr;
    capi::PFN_NCryptFreeObject freeObject = nullptr;
};

// The loaded key storage module, freed when it goes.
class CngModule {
public:
    CngModule() : module_(capi::loadSmartCardKeyStorage()) {}
    CngModule(const CngModule&) = delete;
    CngModule& operator=(const CngModule&) = delete;
    ~CngModule() {
        if (module_ != 0) {
            capi::freeSmartCardKeyStorage(module_);
        }
    }
    bool loaded() const { return module_ != 0; }

    template <class F>
    bool find(const char* name, F& function) const {
        function = reinterpret_cast<F>(capi::smartCardKeyStorageFunction(module_, name));
        return function != nullptr;
    }

private:
    capi::HMODULE module_;
};

class CngAlgorithm {
public:
    explicit CngAlgorithm(const CngFunctions& f) : f_(f) {}
    CngAlgorithm(const CngAlgorithm&) = delete;
    CngAlgorithm& operator=(const CngAlgorithm&) = delete;
    ~CngAlgorithm() {
        if (hash != nullptr) {
            f_.destroyHash(hash);
        }
        if (algorithm != nullptr) {
            f_.closeAlgorithm(algorithm, 0);
        }
    }
    // Filled by the calls that open them; closed when this goes.
    capi::BCRYPT_ALG_HANDLE algorithm = nullptr;
    capi::BCRYPT_HASH_HANDLE hash = nullptr;

private:
    const CngFunctions& f_;
};

// A CNG status as the thread's last error, for the log line and the trail.
void cngFailed(ErrorTrail& trail, const char* function, int line, const char* name,
               std::int32_t status) {
    trail.note(static_cast<capi::Dword>(status));
    logCall(function, line, name);
}

int signWithCng(QxCAPIKey* key, const std::uint8_t* data, std::uint32_t length, const char* pin,
                QxCryptFlags flags, QxBlob* out, ErrorTrail& trail) {
    constexpr const char* function = "QxXCAPI_PureSign";
    const CngModule module;
    if (!module.loaded()) {
        trail.note();
        logCall(function, __LINE__, "LoadLibrary");
        return kQxFailed;
    }
    CngFunctions f;
    // Every function is looked up before any is called.
    const bool complete = module.find("BCryptOpenAlgorithmProvider", f.openAlgorithm) &&
                          module.find("BCryptCloseAlgorithmProvider", f.closeAlgorithm) &&
                          module.find("BCryptGetProperty", f.getProperty) &&
                          module.find("NCryptSetProperty", f.setProperty) &&
                          module.find("BCryptCreateHash", f.createHash) &&
                          module.find("BCryptDestroyHash", f.destroyHash) &&
                          module.find("BCryptHashData", f.hashData) &&
                          module.find("BCryptFinishHash", f.finishHash) &&
                          module.find("NCryptSignHash", f.signHash) &&
                          module.find("NCryptFreeObject", f.freeObject);
    if (!complete) {
        trail.note();
        logCall(function, __LINE__, "GetProcAddress");
        return kQxFailed;
    }
    trace(__LINE__, function, "key storage loaded");
    if (pin != nullptr && pin[0] != '\0') {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(pin);
        if (const capi::SECURITY_STATUS status =
                f.setProperty(key->provider, u"SmartCardPin", bytes,
                              static_cast<capi::Dword>(std::strlen(pin)), 0);
            status != 0) {
            // Signing goes on: the card may not need it.
            cngFailed(trail, function, __LINE__, "NCryptSetProperty", status);
        }
    }
    const auto row = hashOf(flags);
    if (!row) {
        return kQxBadArgument;
    }
    CngAlgorithm algorithm(f);
    if (const auto status = f.openAlgorithm(&algorithm.algorithm, row->cngName, nullptr, 0);
        status != 0) {
        algorithm.algorithm = nullptr;
        cngFailed(trail, function, __LINE__, "BCryptOpenAlgorithmProvider", status);
        return kQxFailed;
    }
    std::uint8_t lengthBytes[4] = {};
    capi::Dword got = 0;
    if (const auto status = f.getProperty(algorithm.algorithm, u"HashDigestLength", lengthBytes,
                                          sizeof lengthBytes, &got, 0);
        status != 0) {
        cngFailed(trail, function, __LINE__, "BCryptGetProperty", status);
        return kQxFailed;
    }
    const capi::Dword digestLength = static_cast<capi::Dword>(lengthBytes[0]) |
                                     lengthBytes[1] << 8 | lengthBytes[2] << 16 |
                                     static_cast<capi::Dword>(lengthBytes[3]) << 24;
    if ((flags & kQxSignHashHere) == 0 && length != digestLength) {
        logWrongDigest(function, __LINE__);
        return kQxBadArgument;
    }
    Owned digest(digestLength);
    if (digest.get() == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, function);
        return kQxNoMemory;
    }
    if ((flags & kQxSignHashHere) != 0) {
        if (const auto status =
                f.createHash(algorithm.algorithm, &algorithm.hash, nullptr, 0, nullptr, 0, 0);
            status != 0) {
            algorithm.hash = nullptr;
            cngFailed(trail, function, __LINE__, "BCryptCreateHash", status);
            return kQxFailed;
        }
        if (const auto status = f.hashData(algorithm.hash, data, length, 0); status != 0) {
            cngFailed(trail, function, __LINE__, "BCryptHashData", status);
            return kQxFailed;
        }
        if (const auto status = f.finishHash(algorithm.hash, digest.get(), digestLength, 0);
            status != 0) {
            cngFailed(trail, function, __LINE__, "BCryptFinishHash", status);
            return kQxFailed;
        }
    } else if (digestLength != 0) {
        // The data is the digest already.
        std::memcpy(digest.get(), data, digestLength);
    }
    trace(__LINE__, function, "digest made");

    capi::BCRYPT_PKCS1_PADDING_INFO padding{row->cngName};
    capi::Dword size = 0;
    if (const auto status = f.signHash(key->provider, &padding, digest.get(), digestLength, nullptr,
                                       0, &size, capi::BCRYPT_PAD_PKCS1);
        status != 0) {
        cngFailed(trail, function, __LINE__, "NCryptSignHash", status);
        return kQxFailed;
    }
    const bool callers = out->pbData != nullptr;
    if (callers && out->cbData < size) {
        out->cbData = size;
        return kQxBufferTooSmall;
    }
    Owned allocated(callers ? 0 : size);
    if (!callers && allocated.get() == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, function);
        return kQxNoMemory;
    }
    std::uint8_t* buffer = callers ? out->pbData : allocated.get();
    const capi::Dword capacity = callers ? out->cbData : size;
    capi::Dword written = 0;
    if (const auto status = f.signHash(key->provider, &padding, digest.get(), digestLength, buffer,
                                       capacity, &written, capi::BCRYPT_PAD_PKCS1);
        status != 0) {
        cngFailed(trail, function, __LINE__, "NCryptSignHash", status);
        return kQxFailed;
    }
    trace(__LINE__, function, "signed");
    // The provider writes big-endian already.
    if (!callers) {
        out->pbData = allocated.release();
    }
    out->cbData = written;
    return kQxOk;
}

} // namespace

int QxXCAPI_SetPrivateKeyPin(QxCAPIHandle* handle, const char* pin, QxCryptFlags flags) {
    if (pin == nullptr || pin[0] == '\0') {
        return kQxOk;
    }
    QxCAPIKey* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePrivateKey, &key); rc != kQxOk) {
        return rc;
    }
    const bool withheld = (flags & kQxPinWithheld) != 0;
    Log_Write(kLogDebug, "%s %d %s iIsSetKeyPin = %d", kModule, __LINE__, __func__,
              pinWasSet.load());
    // The PIN itself never reaches the log.
    Log_Write(kLogDebug, "%s %d %s sPin = %s", kModule, __LINE__, __func__,
              withheld ? "(null)" : "(given)");
    const capi::Dword param =
        key->keySpec == capi::AT_SIGNATURE ? capi::PP_SIGNATURE_PIN : capi::PP_KEYEXCHANGE_PIN;
    if (!capi::CryptSetProvParam(key->provider, param,
                                 withheld ? nullptr : reinterpret_cast<const std::uint8_t*>(pin),
                                 0)) {
        const capi::Dword error = capi::GetLastError();
        Log_Write(kLogDebug, "%s %d %s ### CryptSetProvParam ###", kModule, __LINE__, __func__);
        switch (error) {
        case capi::kScardWrongChv:
            return kQxWrongPin;
        case capi::kScardChvBlocked:
            return kQxPinBlocked;
        default:
            return kQxFailed;
        }
    }
    pinWasSet.store(1);
    return kQxOk;
}

int QxXCAPI_PureSign(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                     const char* pin, QxCryptFlags flags, QxBlob* out) {
    ErrorTrail trail(true);
    QxCAPIKey* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePrivateKey, &key); rc != kQxOk) {
        return rc;
    }
    if (out == nullptr || (data == nullptr && length != 0)) {
        return kQxBadArgument;
    }
    trace(__LINE__, __func__, key->keySpec == kQxKeySpecCng ? "CNG key" : "CryptoAPI key");
    if (key->keySpec == kQxKeySpecCng) {
        return signWithCng(key, data, length, pin, flags, out, trail);
    }
    return signWithCryptoApi(handle, key, data, length, pin, flags, out, trail);
}

int QxXCAPI_PureVerify(QxCAPIHandle* handle, const std::uint8_t* signature,
                       std::uint32_t signatureLength, const std::uint8_t* data,
                       std::uint32_t length, QxCryptFlags flags) {
    QxCAPIKey* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePublicKey, &key); rc != kQxOk) {
        return rc;
    }
    const auto row = hashOf(flags);
    if (!row || signature == nullptr || (data == nullptr && length != 0)) {
        return kQxBadArgument;
    }
    ErrorTrail trail(false);
    Hash hash;
    if (const int rc =
            prepareHash(__func__, trail, key->provider, *row, data, length, flags, true, hash);
        rc != kQxOk) {
        return rc;
    }
    std::array<std::uint8_t, kFixedSignature> fixed{};
    Owned large(signatureLength > kFixedSignature ? signatureLength : 0);
    std::uint8_t* reversed = signatureLength > kFixedSignature ? large.get() : fixed.data();
    if (reversed == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, __func__);
        return kQxNoMemory;
    }
    std::reverse_copy(signature, signature + signatureLength, reversed);
    if (capi::CryptVerifySignatureW(hash.get(), reversed, signatureLength, key->key, nullptr, 0)) {
        return kQxOk;
    }
    // A refusal is a failed platform call like any other, a bad signature too.
    const capi::Dword error = trail.note();
    logCall(__func__, __LINE__, "CryptVerifySignatureW");
    switch (error) {
    case capi::NTE_BAD_SIGNATURE:
        return kQxBadSignature;
    case capi::NTE_BAD_KEY:
        return kQxBadKey;
    default:
        return kQxVerifyRefused;
    }
}
