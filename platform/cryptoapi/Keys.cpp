#include "platform/cryptoapi/Hash.h"
#include "platform/cryptoapi/Key.h"

#include "platform/random/Random.h"

namespace capi {

using namespace detail;

namespace detail {

HandleTable<Key, HandleKind::Key>& keyTable() {
    static HandleTable<Key, HandleKind::Key> table;
    return table;
}

int slotOf(AlgId algorithmOrSpec) {
    switch (algorithmOrSpec) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
        return 0;
    case AT_SIGNATURE:
    case CALG_RSA_SIGN:
        return 1;
    default:
        return -1;
    }
}

std::uintptr_t addRsaHandle(std::shared_ptr<RsaKey> rsa) {
    auto key = std::make_unique<Key>();
    key->algorithm = rsa->algorithm;
    key->rsa = std::move(rsa);
    return keyTable().add(std::move(key));
}

} // namespace detail

namespace {

constexpr Dword kKeyFlags = CRYPT_EXPORTABLE | CRYPT_NO_SALT;
constexpr Dword kDefaultRsaBits = 1024;

// The key body length for a length in bits from CryptGenKey's upper flag
// bits (0: the algorithm's default); 0 when the algorithm has no such length.
std::size_t symmetricLength(AlgId algorithm, Dword bits) {
    if (bits == 0) {
        return SymmetricKey::defaultLength(algorithm);
    }
    switch (algorithm) {
    case CALG_RC4:
        return bits % 8 == 0 && bits >= 40 && bits <= 128 ? bits / 8 : 0;
    // The DES family may be named by its effective length or its body.
    case CALG_DES:
        return bits == 56 || bits == 64 ? 8 : 0;
    case CALG_3DES_112:
        return bits == 112 || bits == 128 ? 16 : 0;
    case CALG_3DES:
        return bits == 168 || bits == 192 ? 24 : 0;
    default:
        return bits == SymmetricKey::defaultLength(algorithm) * 8 ? bits / 8 : 0;
    }
}

bool isDesFamily(AlgId algorithm) {
    return algorithm == CALG_DES || algorithm == CALG_3DES_112 || algorithm == CALG_3DES;
}

// Random key bytes; DES keys get odd parity and no weak part.
bool randomSymmetricBody(AlgId algorithm, SecureBytes& body) {
    for (;;) {
        if (!platform::randomBytes(body.data(), body.size())) {
            return false;
        }
        if (!isDesFamily(algorithm)) {
            return true;
        }
        des_fix_parity(body.size(), body.data(), body.data());
        bool weak = false;
        des_ctx probe;
        for (std::size_t at = 0; at < body.size(); at += DES_KEY_SIZE) {
            weak = weak || des_set_key(&probe, body.data() + at) == 0;
        }
        wipe(&probe, sizeof probe);
        if (!weak) {
            return true;
        }
    }
}

// Finds the hash a CryptEncrypt or CryptDecrypt call feeds (none for handle
// 0); false, with the error stored, when the handle is wrong or the hash is
// finished.
bool findOpenHash(HCRYPTHASH hash, Hash** found) {
    *found = nullptr;
    if (hash == 0) {
        return true;
    }
    *found = hashTable().find(hash);
    if (*found == nullptr) {
        fail(NTE_BAD_HASH);
        return false;
    }
    if ((*found)->finished) {
        fail(NTE_BAD_HASH_STATE);
        return false;
    }
    return true;
}

} // namespace

Bool CryptGenKey(HCRYPTPROV prov, AlgId algorithm, Dword flags, HCRYPTKEY* key) {
    auto lock = lockCall();
    if (injectedFailure("CryptGenKey")) {
        return kFalse;
    }
    const Provider* const provider = providerTable().find(prov);
    if (provider == nullptr) {
        return fail(NTE_BAD_UID);
    }
    if (key == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const Dword bits = flags >> 16;
    if ((flags & 0xFFFF & ~kKeyFlags) != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (const int slot = slotOf(algorithm); slot >= 0) {
        const Dword rsaBits = bits == 0 ? kDefaultRsaBits : bits;
        if (rsaBits < kMinRsaBits || rsaBits > kMaxRsaBits || rsaBits % 16 != 0) {
            return fail(NTE_BAD_FLAGS);
        }
        auto rsa = std::make_shared<RsaKey>();
        rsa->algorithm = slot == 0 ? CALG_RSA_KEYX : CALG_RSA_SIGN;
        rsa->exportable = (flags & CRYPT_EXPORTABLE) != 0;
        const std::shared_ptr<Container> container = provider->container;
        // Finding primes takes long; other threads go on meanwhile.
        lock.unlock();
        const bool made = rsaGenerate(*rsa, rsaBits);
        lock.lock();
        if (!made) {
            return fail(NTE_FAIL);
        }
        container->slots[static_cast<std::size_t>(slot)] = rsa;
        *key = addRsaHandle(std::move(rsa));
        return kTrue;
    }
    if (!SymmetricKey::isSymmetric(algorithm)) {
        return fail(NTE_BAD_ALGID);
    }
    const std::size_t length = symmetricLength(algorithm, bits);
    if (length == 0) {
        return fail(NTE_BAD_FLAGS);
    }
    SecureBytes body(length);
    if (!randomSymmetricBody(algorithm, body)) {
        return fail(NTE_FAIL);
    }
    auto made = std::make_unique<Key>();
    made->algorithm = algorithm;
    made->exportable = (flags & CRYPT_EXPORTABLE) != 0;
    made->symmetric = std::make_unique<SymmetricKey>(algorithm, body.data(), body.size());
    *key = keyTable().add(std::move(made));
    return kTrue;
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
    const auto& stored = provider->container->slots[static_cast<std::size_t>(slotOf(keySpec))];
    if (stored == nullptr) {
        return fail(NTE_NO_KEY);
    }
    *key = addRsaHandle(stored);
    return kTrue;
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
    const SymmetricKey* const symmetric = object->symmetric.get();
    switch (param) {
    case KP_ALGID:
        return putDword(object->algorithm, data, length);
    case KP_BLOCKLEN:
        // An RSA key's block is its modulus.
        return putDword(symmetric != nullptr ? static_cast<Dword>(symmetric->blockLength() * 8)
                                             : object->rsa->bits,
                        data, length);
    case KP_KEYLEN:
        return putDword(symmetric != nullptr ? static_cast<Dword>(symmetric->body().size() * 8)
                                             : object->rsa->bits,
                        data, length);
    case KP_MODE:
        return symmetric != nullptr ? putDword(symmetric->mode(), data, length)
                                    : fail(NTE_BAD_TYPE);
    case KP_IV:
        if (symmetric == nullptr) {
            return fail(NTE_BAD_TYPE);
        }
        return putBytes(symmetric->iv(), data, length);
    default:
        return fail(NTE_BAD_TYPE);
    }
}

Bool CryptSetKeyParam(HCRYPTKEY key, Dword param, const std::uint8_t* data, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CryptSetKeyParam")) {
        return kFalse;
    }
    Key* const object = keyTable().find(key);
    if (object == nullptr) {
        return fail(NTE_BAD_KEY);
    }
    if (flags != 0) {
        return fail(NTE_BAD_FLAGS);
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    SymmetricKey* const symmetric = object->symmetric.get();
    if (symmetric == nullptr || (param != KP_IV && param != KP_MODE)) {
        return fail(NTE_BAD_TYPE);
    }
    // The stream cipher takes both and has no use for either.
    if (symmetric->blockLength() == 0) {
        return kTrue;
    }
    if (param == KP_IV) {
        symmetric->setIv(data);
        return kTrue;
    }
    const Dword mode = loadLe32(data);
    if (mode != CRYPT_MODE_CBC && mode != CRYPT_MODE_ECB) {
        return fail(NTE_BAD_DATA);
    }
    symmetric->setMode(mode);
    return kTrue;
}

namespace {

// The checks CryptEncrypt and CryptDecrypt share, in the order they are made:
// the key, or null with the error set.
Key* cipherCallKey(const char* function, HCRYPTKEY key, HCRYPTHASH hash, Dword flags,
                   const Dword* length, Hash** hashObject) {
    if (injectedFailure(function)) {
        return nullptr;
    }
    Key* const object = keyTable().find(key);
    if (object == nullptr) {
        fail(NTE_BAD_KEY);
        return nullptr;
    }
    if (!findOpenHash(hash, hashObject)) {
        return nullptr;
    }
    if (flags != 0) {
        fail(NTE_BAD_FLAGS);
        return nullptr;
    }
    if (length == nullptr) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (object->symmetric == nullptr && object->rsa == nullptr) {
        fail(NTE_BAD_KEY);
        return nullptr;
    }
    return object;
}

// One PKCS #1 v1.5 message under the public half of an RSA key.
Bool rsaEncrypt(const RsaKey& rsa, Hash* hash, Bool final, std::uint8_t* data, Dword* length,
                Dword bufferLength) {
    const std::size_t modulus = rsa.modulusBytes();
    const std::size_t input = *length;
    if (final == kFalse) {
        return fail(NTE_BAD_DATA);
    }
    if (input + kPkcs1Overhead > modulus) {
        return fail(NTE_BAD_LEN);
    }
    if (data == nullptr) {
        *length = static_cast<Dword>(modulus);
        return kTrue;
    }
    if (bufferLength < modulus) {
        *length = static_cast<Dword>(modulus);
        return fail(ERROR_MORE_DATA);
    }
    SecureBytes block;
    if (!pkcs1EncryptionBlock(modulus, data, input, block)) {
        return fail(NTE_FAIL);
    }
    if (!rsaPublicOperation(rsa, block, data)) {
        return fail(NTE_BAD_KEY);
    }
    if (hash != nullptr) {
        hash->update(block.data() + (modulus - input), input);
    }
    *length = static_cast<Dword>(modulus);
    return kTrue;
}

Bool rsaDecrypt(const RsaKey& rsa, Hash* hash, Bool final, std::uint8_t* data, Dword* length) {
    if (!rsa.hasPrivate) {
        return fail(NTE_BAD_KEY);
    }
    const std::size_t modulus = rsa.modulusBytes();
    if (final == kFalse) {
        return fail(NTE_BAD_DATA);
    }
    if (*length != modulus) {
        return fail(NTE_BAD_LEN);
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    SecureBytes block;
    SecureBytes message;
    if (!rsaPrivateOperation(rsa, data, block) || !pkcs1OpenEncryptionBlock(block, message)) {
        return fail(NTE_BAD_DATA);
    }
    std::copy(message.begin(), message.end(), data);
    wipe(data + message.size(), modulus - message.size());
    if (hash != nullptr) {
        hash->update(data, message.size());
    }
    *length = static_cast<Dword>(message.size());
    return kTrue;
}

} // namespace

Bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length, Dword bufferLength) {
    const auto lock = lockCall();
    Hash* hashObject = nullptr;
    Key* const object = cipherCallKey("CryptEncrypt", key, hash, flags, length, &hashObject);
    if (object == nullptr) {
        return kFalse;
    }
    if (object->rsa != nullptr) {
        return rsaEncrypt(*object->rsa, hashObject, final, data, length, bufferLength);
    }
    SymmetricKey* const symmetric = object->symmetric.get();
    const std::size_t input = *length;
    const std::size_t block = symmetric->blockLength();
    if (block != 0 && final == kFalse && input % block != 0) {
        return fail(NTE_BAD_DATA);
    }
    const std::size_t output = symmetric->encryptedLength(input, final != kFalse);
    if (data == nullptr) {
        *length = static_cast<Dword>(output);
        return kTrue;
    }
    if (bufferLength < output) {
        *length = static_cast<Dword>(output);
        return fail(ERROR_MORE_DATA);
    }
    if (hashObject != nullptr) {
        hashObject->update(data, input);
    }
    symmetric->encrypt(data, input, final != kFalse);
    *length = static_cast<Dword>(output);
    return kTrue;
}

Bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length) {
    const auto lock = lockCall();
    Hash* hashObject = nullptr;
    Key* const object = cipherCallKey("CryptDecrypt", key, hash, flags, length, &hashObject);
    if (object == nullptr) {
        return kFalse;
    }
    if (object->rsa != nullptr) {
        return rsaDecrypt(*object->rsa, hashObject, final, data, length);
    }
    SymmetricKey* const symmetric = object->symmetric.get();
    const std::size_t input = *length;
    const std::size_t block = symmetric->blockLength();
    if (block != 0 && (input % block != 0 || (final != kFalse && input == 0))) {
        return fail(NTE_BAD_DATA);
    }
    if (data == nullptr && input != 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::size_t output = 0;
    if (!symmetric->decrypt(data, input, final != kFalse, &output)) {
        return fail(NTE_BAD_DATA);
    }
    if (hashObject != nullptr) {
        hashObject->update(data, output);
    }
    *length = static_cast<Dword>(output);
    return kTrue;
}

Bool CryptDestroyKey(HCRYPTKEY key) {
    const auto lock = lockCall();
    if (injectedFailure("CryptDestroyKey")) {
        return kFalse;
    }
    return keyTable().remove(key) != nullptr ? kTrue : fail(NTE_BAD_KEY);
}

} // namespace capi
