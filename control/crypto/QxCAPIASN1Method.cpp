#include "control/crypto/QxCAPIASN1Method.h"

#include "control/ControlLog.h"
#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxCAPICoder.h"
#include "control/crypto/QxCAPIDer.h"
#include "control/crypto/QxCAPIOwned.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

const char16_t kQxPrivateKeyContainer[] = u"privatekey.rsa.qx.capi.store";
const char16_t kQxPublicKeyContainer[] = u"publickey.rsa.qx.capi.store";

namespace {

using qxcapi::objectOf;
using Owned = qxcapi::OwnedBlock;

constexpr const char* kModule = "QxCAPIASN1Method";
constexpr capi::Dword kEncoding = capi::X509_ASN_ENCODING | capi::PKCS_7_ASN_ENCODING;
// DER up to this size is written through a buffer on the stack.
constexpr std::uint32_t kFixedDer = 10240;
constexpr std::uint32_t kFixedPublicKey = 1024;

constexpr std::size_t kBlobHeader = 8;
constexpr std::size_t kRsaPubKey = 12;
constexpr std::uint32_t kMaxExponentBytes = 4;
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";

void logCall(const char* function, int line, const char* platformFunction) {
    qxxCAPILogCall(kModule, line, function, platformFunction);
}

void putLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t loadLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// ---- Handle checks -----------------------------------------------------------

bool armoured(const int* armour) {
    return armour != nullptr && *armour != 0;
}

// ---- The numbers of RSA key structures -----------------------------------------

// Reads count INTEGERs that fill the SEQUENCE at der exactly (nothing after
// it); every one non-negative, as big-endian magnitudes.
bool readIntegerSequence(const std::uint8_t* der, std::uint32_t length, std::size_t count,
                         std::vector<QxSecretBytes>& numbers) {
    if (qxxCAPIDerElementSize(der, length) != length) {
        return false;
    }
    QxDerHeader header{};
    if (qxxCAPIDerReadHeader(der, length, &header) != 0 || header.cls != kQxDerClassUniversal ||
        !header.constructed || header.tag != kQxDerTagSequence) {
        return false;
    }
    const std::uint8_t* at = der + header.headerLength;
    std::uint32_t rest = header.contentLength;
    numbers.clear();
    for (std::size_t i = 0; i < count; ++i) {
        QxBlob value{0, nullptr};
        bool negative = false;
        if (qxxCAPIDerReadInteger(&at, &rest, &value, &negative) != 0) {
            return false;
        }
        numbers.emplace_back(value.pbData, value.pbData + value.cbData);
        explicit_bzero(value.pbData, value.cbData);
        qxxCAPIFree(value.pbData);
        if (negative) {
            return false;
        }
    }
    return rest == 0;
}

// The public exponent as a 32-bit number: one to four bytes, not zero.
bool exponentOf(const QxSecretBytes& bigEndian, std::uint32_t* exponent) {
    if (bigEndian.empty() || bigEndian.size() > kMaxExponentBytes) {
        return false;
    }
    std::uint32_t value = 0;
    for (const std::uint8_t byte : bigEndian) {
        value = value << 8 | byte;
    }
    *exponent = value;
    return true;
}

// A big-endian number written little-endian into a field of width bytes,
// zero-padded at its high end; false when it does not fit.
bool putField(std::uint8_t*& at, const QxSecretBytes& bigEndian, std::size_t width) {
    if (bigEndian.size() > width) {
        return false;
    }
    std::reverse_copy(bigEndian.begin(), bigEndian.end(), at);
    at += width;
    return true;
}

// A little-endian field of a key blob as a big-endian number.
QxSecretBytes fieldOf(const std::uint8_t* at, std::size_t width) {
    QxSecretBytes number(at, at + width);
    std::reverse(number.begin(), number.end());
    return number;
}

QxSecretBytes exponentBytes(std::uint32_t exponent) {
    QxSecretBytes number;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!number.empty() || (exponent >> shift & 0xFF) != 0) {
            number.push_back(static_cast<std::uint8_t>(exponent >> shift));
        }
    }
    return number;
}

void writeHeader(std::uint8_t* blob, std::uint8_t type) {
    blob[0] = type;
    blob[1] = capi::CUR_BLOB_VERSION;
    blob[2] = 0;
    blob[3] = 0;
    putLe32(blob + 4, capi::CALG_RSA_KEYX);
}

// SEQUENCE { INTEGER ... } of the numbers into out when capacity holds it;
// the size either way.
std::uint32_t writeIntegerSequence(const std::vector<QxSecretBytes>& numbers, std::uint8_t* out,
                                   std::uint32_t capacity) {
    std::uint32_t content = 0;
    for (const QxSecretBytes& number : numbers) {
        content += qxxCAPIDerWriteInteger(nullptr, number.data(),
                                          static_cast<std::uint32_t>(number.size()), 0);
    }
    const std::uint32_t header =
        qxxCAPIDerWriteHeader(nullptr, kQxDerClassUniversal, true, kQxDerTagSequence, content);
    const std::uint32_t total = header + content;
    if (out == nullptr || capacity < total) {
        return total;
    }
    std::uint8_t* at = out;
    at += qxxCAPIDerWriteHeader(at, kQxDerClassUniversal, true, kQxDerTagSequence, content);
    for (const QxSecretBytes& number : numbers) {
        at +=
            qxxCAPIDerWriteInteger(at, number.data(), static_cast<std::uint32_t>(number.size()), 0);
    }
    return total;
}

// Held while a private key goes into the private-key container's slot and
// while a slot-based operation runs on what the slot holds.
std::mutex& keySlotMutex() {
    static std::mutex mutex;
    return mutex;
}

// A key object around a key imported into the named container.
QxCAPIKey* importKey(const char* function, const char16_t* container, const QxSecretBytes& blob,
                     capi::Dword flags) {
    const capi::HCRYPTPROV provider = QxCAPI_GetContext(container, 1);
    if (provider == 0) {
        return nullptr;
    }
    capi::HCRYPTKEY key = 0;
    if (!capi::CryptImportKey(provider, blob.data(), static_cast<capi::Dword>(blob.size()), 0,
                              flags, &key)) {
        logCall(function, __LINE__, "CryptImportKey");
        QxCAPI_ReleaseContext(provider);
        return nullptr;
    }
    auto* object = static_cast<QxCAPIKey*>(qxxCAPIMalloc(sizeof(QxCAPIKey)));
    if (object == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, function);
        capi::CryptDestroyKey(key);
        QxCAPI_ReleaseContext(provider);
        return nullptr;
    }
    object->provider = provider;
    object->key = key;
    object->keySpec = capi::AT_KEYEXCHANGE;
    return object;
}

// ---- Converters from DER -----------------------------------------------------

void* privateKeyFromDer(const std::uint8_t* der, std::uint32_t length, void*) {
    // version, n, e, d, p, q, d mod (p-1), d mod (q-1), q^-1 mod p
    std::vector<QxSecretBytes> v;
    if (!readIntegerSequence(der, length, 9, v)) {
        return nullptr;
    }
    const QxSecretBytes& n = v[1];
    const std::size_t k = n.size();
    const std::size_t half = k / 2;
    std::uint32_t exponent = 0;
    // The blob's fields are a modulus and five half-moduli long: an odd
    // modulus length fits none of them exactly.
    if (k == 0 || k % 2 != 0 || !exponentOf(v[2], &exponent) ||
        k * 8 > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    QxSecretBytes blob(kBlobHeader + kRsaPubKey + k + 5 * half + k, 0);
    writeHeader(blob.data(), capi::PRIVATEKEYBLOB);
    std::memcpy(&blob[8], "RSA2", 4);
    putLe32(&blob[12], static_cast<std::uint32_t>(8 * k));
    putLe32(&blob[16], exponent);
    std::uint8_t* at = &blob[20];
    if (!putField(at, n, k) || !putField(at, v[4], half) || !putField(at, v[5], half) ||
        !putField(at, v[6], half) || !putField(at, v[7], half) || !putField(at, v[8], half) ||
        !putField(at, v[3], k)) {
        return nullptr;
    }
    const std::lock_guard slot(keySlotMutex());
    return importKey("privateKeyFromDer", kQxPrivateKeyContainer, blob, capi::CRYPT_EXPORTABLE);
}

void* publicKeyFromDer(const std::uint8_t* der, std::uint32_t length, void*) {
    capi::Dword size = 0;
    if (!capi::CryptDecodeObject(kEncoding, capi::X509_PUBLIC_KEY_INFO, der, length,
                                 capi::CRYPT_DECODE_NOCOPY_FLAG, nullptr, &size)) {
        logCall("publicKeyFromDer", __LINE__, "CryptDecodeObject");
        return nullptr;
    }
    Owned decoded(size);
    if (decoded.get() == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "publicKeyFromDer");
        return nullptr;
    }
    if (!capi::CryptDecodeObject(kEncoding, capi::X509_PUBLIC_KEY_INFO, der, length,
                                 capi::CRYPT_DECODE_NOCOPY_FLAG, decoded.get(), &size)) {
        logCall("publicKeyFromDer", __LINE__, "CryptDecodeObject");
        return nullptr;
    }
    const auto* info = reinterpret_cast<const capi::CERT_PUBLIC_KEY_INFO*>(decoded.get());
    // Another algorithm's key would be read as numbers it does not hold.
    if (info->Algorithm.pszObjId == nullptr ||
        std::strcmp(info->Algorithm.pszObjId, kRsaEncryption) != 0 ||
        info->PublicKey.cUnusedBits != 0) {
        return nullptr;
    }
    std::vector<QxSecretBytes> v;
    if (!readIntegerSequence(info->PublicKey.pbData, info->PublicKey.cbData, 2, v)) {
        return nullptr;
    }
    const std::size_t k = v[0].size();
    std::uint32_t exponent = 0;
    if (k == 0 || !exponentOf(v[1], &exponent) ||
        k * 8 > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    QxSecretBytes blob(kBlobHeader + kRsaPubKey + k, 0);
    writeHeader(blob.data(), capi::PUBLICKEYBLOB);
    std::memcpy(&blob[8], "RSA1", 4);
    putLe32(&blob[12], static_cast<std::uint32_t>(8 * k));
    putLe32(&blob[16], exponent);
    std::uint8_t* at = &blob[20];
    putField(at, v[0], k);
    return importKey("publicKeyFromDer", kQxPublicKeyContainer, blob, 0);
}

void* certificateFromDer(const std::uint8_t* der, std::uint32_t length, void*) {
    const capi::CERT_CONTEXT* context = capi::CertCreateCertificateContext(kEncoding, der, length);
    if (context == nullptr) {
        logCall("certificateFromDer", __LINE__, "CertCreateCertificateContext");
    }
    return const_cast<capi::CERT_CONTEXT*>(context);
}

void* pkcs7FromDer(const std::uint8_t* der, std::uint32_t length, void* context) {
    auto* kept = static_cast<QxBlob*>(context);
    const capi::HCRYPTMSG message =
        capi::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (message == 0) {
        logCall("pkcs7FromDer", __LINE__, "CryptMsgOpenToDecode");
        return nullptr;
    }
    if (!capi::CryptMsgUpdate(message, der, length, capi::kTrue)) {
        logCall("pkcs7FromDer", __LINE__, "CryptMsgUpdate");
        capi::CryptMsgClose(message);
        return nullptr;
    }
    kept->pbData = static_cast<std::uint8_t*>(qxxCAPIMalloc(length));
    if (kept->pbData == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "pkcs7FromDer");
        capi::CryptMsgClose(message);
        return nullptr;
    }
    std::memcpy(kept->pbData, der, length);
    kept->cbData = length;
    return reinterpret_cast<void*>(message);
}

void* signerInfoFromDer(const std::uint8_t* der, std::uint32_t length, void*) {
    capi::Dword size = 0;
    if (!capi::CryptDecodeObject(kEncoding, capi::PKCS7_SIGNER_INFO, der, length, 0, nullptr,
                                 &size)) {
        logCall("signerInfoFromDer", __LINE__, "CryptDecodeObject");
        return nullptr;
    }
    void* info = qxxCAPIMalloc(size);
    if (info == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "signerInfoFromDer");
        return nullptr;
    }
    if (!capi::CryptDecodeObject(kEncoding, capi::PKCS7_SIGNER_INFO, der, length, 0, info, &size)) {
        logCall("signerInfoFromDer", __LINE__, "CryptDecodeObject");
        qxxCAPIFree(info);
        return nullptr;
    }
    return info;
}

// ---- Converters to DER -------------------------------------------------------

bool exportBlob(const char* function, const QxCAPIKey* key, std::uint8_t type,
                QxSecretBytes& blob) {
    capi::Dword size = 0;
    if (!capi::CryptExportKey(key->key, 0, type, 0, nullptr, &size)) {
        logCall(function, __LINE__, "CryptExportKey");
        return false;
    }
    blob.assign(size, 0);
    if (!capi::CryptExportKey(key->key, 0, type, 0, blob.data(), &size)) {
        logCall(function, __LINE__, "CryptExportKey");
        return false;
    }
    blob.resize(size);
    return blob.size() >= kBlobHeader + kRsaPubKey;
}

int privateKeyToDer(const void* object, std::uint8_t* buffer, std::uint32_t capacity) {
    QxSecretBytes blob;
    if (!exportBlob("privateKeyToDer", static_cast<const QxCAPIKey*>(object), capi::PRIVATEKEYBLOB,
                    blob)) {
        return -1;
    }
    const std::uint32_t bits = loadLe32(&blob[12]);
    const std::size_t k = bits / 8;
    const std::size_t half = bits / 16;
    if (blob.size() != kBlobHeader + kRsaPubKey + 2 * k + 5 * half) {
        return -1;
    }
    const std::uint8_t* at = &blob[20];
    std::vector<QxSecretBytes> numbers;
    numbers.emplace_back(); // version 0
    const QxSecretBytes n = fieldOf(at, k);
    at += k;
    std::array<QxSecretBytes, 5> halves;
    for (QxSecretBytes& part : halves) {
        part = fieldOf(at, half);
        at += half;
    }
    numbers.push_back(n);
    numbers.push_back(exponentBytes(loadLe32(&blob[16])));
    numbers.push_back(fieldOf(at, k)); // d
    for (QxSecretBytes& part : halves) {
        numbers.push_back(std::move(part));
    }
    return static_cast<int>(writeIntegerSequence(numbers, buffer, capacity));
}

int publicKeyToDer(const void* object, std::uint8_t* buffer, std::uint32_t capacity) {
    QxSecretBytes blob;
    if (!exportBlob("publicKeyToDer", static_cast<const QxCAPIKey*>(object), capi::PUBLICKEYBLOB,
                    blob)) {
        return -1;
    }
    const std::size_t k = loadLe32(&blob[12]) / 8;
    if (blob.size() != kBlobHeader + kRsaPubKey + k) {
        return -1;
    }
    const std::vector<QxSecretBytes> numbers = {fieldOf(&blob[20], k),
                                                exponentBytes(loadLe32(&blob[16]))};
    std::array<std::uint8_t, kFixedPublicKey> fixed{};
    std::uint32_t size = writeIntegerSequence(numbers, nullptr, 0);
    Owned large(size > fixed.size() ? size : 0);
    std::uint8_t* rsaPublicKey = size > fixed.size() ? large.get() : fixed.data();
    if (rsaPublicKey == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "publicKeyToDer");
        return -1;
    }
    writeIntegerSequence(numbers, rsaPublicKey, size);

    // rsaEncryption takes a NULL as its parameters.
    std::uint8_t derNull[] = {0x05, 0x00};
    capi::CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = const_cast<char*>(kRsaEncryption);
    info.Algorithm.Parameters = {sizeof derNull, derNull};
    info.PublicKey = {size, rsaPublicKey, 0};
    capi::Dword encoded = 0;
    if (!capi::CryptEncodeObject(kEncoding, capi::X509_PUBLIC_KEY_INFO, &info, nullptr, &encoded)) {
        logCall("publicKeyToDer", __LINE__, "CryptEncodeObject");
        return -1;
    }
    if (buffer != nullptr && capacity >= encoded &&
        !capi::CryptEncodeObject(kEncoding, capi::X509_PUBLIC_KEY_INFO, &info, buffer, &encoded)) {
        logCall("publicKeyToDer", __LINE__, "CryptEncodeObject");
        return -1;
    }
    return static_cast<int>(encoded);
}

int certificateToDer(const void* object, std::uint8_t* buffer, std::uint32_t capacity) {
    const auto* context = static_cast<const capi::CERT_CONTEXT*>(object);
    if (buffer != nullptr && capacity >= context->cbCertEncoded) {
        std::memcpy(buffer, context->pbCertEncoded, context->cbCertEncoded);
    }
    return static_cast<int>(context->cbCertEncoded);
}

int signerInfoToDer(const void* object, std::uint8_t* buffer, std::uint32_t capacity) {
    capi::Dword size = 0;
    if (!capi::CryptEncodeObject(kEncoding, capi::PKCS7_SIGNER_INFO, object, nullptr, &size)) {
        logCall("signerInfoToDer", __LINE__, "CryptEncodeObject");
        return -1;
    }
    if (buffer != nullptr && capacity >= size &&
        !capi::CryptEncodeObject(kEncoding, capi::PKCS7_SIGNER_INFO, object, buffer, &size)) {
        logCall("signerInfoToDer", __LINE__, "CryptEncodeObject");
        return -1;
    }
    return static_cast<int>(size);
}

// ---- Rows ----------------------------------------------------------------------

int notProvided(QxCAPIHandle*, std::uintptr_t) {
    return kQxFailed;
}

// Wraps a decoded object in a handle of the row; the object is released when
// no handle can be made.
int wrapObject(QxCAPIHandle** out, const QxCAPIASN1Method* row, void* object, std::uintptr_t extra,
               void (*release)(void*, std::uintptr_t)) {
    if (qxxCAPICreateHandle(out, row->handleType, object, row, extra) != kQxOk) {
        release(object, extra);
        return kQxNoMemory;
    }
    return kQxOk;
}

// A row's decoder: 5045 becomes the row's own code.
int decodeRow(const QxCAPIASN1Method* row, QxCAPIHandle** out, const std::uint8_t* data,
              std::uint32_t length, std::uint32_t flags, QxCAPIDerReader reader, void* context,
              int noObject, void** object) {
    if (out == nullptr) {
        return kQxBadArgument;
    }
    const int rc = qxxCAPI_ASN1_Decode(data, length, flags, row->aliases, reader, context, object);
    return rc == kQxBadArmour ? noObject : rc;
}

void releaseKeyObject(void* object, std::uintptr_t) {
    qxxCAPIReleaseKey(static_cast<QxCAPIKey*>(object));
}

void releaseCertificate(void* object, std::uintptr_t) {
    capi::CertFreeCertificateContext(static_cast<const capi::CERT_CONTEXT*>(object));
}

void releasePkcs7(void* object, std::uintptr_t extra) {
    capi::CryptMsgClose(reinterpret_cast<capi::HCRYPTMSG>(object));
    auto* kept = reinterpret_cast<QxBlob*>(extra);
    if (kept != nullptr) {
        qxxCAPIFreeData(kept);
        qxxCAPIFree(kept);
    }
}

void releaseSignerInfo(void* object, std::uintptr_t) {
    qxxCAPIFree(object);
}

const QxCAPIASN1Method kCertificateRow = {
    "CERTIFICATE",
    kQxHandleCertificate,
    "CERTIFICATE;X509 CERTIFICATE",
    qxxCAPI_ASN1_EncodeCert,
    qxxCAPI_ASN1_DecodeCert,
    notProvided,
    notProvided,
    qxxCAPI_ASN1_FreeCert,
};
const QxCAPIASN1Method kPrivateKeyRow = {
    "RSA PRIVATE KEY",
    kQxHandlePrivateKey,
    "RSA PRIVATE KEY;DSA PUBLIC KEY;ENCRYPTED PRIVATE KEY;PRIVATE KEY",
    qxxCAPI_ASN1_EncodePrivateKey,
    qxxCAPI_ASN1_DecodePrivateKey,
    notProvided,
    notProvided,
    qxxCAPI_ASN1_FreeKey,
};
const QxCAPIASN1Method kPublicKeyRow = {
    "PUBLIC KEY",
    kQxHandlePublicKey,
    "PUBLIC KEY;RSA PUBLIC KEY;DSA PUBLIC KEY",
    qxxCAPI_ASN1_EncodePublicKey,
    qxxCAPI_ASN1_DecodePublicKey,
    notProvided,
    notProvided,
    qxxCAPI_ASN1_FreeKey,
};
const QxCAPIASN1Method kPkcs7Row = {
    "PKCS7",
    kQxHandlePkcs7,
    "PKCS7",
    qxxCAPI_ASN1_EncodePKCS7,
    qxxCAPI_ASN1_DecodePKCS7,
    notProvided,
    notProvided,
    qxxCAPI_ASN1_FreePKCS7,
};
const QxCAPIASN1Method kSignerInfoRow = {
    nullptr,
    kQxHandleSignerInfo,
    nullptr,
    qxxCAPI_ASN1_EncodeSignerInfo,
    qxxCAPI_ASN1_DecodeSignerInfo,
    notProvided,
    notProvided,
    qxxCAPI_ASN1_FreeSignerInfo,
};

// Encodes the object of a handle of the row's type.
int encodeRow(const QxCAPIASN1Method* row, QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
              const int* armour, QxCAPIDerWriter writer) {
    void* object = nullptr;
    if (const int rc = objectOf(handle, row->handleType, &object); rc != kQxOk) {
        return rc;
    }
    return qxxCAPI_ASN1_Encode(object, writer, flags, armoured(armour) ? row->name : nullptr, out);
}

// Releases a handle made by the row (the object by release) and its record.
void freeRow(QxCAPIHandle* handle, void (*release)(void*, std::uintptr_t)) {
    if (handle == nullptr) {
        return;
    }
    if (handle->object != nullptr) {
        release(handle->object, handle->extra);
    }
    qxxCAPIFree(handle);
}

} // namespace

// ---- The rows --------------------------------------------------------------------

const QxCAPIASN1Method* qxxCAPI_ASN1_CertificateMethod() {
    return &kCertificateRow;
}
const QxCAPIASN1Method* qxxCAPI_ASN1_PrivateKeyMethod() {
    return &kPrivateKeyRow;
}
const QxCAPIASN1Method* qxxCAPI_ASN1_PublicKeyMethod() {
    return &kPublicKeyRow;
}
const QxCAPIASN1Method* qxxCAPI_ASN1_PKCS7Method() {
    return &kPkcs7Row;
}
const QxCAPIASN1Method* qxxCAPI_ASN1_SignerInfoMethod() {
    return &kSignerInfoRow;
}

// ---- Encoding and decoding through a converter --------------------------------

int qxxCAPI_ASN1_Encode(const void* object, QxCAPIDerWriter writer, std::uint32_t flags,
                        const char* armourName, QxBlob* out) {
    if (object == nullptr || writer == nullptr || out == nullptr) {
        return kQxBadArgument;
    }
    const int size = writer(object, nullptr, 0);
    if (size < 0) {
        return kQxBadArmour;
    }
    const auto length = static_cast<std::uint32_t>(size);
    if ((flags & kQxAsn1Text) != 0) {
        std::array<std::uint8_t, kFixedDer> fixed{};
        Owned large(length >= kFixedDer ? std::size_t{length} + 1 : 0);
        std::uint8_t* der = length >= kFixedDer ? large.get() : fixed.data();
        if (der == nullptr) {
            qxxCAPILogMalloc(kModule, __LINE__, "qxxCAPI_ASN1_Encode");
            return kQxNoMemory;
        }
        const int written = writer(object, der, length);
        int rc = kQxBadArmour;
        if (written == size) {
            rc = QxXCAPI_Encode(der, length, out, armourName);
        }
        explicit_bzero(fixed.data(), fixed.size());
        return rc;
    }
    const QxBlob given = *out;
    bool allocated = false;
    if (const int rc = qxxCAPIPrepareOutput(out, length, 1, &allocated); rc != kQxOk) {
        if (rc == kQxNoMemory && allocated) {
            qxxCAPILogMalloc(kModule, __LINE__, "qxxCAPI_ASN1_Encode");
        }
        return rc;
    }
    if (writer(object, out->pbData, allocated ? length : out->cbData) != size) {
        if (allocated) {
            explicit_bzero(out->pbData, length);
            qxxCAPIFree(out->pbData);
        }
        *out = given;
        return kQxBadArmour;
    }
    out->cbData = length;
    return kQxOk;
}

int qxxCAPI_ASN1_Decode(const std::uint8_t* data, std::uint32_t length, std::uint32_t flags,
                        const char* aliases, QxCAPIDerReader reader, void* context, void** object) {
    if (data == nullptr || reader == nullptr || object == nullptr) {
        return kQxBadArgument;
    }
    *object = nullptr;
    if ((flags & kQxAsn1InputText) == 0) {
        *object = reader(data, length, context);
        return *object != nullptr ? kQxOk : kQxBadArmour;
    }
    QxBlob der{0, nullptr};
    if (const int rc = QxXCAPI_Decode(reinterpret_cast<const char*>(data), length, &der, aliases);
        rc != kQxOk) {
        return rc;
    }
    *object = reader(der.pbData, der.cbData, context);
    explicit_bzero(der.pbData, der.cbData);
    qxxCAPIFreeData(&der);
    return *object != nullptr ? kQxOk : kQxBadArmour;
}

// ---- Encoders ------------------------------------------------------------------

int qxxCAPI_ASN1_EncodeCert(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                            const int* armour) {
    return encodeRow(&kCertificateRow, handle, out, flags, armour, certificateToDer);
}

int qxxCAPI_ASN1_EncodePrivateKey(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                  const int* armour) {
    return encodeRow(&kPrivateKeyRow, handle, out, flags, armour, privateKeyToDer);
}

int qxxCAPI_ASN1_EncodePublicKey(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                 const int* armour) {
    return encodeRow(&kPublicKeyRow, handle, out, flags, armour, publicKeyToDer);
}

int qxxCAPI_ASN1_EncodeSignerInfo(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                  const int* armour) {
    return encodeRow(&kSignerInfoRow, handle, out, flags, armour, signerInfoToDer);
}

int qxxCAPI_ASN1_EncodePKCS7(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                             const int* armour) {
    void* object = nullptr;
    if (const int rc = objectOf(handle, kQxHandlePkcs7, &object); rc != kQxOk) {
        return rc;
    }
    if (out == nullptr) {
        return kQxBadArgument;
    }
    auto* kept = reinterpret_cast<QxBlob*>(handle->extra);
    if (kept == nullptr || kept->pbData == nullptr) {
        const auto message = reinterpret_cast<capi::HCRYPTMSG>(object);
        capi::Dword size = 0;
        if (!capi::CryptMsgGetParam(message, capi::CMSG_ENCODED_MESSAGE, 0, nullptr, &size)) {
            logCall(__func__, __LINE__, "CryptMsgGetParam");
            return kQxFailed;
        }
        if (kept == nullptr) {
            kept = static_cast<QxBlob*>(qxxCAPIMalloc(sizeof(QxBlob)));
            if (kept == nullptr) {
                qxxCAPILogMalloc(kModule, __LINE__, __func__);
                return kQxNoMemory;
            }
            handle->extra = reinterpret_cast<std::uintptr_t>(kept);
        }
        kept->pbData = static_cast<std::uint8_t*>(qxxCAPIMalloc(size));
        if (kept->pbData == nullptr) {
            qxxCAPILogMalloc(kModule, __LINE__, __func__);
            return kQxNoMemory;
        }
        if (!capi::CryptMsgGetParam(message, capi::CMSG_ENCODED_MESSAGE, 0, kept->pbData, &size)) {
            logCall(__func__, __LINE__, "CryptMsgGetParam");
            qxxCAPIFreeData(kept);
            return kQxFailed;
        }
        kept->cbData = size;
    }
    if ((flags & kQxAsn1Text) != 0) {
        return QxXCAPI_Encode(kept->pbData, kept->cbData, out,
                              armoured(armour) ? kPkcs7Row.name : nullptr);
    }
    // The output rule, like every other encoder: a short buffer learns the
    // size it needs.
    bool allocated = false;
    if (const int rc = qxxCAPIPrepareOutput(out, kept->cbData, 1, &allocated); rc != kQxOk) {
        return rc;
    }
    std::memcpy(out->pbData, kept->pbData, kept->cbData);
    out->cbData = kept->cbData;
    return kQxOk;
}

// ---- Decoders ------------------------------------------------------------------

int qxxCAPI_ASN1_DecodeCert(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                            std::uint32_t flags) {
    void* object = nullptr;
    if (const int rc = decodeRow(&kCertificateRow, out, data, length, flags, certificateFromDer,
                                 nullptr, kQxBadCertificate, &object);
        rc != kQxOk) {
        return rc;
    }
    return wrapObject(out, &kCertificateRow, object, 0, releaseCertificate);
}

int qxxCAPI_ASN1_DecodePrivateKey(QxCAPIHandle** out, const std::uint8_t* data,
                                  std::uint32_t length, std::uint32_t flags) {
    void* object = nullptr;
    if (const int rc = decodeRow(&kPrivateKeyRow, out, data, length, flags, privateKeyFromDer,
                                 nullptr, kQxBadKey, &object);
        rc != kQxOk) {
        return rc;
    }
    return wrapObject(out, &kPrivateKeyRow, object,
                      reinterpret_cast<std::uintptr_t>(qxxCAPIPrivateKeyMethods()),
                      releaseKeyObject);
}

int qxxCAPI_ASN1_DecodePublicKey(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t flags) {
    void* object = nullptr;
    if (const int rc = decodeRow(&kPublicKeyRow, out, data, length, flags, publicKeyFromDer,
                                 nullptr, kQxBadKey, &object);
        rc != kQxOk) {
        return rc;
    }
    return wrapObject(out, &kPublicKeyRow, object,
                      reinterpret_cast<std::uintptr_t>(qxxCAPIPublicKeyMethods()),
                      releaseKeyObject);
}

int qxxCAPI_ASN1_DecodePKCS7(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t flags) {
    auto* kept = static_cast<QxBlob*>(qxxCAPIMalloc(sizeof(QxBlob)));
    if (kept == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, __func__);
        return kQxNoMemory;
    }
    void* object = nullptr;
    if (const int rc = decodeRow(&kPkcs7Row, out, data, length, flags, pkcs7FromDer, kept,
                                 kQxBadPkcs7, &object);
        rc != kQxOk) {
        qxxCAPIFree(kept);
        return rc;
    }
    return wrapObject(out, &kPkcs7Row, object, reinterpret_cast<std::uintptr_t>(kept),
                      releasePkcs7);
}

int qxxCAPI_ASN1_DecodeSignerInfo(QxCAPIHandle** out, const std::uint8_t* data,
                                  std::uint32_t length, std::uint32_t flags) {
    void* object = nullptr;
    if (const int rc = decodeRow(&kSignerInfoRow, out, data, length, flags, signerInfoFromDer,
                                 nullptr, kQxBadArmour, &object);
        rc != kQxOk) {
        return rc;
    }
    return wrapObject(out, &kSignerInfoRow, object, 0, releaseSignerInfo);
}

// ---- Release -------------------------------------------------------------------

void qxxCAPI_ASN1_FreeCert(QxCAPIHandle* handle) {
    freeRow(handle, releaseCertificate);
}

void qxxCAPI_ASN1_FreeKey(QxCAPIHandle* handle) {
    freeRow(handle, releaseKeyObject);
}

void qxxCAPI_ASN1_FreePKCS7(QxCAPIHandle* handle) {
    freeRow(handle, releasePkcs7);
}

void qxxCAPI_ASN1_FreeSignerInfo(QxCAPIHandle* handle) {
    freeRow(handle, releaseSignerInfo);
}

void qxxCAPIReleaseKey(QxCAPIKey* key) {
    if (key == nullptr) {
        return;
    }
    if (key->borrowed == 0) {
        if (key->key != 0 && !capi::CryptDestroyKey(key->key)) {
            logCall(__func__, __LINE__, "CryptDestroyKey");
        }
        if (key->keySpec == kQxKeySpecCng) {
            const capi::HMODULE module = capi::loadSmartCardKeyStorage();
            if (module == 0) {
                logCall(__func__, __LINE__, "LoadLibrary");
            } else {
                const auto freeObject = reinterpret_cast<capi::PFN_NCryptFreeObject>(
                    capi::smartCardKeyStorageFunction(module, "NCryptFreeObject"));
                if (freeObject == nullptr) {
                    logCall(__func__, __LINE__, "GetProcAddress");
                } else if (const capi::SECURITY_STATUS status = freeObject(key->provider);
                           status != 0) {
                    capi::SetLastError(static_cast<capi::Dword>(status));
                    logCall(__func__, __LINE__, "NCryptFreeObject");
                }
                capi::freeSmartCardKeyStorage(module);
            }
        } else {
            QxCAPI_ReleaseContext(key->provider);
        }
    }
    explicit_bzero(key, sizeof *key);
    qxxCAPIFree(key);
}

// ---- The container's key slot ------------------------------------------------

namespace {

// The key's PUBLICKEYBLOB, or empty. Quiet: a key that cannot tell is
// simply put back.
QxSecretBytes publicBlobOf(capi::HCRYPTKEY key) {
    capi::Dword size = 0;
    if (!capi::CryptExportKey(key, 0, capi::PUBLICKEYBLOB, 0, nullptr, &size)) {
        return {};
    }
    QxSecretBytes blob(size, 0);
    if (!capi::CryptExportKey(key, 0, capi::PUBLICKEYBLOB, 0, blob.data(), &size)) {
        return {};
    }
    blob.resize(size);
    return blob;
}

bool slotHolds(const QxCAPIKey* key) {
    capi::HCRYPTKEY stored = 0;
    if (!capi::CryptGetUserKey(key->provider, key->keySpec, &stored)) {
        return false;
    }
    const QxSecretBytes current = publicBlobOf(stored);
    capi::CryptDestroyKey(stored);
    return !current.empty() && current == publicBlobOf(key->key);
}

// Imports the key's own pair into its container again; the handle the
// import gives is not needed, the slot keeps the key.
bool putBack(const QxCAPIKey* key) {
    constexpr const char* function = "QxCAPIKeySlotLease";
    QxSecretBytes blob;
    if (!exportBlob(function, key, capi::PRIVATEKEYBLOB, blob)) {
        return false;
    }
    capi::HCRYPTKEY imported = 0;
    if (!capi::CryptImportKey(key->provider, blob.data(), static_cast<capi::Dword>(blob.size()), 0,
                              capi::CRYPT_EXPORTABLE, &imported)) {
        logCall(function, __LINE__, "CryptImportKey");
        return false;
    }
    capi::CryptDestroyKey(imported);
    return true;
}

} // namespace

QxCAPIKeySlotLease::QxCAPIKeySlotLease(const QxCAPIKey* key) : lock_(keySlotMutex()) {
    held_ = key != nullptr && (slotHolds(key) || putBack(key));
}
