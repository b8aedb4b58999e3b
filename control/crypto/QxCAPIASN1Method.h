#pragma once

// The PEM / ASN.1 type table: certificates, RSA private and public keys,
// PKCS #7 messages and signer information, each row with an encoder, a
// decoder and a release, and the converters between key blobs and DER.
//
// Encoders take a handle of their row's type (null 5005, another type
// 5006), an out QxBlob under the library's output rule, flags (kQxAsn1Text
// writes Base64 text) and an armour switch. Decoders take DER, or text with
// kQxAsn1InputText, and make a handle of their row's type whose release goes
// through the row. DER that makes no object gives the row's code:
// certificate 5040, keys 5043, PKCS #7 5042, signer information 5045.

#include "control/crypto/QxCAPILib.h"

#include <cstdint>
#include <mutex>

// The rows.
const QxCAPIASN1Method* qxxCAPI_ASN1_CertificateMethod();
const QxCAPIASN1Method* qxxCAPI_ASN1_PrivateKeyMethod();
const QxCAPIASN1Method* qxxCAPI_ASN1_PublicKeyMethod();
const QxCAPIASN1Method* qxxCAPI_ASN1_PKCS7Method();
const QxCAPIASN1Method* qxxCAPI_ASN1_SignerInfoMethod();

// ---- Encoding and decoding through a converter --------------------------------

// Writes the object's DER into buffer when capacity holds it; answers the
// size either way, or a negative number when the object cannot be written.
using QxCAPIDerWriter = int (*)(const void* object, std::uint8_t* buffer, std::uint32_t capacity);
// Makes an object from DER, or null.
using QxCAPIDerReader = void* (*)(const std::uint8_t* der, std::uint32_t length, void* context);

// The object's DER as Base64 text (armoured when armourName is given) or
// binary under the output rule. 5045 when the writer fails.
int qxxCAPI_ASN1_Encode(const void* object, QxCAPIDerWriter writer, std::uint32_t flags,
                        const char* armourName, QxBlob* out);
// The object read from DER, or from text (kQxAsn1InputText) armoured with
// one of aliases; the text decoder's codes are passed on, no object is 5045.
int qxxCAPI_ASN1_Decode(const std::uint8_t* data, std::uint32_t length, std::uint32_t flags,
                        const char* aliases, QxCAPIDerReader reader, void* context, void** object);

// ---- Row operations ----------------------------------------------------------

int qxxCAPI_ASN1_EncodeCert(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                            const int* armour);
int qxxCAPI_ASN1_EncodePrivateKey(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                  const int* armour);
int qxxCAPI_ASN1_EncodePublicKey(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                 const int* armour);
// The message's DER is asked for once and kept with the handle.
int qxxCAPI_ASN1_EncodePKCS7(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                             const int* armour);
int qxxCAPI_ASN1_EncodeSignerInfo(QxCAPIHandle* handle, QxBlob* out, std::uint32_t flags,
                                  const int* armour);

int qxxCAPI_ASN1_DecodeCert(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                            std::uint32_t flags);
// PKCS #1 RSAPrivateKey, imported into the private-key container. Refused
// (5043): a modulus of an odd number of bytes, a number too long for its
// field of the key blob, a negative number, a public exponent of zero or
// over four bytes.
int qxxCAPI_ASN1_DecodePrivateKey(QxCAPIHandle** out, const std::uint8_t* data,
                                  std::uint32_t length, std::uint32_t flags);
// SubjectPublicKeyInfo of an rsaEncryption key, imported into the
// public-key container; the same checks of its numbers.
int qxxCAPI_ASN1_DecodePublicKey(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                                 std::uint32_t flags);
int qxxCAPI_ASN1_DecodePKCS7(QxCAPIHandle** out, const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t flags);
int qxxCAPI_ASN1_DecodeSignerInfo(QxCAPIHandle** out, const std::uint8_t* data,
                                  std::uint32_t length, std::uint32_t flags);

// Null is ignored.
void qxxCAPI_ASN1_FreeCert(QxCAPIHandle* handle);
void qxxCAPI_ASN1_FreeKey(QxCAPIHandle* handle);
void qxxCAPI_ASN1_FreePKCS7(QxCAPIHandle* handle);
void qxxCAPI_ASN1_FreeSignerInfo(QxCAPIHandle* handle);

// ---- Keys --------------------------------------------------------------------

// The containers decoded keys are imported into.
extern const char16_t kQxPrivateKeyContainer[];
extern const char16_t kQxPublicKeyContainer[];

// CryptSignHash names a key spec, not a key: it signs with whatever key the
// container's slot got last, and every decoded private key goes into the
// same slot of the same container. While a lease lives, the slot holds the
// key object's own key pair (put back from the object's key when another
// key is there) and no other key object of this process changes the slot.
class QxCAPIKeySlotLease {
public:
    explicit QxCAPIKeySlotLease(const QxCAPIKey* key);
    QxCAPIKeySlotLease(const QxCAPIKeySlotLease&) = delete;
    QxCAPIKeySlotLease& operator=(const QxCAPIKeySlotLease&) = delete;
    // False when the key could not be put back (the platform error is the
    // thread's last error): a slot-based operation must not go ahead.
    bool held() const { return held_; }

private:
    std::unique_lock<std::mutex> lock_;
    bool held_ = false;
};

// Releases a key object: unless borrowed, its key is destroyed and its
// provider released (a CNG key freed through the key storage module).
void qxxCAPIReleaseKey(QxCAPIKey* key);
