#include "control/crypto/QxCAPILib.h"

#include "control/ControlLog.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr const char* kModule = "QxCAPILib";

// The library's own default key container.
constexpr char16_t kDefaultContainer[] = u"default.qx.capi.container";

struct Candidate {
    std::u16string_view name;
    capi::Dword type;
};

// Tried in this order.
constexpr Candidate kProviders[] = {
    {capi::kEnhancedRsaAesProvider, capi::PROV_RSA_AES},
    {capi::kEnhancedRsaAesPrototypeProvider, capi::PROV_RSA_AES},
    {capi::kEnhancedProvider, capi::PROV_RSA_FULL},
};

constexpr capi::Dword kKeySetFlags[] = {0, capi::CRYPT_MACHINE_KEYSET};

// The provider of the default container, kept for the life of the process
// once acquired. Without a lock: concurrent first acquisitions each search,
// the first one stored is kept and the others release theirs.
std::atomic<capi::HCRYPTPROV>& defaultProvider() {
    static std::atomic<capi::HCRYPTPROV> provider{0};
    return provider;
}

bool missingKeySet(capi::Dword error) {
    return error == capi::NTE_BAD_KEYSET || error == capi::NTE_KEYSET_NOT_DEF ||
           error == capi::NTE_BAD_KEYSET_PARAM;
}

// One provider's attempts, in the order the key-set flags are tried.
capi::HCRYPTPROV tryProvider(const Candidate& candidate, const char16_t* container,
                             bool defaultContainer, bool create) {
    // The names are views of literals, so their data ends with a NUL.
    const char16_t* name = candidate.name.data();
    for (const capi::Dword flags : kKeySetFlags) {
        capi::HCRYPTPROV provider = 0;
        if (defaultContainer && capi::CryptAcquireContextW(&provider, nullptr, name, candidate.type,
                                                           capi::CRYPT_VERIFYCONTEXT)) {
            return provider;
        }
        if (capi::CryptAcquireContextW(&provider, container, name, candidate.type, flags)) {
            return provider;
        }
        if (create && missingKeySet(capi::GetLastError()) &&
            capi::CryptAcquireContextW(&provider, container, name, candidate.type,
                                       flags | capi::CRYPT_NEWKEYSET)) {
            if (flags == capi::CRYPT_MACHINE_KEYSET) {
                // Every account may use a machine container made here.
                qxxCAPISetNullDacl(provider);
            }
            return provider;
        }
    }
    return 0;
}

char16_t* copyName(std::u16string_view name) {
    auto* copy = static_cast<char16_t*>(qxxCAPIMalloc((name.size() + 1) * sizeof(char16_t)));
    if (copy == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "QxCAPI_AcquireContext");
        return nullptr;
    }
    std::copy(name.begin(), name.end(), copy);
    return copy;
}

capi::HCRYPTPROV acquire(const char16_t* container, bool defaultContainer, int create,
                         char16_t** providerName) {
    const char16_t* wanted =
        providerName != nullptr && *providerName != nullptr ? *providerName : nullptr;
    for (const Candidate& candidate : kProviders) {
        if (wanted != nullptr && std::u16string_view(wanted) != candidate.name) {
            continue;
        }
        const capi::HCRYPTPROV provider =
            tryProvider(candidate, container, defaultContainer, create != 0);
        if (provider != 0) {
            if (providerName != nullptr && *providerName == nullptr) {
                *providerName = copyName(candidate.name);
            }
            return provider;
        }
    }
    qxxCAPILogCall(kModule, __LINE__, "QxCAPI_AcquireContext", "CryptAcquireContextW");
    return 0;
}

void wipe(void* memory, std::size_t size) {
    explicit_bzero(memory, size);
}

void releaseObject(QxCAPIHandle* handle) {
    switch (handle->type) {
    case kQxHandleStoreList:
        if (handle->object != nullptr) {
            const std::uint32_t count = *static_cast<const std::uint32_t*>(handle->object);
            capi::HCERTSTORE* stores = qxxCAPIStoreListStores(handle->object);
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!capi::CertCloseStore(stores[i], 0)) {
                    qxxCAPILogCall(kModule, __LINE__, "qxxCAPIFreeHandle", "CertCloseStore");
                }
            }
            qxxCAPIFree(handle->object);
        }
        break;
    case kQxHandleHash: {
        auto* hash = static_cast<QxHashObject*>(handle->object);
        if (hash != nullptr) {
            if (hash->hash != 0) {
                capi::CryptDestroyHash(hash->hash);
            }
            QxCAPI_ReleaseContext(hash->provider);
            qxxCAPIFree(hash);
        }
        break;
    }
    case kQxHandleSymKey: {
        auto* key = static_cast<QxSymKeyObject*>(handle->object);
        if (key != nullptr) {
            if (key->key != 0) {
                capi::CryptDestroyKey(key->key);
            }
            QxCAPI_ReleaseContext(key->provider);
            wipe(key, sizeof *key);
            qxxCAPIFree(key);
        }
        break;
    }
    case kQxHandleHmac: {
        auto* hmac = static_cast<QxHmacObject*>(handle->object);
        if (hmac != nullptr) {
            if (hmac->inner != 0) {
                capi::CryptDestroyHash(hmac->inner);
            }
            if (hmac->outer != 0) {
                capi::CryptDestroyHash(hmac->outer);
            }
            QxCAPI_ReleaseContext(hmac->provider);
            wipe(hmac, sizeof *hmac);
            qxxCAPIFree(hmac);
        }
        break;
    }
    default:
        break;
    }
}

} // namespace

// ---- Memory and the output record --------------------------------------------

void* qxxCAPIMalloc(std::size_t size) {
    // A zero-byte request still gets a block of its own, so null always
    // means failure.
    return std::calloc(1, size == 0 ? 1 : size);
}

void qxxCAPIFree(void* memory) {
    std::free(memory);
}

void qxxCAPIFreeData(QxBlob* blob) {
    if (blob == nullptr) {
        return;
    }
    qxxCAPIFree(blob->pbData);
    blob->pbData = nullptr;
    blob->cbData = 0;
}

void qxxCAPIReverseBytes(QxBlob* blob) {
    if (blob == nullptr || blob->pbData == nullptr) {
        return;
    }
    std::reverse(blob->pbData, blob->pbData + blob->cbData);
}

int qxxCAPIPrepareOutput(QxBlob* out, std::size_t size, std::size_t extra, bool* allocated) {
    if (allocated != nullptr) {
        *allocated = false;
    }
    if (out == nullptr) {
        return kQxBadArgument;
    }
    // The count is 32 bits: a larger result could be neither stored nor
    // announced, and size + extra must not wrap.
    if (size > std::numeric_limits<std::uint32_t>::max() ||
        extra > std::numeric_limits<std::size_t>::max() - size) {
        return kQxNoMemory;
    }
    if (out->pbData == nullptr) {
        auto* data = static_cast<std::uint8_t*>(qxxCAPIMalloc(size + extra));
        if (data == nullptr) {
            return kQxNoMemory;
        }
        out->pbData = data;
        if (allocated != nullptr) {
            *allocated = true;
        }
        return kQxOk;
    }
    if (out->cbData < size) {
        out->cbData = static_cast<std::uint32_t>(size);
        return kQxBufferTooSmall;
    }
    return kQxOk;
}

// ---- Handles ---------------------------------------------------------------

int qxxCAPICreateHandle(QxCAPIHandle** out, std::uint32_t type, void* object,
                        const QxCAPIASN1Method* row, std::uintptr_t extra) {
    if (out == nullptr) {
        return kQxBadArgument;
    }
    auto* handle = static_cast<QxCAPIHandle*>(qxxCAPIMalloc(sizeof(QxCAPIHandle)));
    if (handle == nullptr) {
        qxxCAPILogMalloc(kModule, __LINE__, "qxxCAPICreateHandle");
        return kQxNoMemory;
    }
    handle->type = type;
    handle->object = object;
    handle->row = row;
    handle->extra = extra;
    *out = handle;
    return kQxOk;
}

void qxxCAPIFreeHandle(QxCAPIHandle* handle) {
    if (handle == nullptr) {
        return;
    }
    if (handle->row != nullptr && handle->row->freeHandle != nullptr) {
        handle->row->freeHandle(handle);
        return;
    }
    releaseObject(handle);
    qxxCAPIFree(handle);
}

// ---- Providers -------------------------------------------------------------

capi::HCRYPTPROV QxCAPI_AcquireContext(const char16_t* container, int create,
                                       char16_t** providerName) {
    if (container != nullptr) {
        return acquire(container, false, create, providerName);
    }
    const bool wantedNone = providerName != nullptr && *providerName == nullptr;
    auto& cached = defaultProvider();
    if (const capi::HCRYPTPROV provider = cached.load(std::memory_order_acquire)) {
        return provider;
    }
    const capi::HCRYPTPROV provider = acquire(kDefaultContainer, true, create, providerName);
    capi::HCRYPTPROV first = 0;
    if (provider == 0 || cached.compare_exchange_strong(first, provider)) {
        return provider;
    }
    // Another thread's first acquisition was cached meanwhile: that one is
    // everybody's, and like any cached answer it comes without a name.
    capi::CryptReleaseContext(provider, 0);
    if (providerName != nullptr && *providerName != nullptr && wantedNone) {
        qxxCAPIFree(*providerName);
        *providerName = nullptr;
    }
    return first;
}

capi::HCRYPTPROV QxCAPI_GetContext(const char16_t* container, int create) {
    return QxCAPI_AcquireContext(container, create, nullptr);
}

void QxCAPI_ReleaseContext(capi::HCRYPTPROV provider) {
    if (provider == 0 || provider == defaultProvider().load(std::memory_order_acquire)) {
        return;
    }
    if (!capi::CryptReleaseContext(provider, 0)) {
        qxxCAPILogCall(kModule, __LINE__, "QxCAPI_ReleaseContext", "CryptReleaseContext");
    }
}

int qxxCAPISetNullDacl(capi::HCRYPTPROV provider) {
    capi::SECURITY_DESCRIPTOR descriptor;
    if (!capi::InitializeSecurityDescriptor(&descriptor, capi::SECURITY_DESCRIPTOR_REVISION)) {
        qxxCAPILogCall(kModule, __LINE__, "qxxCAPISetNullDacl", "InitializeSecurityDescriptor");
        return -1;
    }
    if (!capi::SetSecurityDescriptorDacl(&descriptor, capi::kTrue, nullptr, capi::kFalse)) {
        qxxCAPILogCall(kModule, __LINE__, "qxxCAPISetNullDacl", "SetSecurityDescriptorDacl");
        return -2;
    }
    if (!capi::CryptSetProvParam(provider, capi::PP_KEYSET_SEC_DESCR,
                                 reinterpret_cast<const std::uint8_t*>(&descriptor),
                                 capi::DACL_SECURITY_INFORMATION)) {
        qxxCAPILogCall(kModule, __LINE__, "qxxCAPISetNullDacl", "CryptSetProvParam");
        return -3;
    }
    return 0;
}

void QxCAPI_ForgetDefaultForTest() {
    const capi::HCRYPTPROV provider = defaultProvider().exchange(0);
    if (provider != 0) {
        capi::CryptReleaseContext(provider, 0);
    }
}

// ---- Error lines -----------------------------------------------------------

namespace {
const char* text(const char* s) {
    return s != nullptr ? s : "";
}
} // namespace

void qxxCAPILogMalloc(const char* module, int line, const char* function) {
    Log_Write(kLogError, "%s:%d:\n%s:%s", text(module), line, text(function), "malloc NULL");
}

void qxxCAPILogCall(const char* module, int line, const char* function,
                    const char* platformFunction) {
    const capi::Dword error = capi::GetLastError();
    Log_Write(kLogError, "%s:%d:\n%s:%s:%x", text(module), line, text(function),
              text(platformFunction), static_cast<unsigned>(error));
}

void qxxCAPILogSymKey(const char* module, int line, const char* platformFunction,
                      capi::Dword error) {
    Log_Write(kLogError, "%s:%d:\n%s:%X", text(module), line, text(platformFunction),
              static_cast<unsigned>(error));
}
