#include "platform/cryptoapi/Hash.h"

namespace capi {

using namespace detail;

namespace {

const nettle_hash* methodOf(AlgId algorithm) {
    switch (algorithm) {
    case CALG_MD5:
        return &nettle_md5;
    case CALG_SHA1:
        return &nettle_sha1;
    case CALG_SHA_256:
        return &nettle_sha256;
    case CALG_SHA_384:
        return &nettle_sha384;
    case CALG_SHA_512:
        return &nettle_sha512;
    default:
        return nullptr;
    }
}

} // namespace

namespace detail {
HandleTable<Hash, HandleKind::Hash>& hashTable() {
    static HandleTable<Hash, HandleKind::Hash> table;
    return table;
}
} // namespace detail

Bool CryptCreateHash(HCRYPTPROV prov, AlgId algorithm, HCRYPTKEY key, Dword flags,
                     HCRYPTHASH* hash) {
    const auto lock = lockCall();
    if (injectedFailure("CryptCreateHash")) {
        return kFalse;
    }
    const Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (hash == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const nettle_hash* const method = methodOf(algorithm);
    if (method == nullptr) {
        return fail(NTE_BAD_ALGID);
    }
    // These hashes take no key.
    if (key != 0) {
        return fail(NTE_BAD_KEY);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    auto created = std::make_unique<Hash>();
    created->algorithm = algorithm;
    created->method = method;
    created->container = provider->container;
    created->context.resize(method->context_size);
    method->init(created->context.data());
    *hash = hashTable().add(std::move(created));
    return kTrue;
}

Bool CryptHashData(HCRYPTHASH hash, const std::uint8_t* data, Dword length, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptHashData")) {
        return kFalse;
    }
    Hash* const object = hashTable().find(hash);
    if (object == nullptr) {
        return fail(NTE_BAD_HASH);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (data == nullptr && length != 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (object->finished) {
        return fail(NTE_BAD_HASH_STATE);
    }
    object->update(data, length);
    return kTrue;
}

Bool CryptGetHashParam(HCRYPTHASH hash, Dword param, std::uint8_t* data, Dword* length,
                       Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptGetHashParam")) {
        return kFalse;
    }
    Hash* const object = hashTable().find(hash);
    if (object == nullptr) {
        return fail(NTE_BAD_HASH);
    }
    if (length == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    switch (param) {
    case HP_ALGID:
        return putDword(object->algorithm, data, length);
    case HP_HASHSIZE:
        return putDword(object->method->digest_size, data, length);
    case HP_HASHVAL:
        break;
    default:
        return fail(NTE_BAD_TYPE);
    }
    // Finished only once the value is written out.
    return putOutput(data, length, object->method->digest_size, [&] {
        object->finish();
        std::copy(object->value.begin(), object->value.end(), data);
        *length = static_cast<Dword>(object->value.size());
        return kTrue;
    });
}

Bool CryptSetHashParam(HCRYPTHASH hash, Dword param, const std::uint8_t* data, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptSetHashParam")) {
        return kFalse;
    }
    Hash* const object = hashTable().find(hash);
    if (object == nullptr) {
        return fail(NTE_BAD_HASH);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (param != HP_HASHVAL) {
        return fail(NTE_BAD_TYPE);
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (object->finished) {
        return fail(NTE_BAD_HASH_STATE);
    }
    object->value.assign(data, data + object->method->digest_size);
    wipe(object->context.data(), object->context.size());
    object->finished = true;
    return kTrue;
}

Bool CryptDestroyHash(HCRYPTHASH hash) {
    const auto lock = lockCall();
    if (injectedFailure("CryptDestroyHash")) {
        return kFalse;
    }
    return hashTable().remove(hash) != nullptr ? kTrue : fail(NTE_BAD_HASH);
}

} // namespace capi
