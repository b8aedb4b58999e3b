#include "platform/cryptoapi/Hash.h"
#include "platform/cryptoapi/Key.h"

#include <algorithm>

namespace capi {

using namespace detail;

namespace {
constexpr Dword kSignFlags = CRYPT_NOHASHOID;
} // namespace

Bool CryptSignHashW(HCRYPTHASH hash, Dword keySpec, const char16_t*, Dword flags,
                    std::uint8_t* signature, Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptSignHashW")) {
        return kFalse;
    }
    Hash* const object = hashTable().find(hash);
    if (object == nullptr) {
        return fail(NTE_BAD_HASH);
    }
    if (length == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~kSignFlags) != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
        return fail(NTE_BAD_KEY);
    }
    const std::shared_ptr<RsaKey> key =
        object->container->slots[static_cast<std::size_t>(slotOf(keySpec))];
    if (key == nullptr || !key->hasPrivate) {
        return fail(NTE_NO_KEY);
    }
    const std::size_t modulus = key->modulusBytes();
    const bool bare = (flags & CRYPT_NOHASHOID) != 0;
    // The block's fit is known before the value: a placeholder of the
    // digest's length stands in for it.
    SecureBytes block;
    if (const Dword error = pkcs1SignatureBlock(
            modulus, object->algorithm, SecureBytes(object->method->digest_size, 0), bare, block);
        error != 0) {
        return fail(error);
    }
    return putOutput(signature, length, modulus, [&] {
        object->finish();
        pkcs1SignatureBlock(modulus, object->algorithm, object->value, bare, block);
        // The private operation reads little-endian and answers big-endian.
        std::reverse(block.begin(), block.end());
        SecureBytes result;
        if (!rsaPrivateOperation(*key, block.data(), result)) {
            return fail(NTE_BAD_KEY);
        }
        std::reverse_copy(result.begin(), result.end(), signature);
        *length = static_cast<Dword>(modulus);
        return kTrue;
    });
}

Bool CryptVerifySignatureW(HCRYPTHASH hash, const std::uint8_t* signature, Dword length,
                           HCRYPTKEY key, const char16_t*, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptVerifySignatureW")) {
        return kFalse;
    }
    Hash* const object = hashTable().find(hash);
    if (object == nullptr) {
        return fail(NTE_BAD_HASH);
    }
    const Key* const keyObject = keyTable().find(key);
    if (keyObject == nullptr || keyObject->rsa == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    if (signature == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~kSignFlags) != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    const RsaKey& rsa = *keyObject->rsa;
    const std::size_t modulus = rsa.modulusBytes();
    object->finish();
    SecureBytes expected;
    if (const Dword error = pkcs1SignatureBlock(modulus, object->algorithm, object->value,
                                                (flags & CRYPT_NOHASHOID) != 0, expected);
        error != 0) {
        return fail(error);
    }
    if (length != modulus) {
        return fail(NTE_BAD_SIGNATURE);
    }
    SecureBytes bigEndian(signature, signature + length);
    std::reverse(bigEndian.begin(), bigEndian.end());
    SecureBytes opened(modulus, 0);
    if (!rsaPublicOperation(rsa, bigEndian, opened.data())) {
        return fail(NTE_BAD_SIGNATURE);
    }
    std::reverse(opened.begin(), opened.end());
    return opened == expected ? kTrue : fail(NTE_BAD_SIGNATURE);
}

} // namespace capi
