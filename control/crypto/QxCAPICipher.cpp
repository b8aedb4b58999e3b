#include "control/crypto/QxCAPICipher.h"

#include "control/crypto/QxCAPIOwned.h"
#include "control/crypto/QxXCAPI.h"

#include <algorithm>
#include <cstring>

namespace {

using qxcapi::objectOf;

constexpr const char* kModule = "QxCAPICipher";
// PKCS #1 v1.5 type 2: 00 02, eight or more padding bytes, 00.
constexpr int kPaddingOverhead = 11;

void logCall(const char* function, int line, const char* platformFunction) {
    qxxCAPILogCall(kModule, line, function, platformFunction);
}

int keySizeOf(QxCAPIHandle* handle) {
    const auto* methods = reinterpret_cast<const QxCAPIKeyMethods*>(handle->extra);
    return methods != nullptr && methods->keySize != nullptr ? methods->keySize(handle)
                                                             : QxXCAPI_KeySize(handle);
}

// The slots a table does not offer.
int noCipher(QxCAPIHandle*, const std::uint8_t*, std::uint32_t, std::uint32_t, QxBlob*) {
    return kQxFailed;
}
int noSign(QxCAPIHandle*, const std::uint8_t*, std::uint32_t, const char*, std::uint32_t, QxBlob*) {
    return kQxFailed;
}
int noVerify(QxCAPIHandle*, const std::uint8_t*, std::uint32_t, const std::uint8_t*, std::uint32_t,
             std::uint32_t) {
    return kQxFailed;
}
int sixth(QxCAPIHandle*) {
    return -1;
}

const QxCAPIKeyMethods kPrivateKeyMethods = {
    noCipher, QxXCAPI_PrivateDecrypt, QxXCAPI_PureSign, noVerify, QxXCAPI_KeySize, sixth,
};
const QxCAPIKeyMethods kPublicKeyMethods = {
    QxXCAPI_PublicEncrypt, noCipher, noSign, QxXCAPI_PureVerify, QxXCAPI_KeySize, sixth,
};

} // namespace

const QxCAPIKeyMethods* qxxCAPIPrivateKeyMethods() {
    return &kPrivateKeyMethods;
}

const QxCAPIKeyMethods* qxxCAPIPublicKeyMethods() {
    return &kPublicKeyMethods;
}

int QxXCAPI_KeySize(QxCAPIHandle* handle) {
    if (handle == nullptr || handle->object == nullptr ||
        (handle->type != kQxHandlePrivateKey && handle->type != kQxHandlePublicKey)) {
        return -1;
    }
    const auto* key = static_cast<const QxCAPIKey*>(handle->object);
    std::uint8_t bits[4] = {};
    capi::Dword length = sizeof bits;
    if (!capi::CryptGetKeyParam(key->key, capi::KP_KEYLEN, bits, &length, 0)) {
        logCall(__func__, __LINE__, "CryptGetKeyParam");
        return -1;
    }
    const std::uint32_t value = static_cast<std::uint32_t>(bits[0]) | bits[1] << 8 | bits[2] << 16 |
                                static_cast<std::uint32_t>(bits[3]) << 24;
    return static_cast<int>((std::uint64_t{value} + 7) / 8);
}

int QxXCAPI_PublicEncrypt(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t, QxBlob* out) {
    QxCAPIKey* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePublicKey, &key); rc != kQxOk) {
        return rc;
    }
    if (out == nullptr || (data == nullptr && length != 0)) {
        return kQxBadArgument;
    }
    const int size = keySizeOf(handle);
    // An unreadable size (-1) or a key too short for the padding leaves no
    // room for any message.
    if (size < kPaddingOverhead) {
        return kQxEncryptFailed;
    }
    if (length > static_cast<std::uint32_t>(size - kPaddingOverhead)) {
        return kQxBadArgument;
    }
    const auto modulus = static_cast<std::uint32_t>(size);
    const QxBlob given = *out;
    bool allocated = false;
    if (const int rc = qxxCAPIPrepareOutput(out, modulus, 0, &allocated); rc != kQxOk) {
        if (rc == kQxNoMemory && allocated) {
            qxxCAPILogMalloc(kModule, __LINE__, __func__);
        }
        return rc;
    }
    if (length != 0) {
        std::memmove(out->pbData, data, length);
    }
    capi::Dword written = length;
    if (!capi::CryptEncrypt(key->key, 0, capi::kTrue, 0, out->pbData, &written, modulus)) {
        logCall(__func__, __LINE__, "CryptEncrypt");
        explicit_bzero(out->pbData, modulus);
        if (allocated) {
            qxxCAPIFree(out->pbData);
        }
        *out = given;
        return kQxEncryptFailed;
    }
    std::reverse(out->pbData, out->pbData + written);
    out->cbData = written;
    return kQxOk;
}

int QxXCAPI_PrivateDecrypt(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                           std::uint32_t, QxBlob* out) {
    QxCAPIKey* key = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePrivateKey, &key); rc != kQxOk) {
        return rc;
    }
    if (data == nullptr || out == nullptr) {
        return kQxBadArgument;
    }
    const QxBlob given = *out;
    bool allocated = false;
    if (const int rc = qxxCAPIPrepareOutput(out, length, 1, &allocated); rc != kQxOk) {
        if (rc == kQxNoMemory && out->pbData == nullptr) {
            qxxCAPILogMalloc(kModule, __LINE__, __func__);
        }
        return rc;
    }
    const std::uint32_t capacity = allocated ? length + 1 : given.cbData;
    // Big-endian ciphertext to the provider's order; input and output may be
    // the same buffer.
    if (out->pbData == data) {
        std::reverse(out->pbData, out->pbData + length);
    } else {
        std::reverse_copy(data, data + length, out->pbData);
    }
    capi::Dword written = length;
    if (!capi::CryptDecrypt(key->key, 0, capi::kTrue, 0, out->pbData, &written)) {
        const capi::Dword error = capi::GetLastError();
        explicit_bzero(out->pbData, length);
        if (allocated) {
            qxxCAPIFree(out->pbData);
        }
        *out = given;
        if (error == capi::ERROR_MORE_DATA) {
            out->cbData = written;
            return kQxBufferTooSmall;
        }
        logCall(__func__, __LINE__, "CryptDecrypt");
        return kQxDecryptFailed;
    }
    if (written < capacity) {
        out->pbData[written] = 0;
    }
    out->cbData = written;
    return kQxOk;
}
