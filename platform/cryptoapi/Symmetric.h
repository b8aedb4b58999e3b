#pragma once

// A symmetric key: the cipher's schedules, the mode, the IV it was given and
// the chain a message in progress has reached.

#include "platform/cryptoapi/Internal.h"

#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/des.h>
#include <nettle/nettle-types.h>

namespace capi::detail {

class SymmetricKey {
public:
    static bool isSymmetric(AlgId algorithm);
    // Whether a key body of this many bytes fits the algorithm.
    static bool lengthFits(AlgId algorithm, std::size_t length);
    // What CryptGenKey makes when the caller names no length.
    static std::size_t defaultLength(AlgId algorithm);

    // The length must fit the algorithm.
    SymmetricKey(AlgId algorithm, const std::uint8_t* key, std::size_t length);
    ~SymmetricKey();
    SymmetricKey(const SymmetricKey&) = delete;
    SymmetricKey& operator=(const SymmetricKey&) = delete;

    AlgId algorithm() const { return algorithm_; }
    // Bytes; 0 for the stream cipher.
    std::size_t blockLength() const { return block_; }
    // The key body as it was given (for a 16-byte triple-DES key, before it
    // was widened to K1 K2 K1).
    const SecureBytes& body() const { return body_; }
    Dword mode() const { return mode_; }
    const SecureBytes& iv() const { return iv_; }

    // Both restart the message.
    void setMode(Dword mode);
    void setIv(const std::uint8_t* iv);

    // The output length of encrypting length bytes.
    std::size_t encryptedLength(std::size_t length, bool final) const;
    // Encrypts length bytes in place; data has room for encryptedLength.
    // Only the final piece of a block-cipher message may be partial.
    void encrypt(std::uint8_t* data, std::size_t length, bool final);
    // Decrypts in place (length a multiple of the block for block ciphers);
    // with final the padding is checked and dropped. False, with data
    // untouched, when the padding is wrong. The message restarts either way
    // after a final piece.
    bool decrypt(std::uint8_t* data, std::size_t length, bool final, std::size_t* outLength);

private:
    void schedule();
    void restart();
    void cipherBlocks(std::uint8_t* data, std::size_t length, bool encrypting);

    union Schedule {
        des_ctx des;
        des3_ctx des3;
        aes128_ctx aes128;
        aes192_ctx aes192;
        aes256_ctx aes256;
        arcfour_ctx rc4;
    };

    AlgId algorithm_;
    std::size_t block_ = 0;
    SecureBytes body_;
    SecureBytes iv_;
    SecureBytes chain_;
    Dword mode_ = CRYPT_MODE_CBC;
    Schedule encrypt_{};
    Schedule decrypt_{};
    nettle_cipher_func* encryptBlock_ = nullptr;
    nettle_cipher_func* decryptBlock_ = nullptr;
};

} // namespace capi::detail
