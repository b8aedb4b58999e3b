#pragma once

// RSA encryption, decryption and key size over the key objects of the type
// table, and the two key-method tables the key decoders attach.

#include "control/crypto/QxCAPILib.h"

#include <cstdint>

// Private keys: decrypt, sign, key size; public keys: encrypt, verify, key
// size. Every other slot answers 5001 (the sixth -1).
const QxCAPIKeyMethods* qxxCAPIPrivateKeyMethods();
const QxCAPIKeyMethods* qxxCAPIPublicKeyMethods();

// PKCS #1 v1.5 under a public key (type 7): at most key size - 11 bytes
// (else 5005); the big-endian ciphertext of the key size under the output
// rule. A key size that leaves no room for the padding (-1 when unreadable)
// gives 5063, as does a refused encryption.
int QxXCAPI_PublicEncrypt(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t unused, QxBlob* out);
// Big-endian ciphertext under a private key (type 6). The output holds the
// input length: allocated with one byte more, a caller's buffer below it
// gives 5003 with that length. A zero byte follows the plaintext when there
// is room. A refused decryption gives 5064.
int QxXCAPI_PrivateDecrypt(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                           std::uint32_t unused, QxBlob* out);
// The modulus length in bytes of a key handle (type 6 or 7), or -1.
int QxXCAPI_KeySize(QxCAPIHandle* handle);
