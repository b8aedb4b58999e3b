#include "platform/cryptoapi/Key.h"

namespace capi {

using namespace detail;

namespace detail {
HandleTable<Key, HandleKind::Key>& keyTable() {
    static HandleTable<Key, HandleKind::Key> table;
    return table;
}
} // namespace detail

Bool CryptGenKey(HCRYPTPROV prov, AlgId algorithm, Dword flags, HCRYPTKEY* key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptGenKey")) {
        return kFalse;
    }
    if (providerTable().find(prov) == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (key == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    (void)algorithm;
    (void)flags;
    return fail(NTE_BAD_ALGID);
}

Bool CryptGetUserKey(HCRYPTPROV prov, Dword keySpec, HCRYPTKEY* key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptGetUserKey")) {
        return kFalse;
    }
    Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (key == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
        return fail(NTE_BAD_KEY);
    }
    return fail(NTE_NO_KEY);
}

Bool CryptImportKey(HCRYPTPROV prov, const std::uint8_t* blob, Dword length, HCRYPTKEY importKey,
                    Dword flags, HCRYPTKEY* key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptImportKey")) {
        return kFalse;
    }
    if (providerTable().find(prov) == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (blob == nullptr || key == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    (void)length;
    (void)importKey;
    (void)flags;
    return fail(NTE_BAD_ALGID);
}

Bool CryptExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, Dword blobType, Dword flags,
                    std::uint8_t* data, Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptExportKey")) {
        return kFalse;
    }
    if (keyTable().find(key) == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    (void)exportKey;
    (void)blobType;
    (void)flags;
    (void)data;
    (void)length;
    return fail(NTE_BAD_ALGID);
}

Bool CryptGetKeyParam(HCRYPTKEY key, Dword param, std::uint8_t* data, Dword* length, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptGetKeyParam")) {
        return kFalse;
    }
    Key* const object = keyTable().find(key);
    if (object == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    if (length == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (param == KP_ALGID) {
        return putDword(object->algorithm, data, length);
    }
    return fail(NTE_BAD_TYPE);
}

Bool CryptSetKeyParam(HCRYPTKEY key, Dword param, const std::uint8_t* data, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptSetKeyParam")) {
        return kFalse;
    }
    if (keyTable().find(key) == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    (void)param;
    (void)data;
    (void)flags;
    return fail(NTE_BAD_TYPE);
}

Bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length, Dword bufferLength) {
    const auto lock = lockCall();
    if (injectedFailure("CryptEncrypt")) {
        return kFalse;
    }
    if (keyTable().find(key) == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    (void)hash;
    (void) final;
    (void)flags;
    (void)data;
    (void)length;
    (void)bufferLength;
    return fail(NTE_BAD_KEY);
}

Bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptDecrypt")) {
        return kFalse;
    }
    if (keyTable().find(key) == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    (void)hash;
    (void) final;
    (void)flags;
    (void)data;
    (void)length;
    return fail(NTE_BAD_KEY);
}

Bool CryptDestroyKey(HCRYPTKEY key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptDestroyKey")) {
        return kFalse;
    }
    return keyTable().remove(key) != nullptr ? kTrue : fail(NTE_BAD_KEY);
}

} // namespace capi
