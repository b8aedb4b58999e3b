#include "platform/cryptoapi/Symmetric.h"

#include <nettle/cbc.h>

#include <algorithm>

namespace capi::detail {

namespace {

template <class Ctx, void (*F)(const Ctx*, std::size_t, std::uint8_t*, const std::uint8_t*)>
void blockFunction(const void* ctx, std::size_t length, std::uint8_t* dst,
                   const std::uint8_t* src) {
    F(static_cast<const Ctx*>(ctx), length, dst, src);
}

} // namespace

bool SymmetricKey::isSymmetric(AlgId algorithm) {
    switch (algorithm) {
    case CALG_DES:
    case CALG_3DES_112:
    case CALG_3DES:
    case CALG_RC4:
    case CALG_AES_128:
    case CALG_AES_192:
    case CALG_AES_256:
        return true;
    default:
        return false;
    }
}

bool SymmetricKey::lengthFits(AlgId algorithm, std::size_t length) {
    if (algorithm == CALG_RC4) {
        return length >= 5 && length <= 16;
    }
    return isSymmetric(algorithm) && length == defaultLength(algorithm);
}

std::size_t SymmetricKey::defaultLength(AlgId algorithm) {
    switch (algorithm) {
    case CALG_DES:
        return DES_KEY_SIZE;
    case CALG_3DES_112:
    case CALG_RC4:
    case CALG_AES_128:
        return 16;
    case CALG_3DES:
    case CALG_AES_192:
        return 24;
    case CALG_AES_256:
        return 32;
    default:
        return 0;
    }
}

SymmetricKey::SymmetricKey(AlgId algorithm, const std::uint8_t* key, std::size_t length)
    : algorithm_(algorithm), body_(key, key + length) {
    switch (algorithm) {
    case CALG_RC4:
        block_ = 0;
        break;
    case CALG_DES:
    case CALG_3DES_112:
    case CALG_3DES:
        block_ = DES_BLOCK_SIZE;
        break;
    default:
        block_ = AES_BLOCK_SIZE;
        break;
    }
    iv_.assign(block_, 0);
    chain_ = iv_;
    schedule();
}

SymmetricKey::~SymmetricKey() {
    wipe(&encrypt_, sizeof encrypt_);
    wipe(&decrypt_, sizeof decrypt_);
}

void SymmetricKey::schedule() {
    switch (algorithm_) {
    case CALG_DES:
        // Weak keys are the caller's business; the schedule is made anyway.
        des_set_key(&encrypt_.des, body_.data());
        decrypt_.des = encrypt_.des;
        encryptBlock_ = blockFunction<des_ctx, des_encrypt>;
        decryptBlock_ = blockFunction<des_ctx, des_decrypt>;
        break;
    case CALG_3DES_112:
    case CALG_3DES: {
        SecureBytes full(body_);
        if (full.size() == 16) {
            full.insert(full.end(), body_.begin(), body_.begin() + 8);
        }
        des3_set_key(&encrypt_.des3, full.data());
        decrypt_.des3 = encrypt_.des3;
        encryptBlock_ = blockFunction<des3_ctx, des3_encrypt>;
        decryptBlock_ = blockFunction<des3_ctx, des3_decrypt>;
        break;
    }
    case CALG_AES_128:
        aes128_set_encrypt_key(&encrypt_.aes128, body_.data());
        aes128_invert_key(&decrypt_.aes128, &encrypt_.aes128);
        encryptBlock_ = blockFunction<aes128_ctx, aes128_encrypt>;
        decryptBlock_ = blockFunction<aes128_ctx, aes128_decrypt>;
        break;
    case CALG_AES_192:
        aes192_set_encrypt_key(&encrypt_.aes192, body_.data());
        aes192_invert_key(&decrypt_.aes192, &encrypt_.aes192);
        encryptBlock_ = blockFunction<aes192_ctx, aes192_encrypt>;
        decryptBlock_ = blockFunction<aes192_ctx, aes192_decrypt>;
        break;
    case CALG_AES_256:
        aes256_set_encrypt_key(&encrypt_.aes256, body_.data());
        aes256_invert_key(&decrypt_.aes256, &encrypt_.aes256);
        encryptBlock_ = blockFunction<aes256_ctx, aes256_encrypt>;
        decryptBlock_ = blockFunction<aes256_ctx, aes256_decrypt>;
        break;
    case CALG_RC4:
        arcfour_set_key(&encrypt_.rc4, body_.size(), body_.data());
        break;
    default:
        break;
    }
}

void SymmetricKey::restart() {
    if (block_ == 0) {
        // The stream starts again from the key.
        arcfour_set_key(&encrypt_.rc4, body_.size(), body_.data());
        return;
    }
    std::copy(iv_.begin(), iv_.end(), chain_.begin());
}

void SymmetricKey::setMode(Dword mode) {
    mode_ = mode;
    restart();
}

void SymmetricKey::setIv(const std::uint8_t* iv) {
    std::copy(iv, iv + block_, iv_.begin());
    restart();
}

std::size_t SymmetricKey::encryptedLength(std::size_t length, bool final) const {
    if (block_ == 0 || !final) {
        return length;
    }
    return (length / block_ + 1) * block_;
}

void SymmetricKey::cipherBlocks(std::uint8_t* data, std::size_t length, bool encrypting) {
    if (length == 0) {
        return;
    }
    const Schedule& schedule = encrypting ? encrypt_ : decrypt_;
    if (mode_ == CRYPT_MODE_ECB) {
        (encrypting ? encryptBlock_ : decryptBlock_)(&schedule, length, data, data);
    } else if (encrypting) {
        cbc_encrypt(&schedule, encryptBlock_, block_, chain_.data(), length, data, data);
    } else {
        cbc_decrypt(&schedule, decryptBlock_, block_, chain_.data(), length, data, data);
    }
}

void SymmetricKey::encrypt(std::uint8_t* data, std::size_t length, bool final) {
    if (block_ == 0) {
        arcfour_crypt(&encrypt_.rc4, length, data, data);
    } else {
        const std::size_t total = encryptedLength(length, final);
        // PKCS #5: every pad byte holds the pad length, 1 to a whole block.
        std::fill(data + length, data + total, static_cast<std::uint8_t>(total - length));
        cipherBlocks(data, total, true);
    }
    if (final) {
        restart();
    }
}

bool SymmetricKey::decrypt(std::uint8_t* data, std::size_t length, bool final,
                           std::size_t* outLength) {
    if (block_ == 0) {
        arcfour_crypt(&encrypt_.rc4, length, data, data);
        *outLength = length;
        if (final) {
            restart();
        }
        return true;
    }
    if (!final) {
        cipherBlocks(data, length, false);
        *outLength = length;
        return true;
    }
    // The last piece is opened in a scratch copy so a bad pad leaves the
    // caller's bytes as they were.
    SecureBytes plain(data, data + length);
    cipherBlocks(plain.data(), plain.size(), false);
    restart();
    if (plain.empty()) {
        return false;
    }
    const std::uint8_t pad = plain.back();
    unsigned bad = static_cast<unsigned>(pad == 0) | static_cast<unsigned>(pad > block_);
    const std::size_t checked = std::min<std::size_t>(pad, block_);
    for (std::size_t i = 0; i < checked; ++i) {
        bad |= static_cast<unsigned>(plain[plain.size() - 1 - i] != pad);
    }
    if (bad != 0) {
        return false;
    }
    std::copy(plain.begin(), plain.end() - pad, data);
    *outLength = plain.size() - pad;
    return true;
}

} // namespace capi::detail
