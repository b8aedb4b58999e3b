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
    if (providerTable().find(prov) == nullptr) {
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
    switch (prepareOutput(data, length, object->method->digest_size)) {
    case Output::SizeOnly:
        return kTrue;
    case Output::TooShort:
        return kFalse;
    case Output::Write:
        break;
    }
    if (!object->finished) {
        object->value.resize(object->method->digest_size);
        object->method->digest(object->context.data(), object->value.size(), object->value.data());
        wipe(object->context.data(), object->context.size());
        object->finished = true;
    }
    std::copy(object->value.begin(), object->value.end(), data);
    *length = static_cast<Dword>(object->value.size());
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
