#pragma once

// The core of the control's crypto library: zero-filled memory, the
// length-and-data record QxBlob and its output rule, typed handles, the
// provider, the result codes and the error lines written to the control log.
// The library's only locks guard the fixed exchange key's import and the
// private-key container's slot; its lazily filled state is safe to reach
// from the control's threads.

#include "platform/cryptoapi/CryptoApi.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string.h>
#include <vector>

// ---- Result codes ----------------------------------------------------------

inline constexpr int kQxOk = 0;
// A platform call failed, or an internal state is wrong; also what an
// operation answers that a type-table row does not provide.
inline constexpr int kQxFailed = 5001;
// Memory could not be allocated, or an empty hex text.
inline constexpr int kQxNoMemory = 5002;
// The caller's buffer is too small; the needed size has been stored.
inline constexpr int kQxBufferTooSmall = 5003;
// Cipher number 3.
inline constexpr int kQxUnsupported = 5004;
// Null where a value is needed, unknown algorithm, hash or mode, wrong key,
// IV or digest length, data too long for the key.
inline constexpr int kQxBadArgument = 5005;
inline constexpr int kQxWrongHandleType = 5006;
inline constexpr int kQxBadBase64 = 5008;
inline constexpr int kQxBadHex = 5009;
inline constexpr int kQxBadSignature = 5036;
inline constexpr int kQxBadCertificate = 5040;
inline constexpr int kQxBadPkcs7 = 5042;
inline constexpr int kQxBadKey = 5043;
// PEM armour missing or malformed, a type name over 110 characters, or DER
// that cannot be turned into an object.
inline constexpr int kQxBadArmour = 5045;
inline constexpr int kQxSignRefused = 5061;
inline constexpr int kQxVerifyRefused = 5062;
inline constexpr int kQxEncryptFailed = 5063;
inline constexpr int kQxDecryptFailed = 5064;
inline constexpr int kQxHashNotSupported = 5067;
inline constexpr int kQxCancelled = 5070;
inline constexpr int kQxWrongPin = 5071;
inline constexpr int kQxPinBlocked = 5072;
inline constexpr int kQxNoProvider = 5203;
inline constexpr int kQxKeySizeWrongPin = 5909;

// ---- Memory and the output record --------------------------------------------

struct QxBlob {
    std::uint32_t cbData;
    std::uint8_t* pbData;
};

// Zero-filled; null when it cannot be allocated.
void* qxxCAPIMalloc(std::size_t size);
// Null is ignored.
void qxxCAPIFree(void* memory);
// Frees the data if set, then zeroes pointer and count.
void qxxCAPIFreeData(QxBlob* blob);
// Reverses the bytes in place: between ASN.1's big-endian order and the
// little-endian order of key blobs.
void qxxCAPIReverseBytes(QxBlob* blob);

// The output rule: with out->pbData null, allocates size + extra zero bytes
// (5002 when it cannot); with it set, out->cbData is the capacity and a
// capacity below size gives 5003 with size stored in out->cbData. On 0,
// out->pbData has room for size bytes (and the extra ones when allocated).
// allocated tells the caller whether to free on a later failure.
int qxxCAPIPrepareOutput(QxBlob* out, std::size_t size, std::size_t extra, bool* allocated);

// Bytes of key material, wiped when their storage goes.
template <class T>
struct QxWipingAllocator {
    using value_type = T;
    QxWipingAllocator() = default;
    template <class U>
    QxWipingAllocator(const QxWipingAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) {
        explicit_bzero(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const QxWipingAllocator<U>&) const {
        return true;
    }
};
using QxSecretBytes = std::vector<std::uint8_t, QxWipingAllocator<std::uint8_t>>;

// ---- Handles ---------------------------------------------------------------

inline constexpr std::uint32_t kQxHandleCertificate = 1;
inline constexpr std::uint32_t kQxHandlePkcs7 = 4;
inline constexpr std::uint32_t kQxHandleSignerInfo = 5;
inline constexpr std::uint32_t kQxHandlePrivateKey = 6;
inline constexpr std::uint32_t kQxHandlePublicKey = 7;
inline constexpr std::uint32_t kQxHandleStoreList = 8;
inline constexpr std::uint32_t kQxHandleHash = 9;
inline constexpr std::uint32_t kQxHandleSymKey = 10;
inline constexpr std::uint32_t kQxHandleHmac = 14;

struct QxCAPIHandle;

// Flags of the type table's operations.
inline constexpr std::uint32_t kQxAsn1Text = 0x1000;      // encode: write text
inline constexpr std::uint32_t kQxAsn1InputText = 0x2000; // decode: the input is text

// A row of the PEM type table: the handle type its decoder makes, the
// armour name its encoder writes (null: none), the names its decoder accepts
// (";"-separated; null: plain Base64 only), and its operations.
struct QxCAPIASN1Method {
    const char* name;
    std::uint32_t handleType;
    const char* aliases;
    // armour points to a word; non-zero writes the armour name (text only).
    int (*encode)(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags, const int* armour);
    int (*decode)(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                  std::uint32_t flags);
    // Two operations no row offers: they answer 5001.
    int (*control)(QxCAPIHandle* handle, std::uintptr_t argument);
    int (*control2)(QxCAPIHandle* handle, std::uintptr_t argument);
    // Releases the object and the handle record.
    void (*freeHandle)(QxCAPIHandle* handle);
};

struct QxCAPIHandle {
    std::uint32_t type;
    void* object;
    const QxCAPIASN1Method* row;
    std::uintptr_t extra;
};

// The objects behind handle types 9, 10 and 14.
struct QxHashObject {
    capi::HCRYPTPROV provider;
    capi::HCRYPTHASH hash;
};

struct QxHmacObject {
    capi::HCRYPTPROV provider;
    capi::HCRYPTHASH inner;
    capi::HCRYPTHASH outer;
    std::uint32_t blockLength;
    std::uint32_t digestLength;
};

struct QxSymKeyObject {
    capi::HCRYPTPROV provider;
    capi::HCRYPTKEY key;
    std::uint32_t blockLength;
    std::uint32_t ivLength;
    std::uint8_t iv[32];
    std::uint8_t heldBack[32];
    std::uint32_t heldBackCount;
};

// The key object behind handle types 6 (private) and 7 (public).
inline constexpr std::uint32_t kQxKeySpecCng = 0xFFFFFFFF;
struct QxCAPIKey {
    // Not used by this library; zero.
    std::uint8_t reserved[1024];
    // The provider of the key's container; for a CNG key the CNG key handle.
    std::uintptr_t provider;
    capi::HCRYPTKEY key;
    // AT_KEYEXCHANGE, AT_SIGNATURE or kQxKeySpecCng.
    std::uint32_t keySpec;
    std::uint32_t zero;
    // Set: releasing the object leaves key and provider alone.
    std::uint32_t borrowed;
};

// The key methods a key handle carries as its extra word.
struct QxCAPIKeyMethods {
    int (*encrypt)(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t unused, QxBlob* out);
    int (*decrypt)(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t unused, QxBlob* out);
    int (*sign)(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                const char* pin, std::uint32_t flags, QxBlob* out);
    int (*verify)(QxCAPIHandle* handle, const std::uint8_t* signature,
                  std::uint32_t signatureLength, const std::uint8_t* data, std::uint32_t length,
                  std::uint32_t flags);
    // The modulus length in bytes, or -1.
    int (*keySize)(QxCAPIHandle* handle);
    // Answers -1.
    int (*sixth)(QxCAPIHandle* handle);
};

// The object behind handle type 8: a 32-bit count (in an 8-byte slot), then
// that many certificate stores, each closed when the handle goes.
inline std::size_t qxxCAPIStoreListBytes(std::uint32_t count) {
    return sizeof(std::uint64_t) + count * sizeof(capi::HCERTSTORE);
}
inline capi::HCERTSTORE* qxxCAPIStoreListStores(void* list) {
    return reinterpret_cast<capi::HCERTSTORE*>(static_cast<std::uint8_t*>(list) +
                                               sizeof(std::uint64_t));
}

// 0, or 5002 with nothing stored.
int qxxCAPICreateHandle(QxCAPIHandle** out, std::uint32_t type, void* object,
                        const QxCAPIASN1Method* row, std::uintptr_t extra);
// Null is ignored. A handle with a row goes through the row's free function;
// otherwise its object is released by type (key material wiped), then the
// record is freed.
void qxxCAPIFreeHandle(QxCAPIHandle* handle);

// ---- Providers -------------------------------------------------------------

// container null: the default container, whose provider is cached for the
// life of the process. providerName, when given and pointing to a name, asks
// for that provider; pointing to null, it receives a copy of the chosen
// provider's name (freed with qxxCAPIFree). 0 when none can be acquired.
capi::HCRYPTPROV QxCAPI_AcquireContext(const char16_t* container, int create,
                                       char16_t** providerName);
capi::HCRYPTPROV QxCAPI_GetContext(const char16_t* container, int create);
// Releases it unless it is 0 or the cached default provider.
void QxCAPI_ReleaseContext(capi::HCRYPTPROV provider);
// 0; -1, -2, -3 when the descriptor, the DACL or the provider refuse.
int qxxCAPISetNullDacl(capi::HCRYPTPROV provider);
// Releases and forgets the cached default provider, so the next acquisition
// searches again (for tests).
void QxCAPI_ForgetDefaultForTest();

// ---- Error lines -----------------------------------------------------------

// "%s:%d:\n%s:%s" with "malloc NULL", at ERROR level.
void qxxCAPILogMalloc(const char* module, int line, const char* function);
// "%s:%d:\n%s:%s:%x" with the platform function and GetLastError.
void qxxCAPILogCall(const char* module, int line, const char* function,
                    const char* platformFunction);
// The plain-key import's form, "%s:%d:\n%s:%X".
void qxxCAPILogSymKey(const char* module, int line, const char* platformFunction,
                      capi::Dword error);
