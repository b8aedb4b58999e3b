#pragma once

// Digests, HMAC, password-based key and IV derivation and the symmetric
// ciphers of the control's crypto library, over the default provider.
//
// Result codes are the library's (QxCAPILib.h). A null pointer where a value
// is needed, or a null key, IV, salt, password or data pointer with a
// non-zero length, gives 5005 without reading anything.

#include "control/crypto/QxCAPILib.h"

#include <cstdint>

// One word passed to most functions:
//   bits 0-3   hash: 0 and 2 SHA-1, 1 MD5, 4 SHA-256, 5 SHA-384, 6 SHA-512
//   bits 4-5   mode: 0 and 0x20 CBC, 0x10 ECB
//   bits 8-11  derivation: 0 and 0x200 PBKDF2, 0x100 PBKDF1
using QxCryptFlags = std::uint32_t;

inline constexpr QxCryptFlags kQxHashMask = 0x0F;
inline constexpr QxCryptFlags kQxHashSha1 = 0;
inline constexpr QxCryptFlags kQxHashMd5 = 1;
inline constexpr QxCryptFlags kQxHashSha1Alt = 2;
inline constexpr QxCryptFlags kQxHashSha256 = 4;
inline constexpr QxCryptFlags kQxHashSha384 = 5;
inline constexpr QxCryptFlags kQxHashSha512 = 6;

inline constexpr QxCryptFlags kQxModeMask = 0x30;
inline constexpr QxCryptFlags kQxModeEcb = 0x10;
inline constexpr QxCryptFlags kQxModeCbc = 0x20;

inline constexpr QxCryptFlags kQxDeriveMask = 0xF00;
inline constexpr QxCryptFlags kQxDerivePbkdf1 = 0x100;
inline constexpr QxCryptFlags kQxDerivePbkdf2 = 0x200;

// Cipher numbers. 3 is refused with 5004; anything outside 1-7 with 5005.
inline constexpr int kQxCipherDes = 1;
inline constexpr int kQxCipher3Des = 2;
inline constexpr int kQxCipherUnsupported = 3;
inline constexpr int kQxCipherRc4 = 4;
inline constexpr int kQxCipherAes128 = 5;
inline constexpr int kQxCipherAes192 = 6;
inline constexpr int kQxCipherAes256 = 7;

// ---- Digests ---------------------------------------------------------------

int QxXCAPI_HashInit(QxCAPIHandle** out, QxCryptFlags flags);
int QxXCAPI_HashUpdate(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length);
// Follows the QxBlob output rule; on 0 the handle has been released, on any
// other result it stays with the caller.
int QxXCAPI_HashFinal(QxCAPIHandle* handle, std::uint32_t unused, QxBlob* out);

// ---- HMAC (64-byte block for every hash) -----------------------------------

// A null key with length 0 is the empty key.
int QxXCAPI_HMACInit(QxCAPIHandle** out, const std::uint8_t* key, std::uint32_t keyLength,
                     QxCryptFlags flags);
int QxXCAPI_HMACUpdate(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length);
// The digests pass through a 36-byte buffer: SHA-384 and SHA-512 give 5001.
int QxXCAPI_HMACFinal(QxCAPIHandle* handle, std::uint32_t unused, QxBlob* out);

// ---- Key and IV derivation -------------------------------------------------

// passwordLength -1 takes the password up to its NUL; a null password is
// the empty one. Bits 8-11 of flags choose PBKDF1 (with the hash of bits
// 0-3) or PBKDF2 (always HMAC-SHA1).
int qxxCAPIDeriveKeyIV(const char* password, int passwordLength, const std::uint8_t* salt,
                       std::uint32_t saltLength, std::uint32_t iterations, QxCryptFlags flags,
                       std::uint8_t* key, std::uint32_t keyLength, std::uint8_t* iv,
                       std::uint32_t ivLength);
// T = Hash(password || salt), then count - 1 more times T = Hash(T); key and
// IV are cut from T, which must be long enough for both (else 5005).
int PKCS5_PBKDF1_gen_keyiv(capi::HCRYPTPROV provider, capi::AlgId algorithm, const char* password,
                           std::uint32_t passwordLength, const std::uint8_t* salt,
                           std::uint32_t saltLength, std::uint32_t iterations, std::uint8_t* key,
                           std::uint32_t keyLength, std::uint8_t* iv, std::uint32_t ivLength);
// PBKDF2-HMAC-SHA1; every HMAC takes its own provider, so provider is unused.
int PKCS5_PBKDF2_gen_keyiv(capi::HCRYPTPROV provider, const char* password,
                           std::uint32_t passwordLength, const std::uint8_t* salt,
                           std::uint32_t saltLength, std::uint32_t iterations, std::uint8_t* key,
                           std::uint32_t keyLength, std::uint8_t* iv, std::uint32_t ivLength);
int PKCS5_PBKDF2_derive(const char* password, std::uint32_t passwordLength,
                        const std::uint8_t* salt, std::uint32_t saltLength,
                        std::uint32_t iterations, std::uint32_t outputLength, std::uint8_t* output);

// ---- Symmetric keys --------------------------------------------------------

// Key bytes: DES 8, triple DES 24 or 16 (K1 K2 K1), RC4 16, AES 16/24/32.
// IV bytes: 8 for DES and triple DES, 16 for AES, none for RC4. The IV is
// stored; QxXCAPI_SetIV gives it to the key.
int QxXCAPI_CreateKey(int cipher, const std::uint8_t* key, std::uint32_t keyLength,
                      const std::uint8_t* iv, std::uint32_t ivLength, QxCryptFlags flags,
                      QxCAPIHandle** out);
// Key and IV derived from a NUL-terminated password with qxxCAPIDeriveKeyIV.
int QxXCAPI_GenerateKey(int cipher, const char* password, const std::uint8_t* salt,
                        std::uint32_t saltLength, std::uint32_t iterations, QxCryptFlags flags,
                        QxCAPIHandle** out);
// Starts a new message: the IV given (its length the key's IV length), or
// the stored one when null; held-back bytes are dropped.
int QxXCAPI_SetIV(QxCAPIHandle* handle, const std::uint8_t* iv);

// Streams. The bytes held back by the previous call come first in the
// output, then the input; for block ciphers the stream's last part (a whole
// block when it is a multiple) is held back for the next call or the Final.
// outCapacity must hold the held-back bytes plus the input, else 5005 with
// nothing written. input may be the same buffer as output.
int QxXCAPI_EncryptUpdate(QxCAPIHandle* handle, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outCapacity, std::uint32_t* outLength);
int QxXCAPI_DecryptUpdate(QxCAPIHandle* handle, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outCapacity, std::uint32_t* outLength);
// Pads the held-back bytes (PKCS #5). Needs one block of capacity, two when
// a whole block is held back; nothing held back gives an empty output.
int QxXCAPI_EncryptFinal(QxCAPIHandle* handle, std::uint8_t* output, std::uint32_t outCapacity,
                         std::uint32_t* outLength);
// Decrypts the held-back block and removes its padding. Needs one block of
// capacity; held-back bytes that are not one block give 5001.
int QxXCAPI_DecryptFinal(QxCAPIHandle* handle, std::uint8_t* output, std::uint32_t outCapacity,
                         std::uint32_t* outLength);

// ---- One-shots -------------------------------------------------------------

// Raw key and IV. *out receives a new buffer (freed with qxxCAPIFree) of
// *outLength bytes; on failure nothing is stored.
int QxXCAPI_Encrypt(int cipher, const std::uint8_t* data, std::uint32_t length,
                    const std::uint8_t* key, std::uint32_t keyLength, const std::uint8_t* iv,
                    std::uint32_t ivLength, QxCryptFlags flags, std::uint8_t** out,
                    std::uint32_t* outLength);
// Key and IV derived from the password (iv null: the derived IV). *out
// receives a new buffer with a zero byte after the *outLength plaintext
// bytes; on failure nothing is stored.
int QxXCAPI_Decrypt(const char* password, const std::uint8_t* data, std::uint32_t length,
                    const std::uint8_t* salt, std::uint32_t saltLength, std::uint32_t iterations,
                    const std::uint8_t* iv, int cipher, QxCryptFlags flags, std::uint8_t** out,
                    std::uint32_t* outLength);

// ---- Signatures (QxXCAPISign.cpp) ------------------------------------------

// Flags of the signature functions beside the hash number of bits 0-3.
inline constexpr QxCryptFlags kQxSignHashHere = 0x10000;  // data is the message, hashed here
inline constexpr QxCryptFlags kQxSignNoHashOid = 0x20000; // no DigestInfo in the signature
inline constexpr QxCryptFlags kQxPinWithheld = 0x1000;    // pass no PIN to the provider

// PKCS #1 v1.5 signature with a private key (type 6) of the data, or of its
// digest: without kQxSignHashHere the data must be exactly the hash's digest
// (else 5005). The big-endian signature goes to out under the output rule.
// A CryptoAPI key sets the PIN, when given, first, and signs with its own
// key pair even when another key object's is in the container (5001 when
// its own cannot be put back); a CNG key (kQxKeySpecCng) signs through the
// smart-card key storage module, which must offer all its functions before
// any is called (else 5001), and takes the PIN as its "SmartCardPin". No PIN is ever written to the
// log. On return the thread's last error is the last platform error met (NTE_FAIL when none was).
int QxXCAPI_PureSign(QxCAPIHandle* handle, const std::uint8_t* data, std::uint32_t length,
                     const char* pin, QxCryptFlags flags, QxBlob* out);
// Checks a big-endian signature with a public key (type 7): 0 valid, 5036
// no match, 5043 a key the provider rejects, 5062 other refusals.
int QxXCAPI_PureVerify(QxCAPIHandle* handle, const std::uint8_t* signature,
                       std::uint32_t signatureLength, const std::uint8_t* data,
                       std::uint32_t length, QxCryptFlags flags);
// Gives the key's provider the PIN (null or empty: nothing to do). 5071
// wrong PIN, 5072 PIN blocked, 5001 other refusals.
int QxXCAPI_SetPrivateKeyPin(QxCAPIHandle* handle, const char* pin, QxCryptFlags flags);
