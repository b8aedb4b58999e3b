#include "platform/cryptoapi/Internal.h"

#include "platform/random/Random.h"

#include <map>
#include <tuple>

namespace capi {

using namespace detail;

namespace {

struct ProviderName {
    std::u16string_view name;
    Dword type;
};
constexpr ProviderName kProviders[] = {
    {kEnhancedRsaAesProvider, PROV_RSA_AES},
    {kEnhancedRsaAesPrototypeProvider, PROV_RSA_AES},
    {kEnhancedProvider, PROV_RSA_FULL},
};
constexpr std::size_t kNoProvider = sizeof(kProviders) / sizeof(kProviders[0]);

char16_t foldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

// Provider names compare without regard to ASCII case, as names from a
// registry do.
bool sameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// Containers live for the life of the process unless deleted.
using ContainerKey = std::tuple<std::size_t, std::u16string, bool>;
std::map<ContainerKey, std::shared_ptr<Container>>& containers() {
    static std::map<ContainerKey, std::shared_ptr<Container>> store;
    return store;
}

constexpr Dword kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

} // namespace

namespace detail {
HandleTable<Provider, HandleKind::Provider>& providerTable() {
    static HandleTable<Provider, HandleKind::Provider> table;
    return table;
}
} // namespace detail

Bool CryptAcquireContextW(HCRYPTPROV* prov, const char16_t* container, const char16_t* provider,
                          Dword provType, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptAcquireContextW")) {
        return kFalse;
    }
    if (prov == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~kAcquireFlags) != 0 ||
        (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) ==
            (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET) ||
        (flags & (CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET)) ==
            (CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET)) {
        return fail(NTE_BAD_FLAGS);
    }

    std::size_t index = kNoProvider;
    if (provider == nullptr) {
        for (std::size_t i = 0; i < kNoProvider; ++i) {
            if (kProviders[i].type == provType) {
                index = i;
                break;
            }
        }
        if (index == kNoProvider) {
            return fail(NTE_PROV_TYPE_NOT_DEF);
        }
    } else {
        for (std::size_t i = 0; i < kNoProvider; ++i) {
            if (sameName(kProviders[i].name, provider)) {
                index = i;
                break;
            }
        }
        if (index == kNoProvider) {
            return fail(NTE_KEYSET_NOT_DEF);
        }
        if (kProviders[index].type != provType) {
            return fail(NTE_PROV_TYPE_NO_MATCH);
        }
    }

    auto opened = std::make_unique<Provider>();
    opened->providerIndex = index;
    if ((flags & CRYPT_VERIFYCONTEXT) != 0) {
        opened->verifyContext = true;
        opened->container = std::make_shared<Container>();
        *prov = providerTable().add(std::move(opened));
        return kTrue;
    }

    // Null and the empty name both mean the default container.
    const ContainerKey key{index, container == nullptr ? std::u16string() : container,
                           (flags & CRYPT_MACHINE_KEYSET) != 0};
    auto& store = containers();
    const auto found = store.find(key);
    if ((flags & CRYPT_DELETEKEYSET) != 0) {
        if (found == store.end()) {
            return fail(NTE_BAD_KEYSET);
        }
        store.erase(found);
        *prov = 0;
        return kTrue;
    }
    if ((flags & CRYPT_NEWKEYSET) != 0) {
        if (found != store.end()) {
            return fail(NTE_EXISTS);
        }
        opened->container = std::make_shared<Container>();
        store.emplace(key, opened->container);
    } else {
        if (found == store.end()) {
            return fail(NTE_BAD_KEYSET);
        }
        opened->container = found->second;
    }
    *prov = providerTable().add(std::move(opened));
    return kTrue;
}

Bool CryptContextAddRef(HCRYPTPROV prov, Dword* reserved, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptContextAddRef")) {
        return kFalse;
    }
    Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (reserved != nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    ++provider->references;
    return kTrue;
}

Bool CryptReleaseContext(HCRYPTPROV prov, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptReleaseContext")) {
        return kFalse;
    }
    Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    // Nonzero flags are refused, but the reference is released all the same.
    if (--provider->references == 0) {
        providerTable().remove(prov);
    }
    return flags == 0 ? kTrue : fail(NTE_BAD_FLAGS);
}

Bool CryptSetProvParam(HCRYPTPROV prov, Dword param, const std::uint8_t* data, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptSetProvParam")) {
        return kFalse;
    }
    if (providerTable().find(prov) == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (param == PP_KEYEXCHANGE_PIN || param == PP_SIGNATURE_PIN) {
        // Keys in process memory are not guarded by a PIN.
        return flags == 0 ? kTrue : fail(NTE_BAD_FLAGS);
    }
    if (param != PP_KEYSET_SEC_DESCR) {
        return fail(NTE_BAD_TYPE);
    }
    if (flags != DACL_SECURITY_INFORMATION) {
        return fail(NTE_BAD_FLAGS);
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Containers in process memory have no access list to change.
    return kTrue;
}

Bool CryptGenRandom(HCRYPTPROV prov, Dword length, std::uint8_t* buffer) {
    const auto lock = lockCall();
    if (injectedFailure("CryptGenRandom")) {
        return kFalse;
    }
    if (providerTable().find(prov) == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (length == 0) {
        return kTrue;
    }
    if (buffer == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    return platform::randomBytes(buffer, length) ? kTrue : fail(NTE_FAIL);
}

Bool InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, Dword revision) {
    const auto lock = lockCall();
    if (injectedFailure("InitializeSecurityDescriptor")) {
        return kFalse;
    }
    if (descriptor == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        return fail(ERROR_UNKNOWN_REVISION);
    }
    *descriptor = SECURITY_DESCRIPTOR{};
    descriptor->revision = static_cast<std::uint8_t>(revision);
    return kTrue;
}

Bool SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, Bool present, const void* dacl,
                               Bool defaulted) {
    const auto lock = lockCall();
    if (injectedFailure("SetSecurityDescriptorDacl")) {
        return kFalse;
    }
    if (descriptor == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (descriptor->revision != SECURITY_DESCRIPTOR_REVISION) {
        return fail(ERROR_UNKNOWN_REVISION);
    }
    descriptor->daclPresent = present != kFalse;
    descriptor->dacl = present != kFalse ? dacl : nullptr;
    descriptor->daclDefaulted = present != kFalse && defaulted != kFalse;
    return kTrue;
}

} // namespace capi
