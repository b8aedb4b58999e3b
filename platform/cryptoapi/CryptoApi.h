#pragma once

// The cryptographic provider interface the control's crypto library calls:
// providers with in-memory key containers, hashes, symmetric and RSA keys,
// key blobs, PKCS #1 v1.5 encryption and signatures and random bytes, over
// nettle and hogweed; the few certificate and message calls of its type
// table; and the absent smart-card key storage. Everything lives in namespace
// capi with integer types of its own, so it never meets the PC/SC headers'
// global DWORD or BOOL. Every call that writes an output answers a size query
// (null buffer: the needed size in *length) and, given a short buffer,
// returns FALSE with ERROR_MORE_DATA and the needed size; it never writes
// past the length it is given. A failed call says why through GetLastError,
// which is kept per thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace capi {

using Dword = std::uint32_t;
using AlgId = std::uint32_t;
using Bool = int;
using HCRYPTPROV = std::uintptr_t;
using HCRYPTKEY = std::uintptr_t;
using HCRYPTHASH = std::uintptr_t;

inline constexpr Bool kFalse = 0;
inline constexpr Bool kTrue = 1;

// ---- Providers -------------------------------------------------------------

inline constexpr Dword PROV_RSA_FULL = 1;
inline constexpr Dword PROV_RSA_AES = 24;

inline constexpr Dword CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr Dword CRYPT_NEWKEYSET = 0x8;
inline constexpr Dword CRYPT_DELETEKEYSET = 0x10;
inline constexpr Dword CRYPT_MACHINE_KEYSET = 0x20;
inline constexpr Dword CRYPT_SILENT = 0x40;

inline constexpr Dword PP_KEYSET_SEC_DESCR = 8;
// A container in process memory has no PIN: both are taken (the PIN text,
// NUL-terminated, or null) and change nothing.
inline constexpr Dword PP_KEYEXCHANGE_PIN = 32;
inline constexpr Dword PP_SIGNATURE_PIN = 33;
inline constexpr Dword DACL_SECURITY_INFORMATION = 4;

// Key slots of a container.
inline constexpr Dword AT_KEYEXCHANGE = 1;
inline constexpr Dword AT_SIGNATURE = 2;

// The provider names this stand-in knows, in the callers' order of preference.
inline constexpr std::u16string_view kEnhancedRsaAesProvider =
    u"Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr std::u16string_view kEnhancedRsaAesPrototypeProvider =
    u"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";
inline constexpr std::u16string_view kEnhancedProvider =
    u"Microsoft Enhanced Cryptographic Provider v1.0";

// container null: the provider's default container; with CRYPT_VERIFYCONTEXT
// no container at all. provider null: the default provider of provType.
// Containers live in process memory per provider, name and
// CRYPT_MACHINE_KEYSET. An unknown provider name gives NTE_KEYSET_NOT_DEF,
// an unknown provType NTE_PROV_TYPE_NOT_DEF. Key and hash handles stay
// usable after the provider handle that made them is released.
Bool CryptAcquireContextW(HCRYPTPROV* prov, const char16_t* container, const char16_t* provider,
                          Dword provType, Dword flags);
// Releases one reference; the handle goes with its last one. Nonzero flags
// are refused with NTE_BAD_FLAGS, but the reference is released anyway.
Bool CryptReleaseContext(HCRYPTPROV prov, Dword flags);
// Adds a reference to the handle (reserved null, flags 0).
Bool CryptContextAddRef(HCRYPTPROV prov, Dword* reserved, Dword flags);
Bool CryptSetProvParam(HCRYPTPROV prov, Dword param, const std::uint8_t* data, Dword flags);
Bool CryptGenRandom(HCRYPTPROV prov, Dword length, std::uint8_t* buffer);

// Security descriptors have no meaning here: the calls check their arguments
// and succeed.
struct SECURITY_DESCRIPTOR {
    std::uint8_t revision = 0;
    bool daclPresent = false;
    const void* dacl = nullptr;
    bool daclDefaulted = false;
};
inline constexpr Dword SECURITY_DESCRIPTOR_REVISION = 1;
Bool InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, Dword revision);
Bool SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, Bool present, const void* dacl,
                               Bool defaulted);

// ---- Algorithms ------------------------------------------------------------

inline constexpr AlgId CALG_MD5 = 0x8003;
inline constexpr AlgId CALG_SHA1 = 0x8004;
inline constexpr AlgId CALG_SHA_256 = 0x800C;
inline constexpr AlgId CALG_SHA_384 = 0x800D;
inline constexpr AlgId CALG_SHA_512 = 0x800E;
inline constexpr AlgId CALG_DES = 0x6601;
inline constexpr AlgId CALG_3DES_112 = 0x6609;
inline constexpr AlgId CALG_3DES = 0x6603;
inline constexpr AlgId CALG_RC4 = 0x6801;
inline constexpr AlgId CALG_AES_128 = 0x660E;
inline constexpr AlgId CALG_AES_192 = 0x660F;
inline constexpr AlgId CALG_AES_256 = 0x6610;
inline constexpr AlgId CALG_RSA_KEYX = 0xA400;
inline constexpr AlgId CALG_RSA_SIGN = 0x2400;

// ---- Hashes ----------------------------------------------------------------

inline constexpr Dword HP_ALGID = 1;
inline constexpr Dword HP_HASHVAL = 2;
inline constexpr Dword HP_HASHSIZE = 4;

Bool CryptCreateHash(HCRYPTPROV prov, AlgId algorithm, HCRYPTKEY key, Dword flags,
                     HCRYPTHASH* hash);
Bool CryptHashData(HCRYPTHASH hash, const std::uint8_t* data, Dword length, Dword flags);
// HP_HASHVAL finishes the hash: no more data is accepted afterwards.
Bool CryptGetHashParam(HCRYPTHASH hash, Dword param, std::uint8_t* data, Dword* length,
                       Dword flags);
// HP_HASHVAL only: data holds a value of the hash's digest length, which
// finishes the hash with that value (an open hash only).
Bool CryptSetHashParam(HCRYPTHASH hash, Dword param, const std::uint8_t* data, Dword flags);
Bool CryptDestroyHash(HCRYPTHASH hash);

// ---- Keys ------------------------------------------------------------------

inline constexpr Dword KP_IV = 1;
inline constexpr Dword KP_MODE = 4;
inline constexpr Dword KP_ALGID = 7;
inline constexpr Dword KP_BLOCKLEN = 8;
inline constexpr Dword KP_KEYLEN = 9;

inline constexpr Dword CRYPT_MODE_CBC = 1;
inline constexpr Dword CRYPT_MODE_ECB = 2;

inline constexpr Dword CRYPT_EXPORTABLE = 0x1;
inline constexpr Dword CRYPT_NO_SALT = 0x10;

// Key blobs: an 8-byte header (type, version 2, two reserved bytes, the key's
// algorithm, little-endian), then the type's body.
inline constexpr std::uint8_t SIMPLEBLOB = 0x1;
inline constexpr std::uint8_t PUBLICKEYBLOB = 0x6;
inline constexpr std::uint8_t PRIVATEKEYBLOB = 0x7;
inline constexpr std::uint8_t CUR_BLOB_VERSION = 2;

Bool CryptGenKey(HCRYPTPROV prov, AlgId algorithm, Dword flags, HCRYPTKEY* key);
Bool CryptGetUserKey(HCRYPTPROV prov, Dword keySpec, HCRYPTKEY* key);
// A SIMPLEBLOB is opened with importKey, the private key of the exchange
// pair; public and private key blobs are imported with importKey 0. A
// private key blob also fills its algorithm's slot of the container. The
// blob header's reserved bytes are not looked at.
Bool CryptImportKey(HCRYPTPROV prov, const std::uint8_t* blob, Dword length, HCRYPTKEY importKey,
                    Dword flags, HCRYPTKEY* key);
Bool CryptExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, Dword blobType, Dword flags,
                    std::uint8_t* data, Dword* length);
Bool CryptGetKeyParam(HCRYPTKEY key, Dword param, std::uint8_t* data, Dword* length, Dword flags);
Bool CryptSetKeyParam(HCRYPTKEY key, Dword param, const std::uint8_t* data, Dword flags);
// Block ciphers carry the chain across calls until a call with final set,
// which adds (encrypt) or checks and removes (decrypt) PKCS #5 padding.
// *length is the input length on entry and the output length on return.
// An RSA key takes one whole message with final set: encryption pads it as
// a PKCS #1 v1.5 type-2 block (at most modulus length - 11 bytes, else
// NTE_BAD_LEN) and writes the modulus-length result little-endian, under
// the output rule against bufferLength; decryption (private key only) takes
// exactly a modulus-length little-endian block, checks and removes the
// padding (NTE_BAD_DATA) and leaves the message at the start of data.
Bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length, Dword bufferLength);
Bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length);
Bool CryptDestroyKey(HCRYPTKEY key);

// ---- Signatures ------------------------------------------------------------

// Sign without the DigestInfo of the hash algorithm: the block carries the
// bare digest.
inline constexpr Dword CRYPT_NOHASHOID = 0x1;

// PKCS #1 v1.5 signature of the hash's value (the hash is finished) with the
// private key in slot keySpec of the container the hash was made in,
// little-endian, modulus length, under the output rule (a size query leaves
// the hash open). The DigestInfo table covers MD5, SHA-1, SHA-256, SHA-384
// and SHA-512. No key in the slot: NTE_NO_KEY; a key too short for the block:
// NTE_BAD_LEN. description is not used.
Bool CryptSignHashW(HCRYPTHASH hash, Dword keySpec, const char16_t* description, Dword flags,
                    std::uint8_t* signature, Dword* length);
// Checks a little-endian signature of the hash's value (the hash is
// finished) with an RSA key; a signature that is not of the modulus length
// or does not match gives NTE_BAD_SIGNATURE.
Bool CryptVerifySignatureW(HCRYPTHASH hash, const std::uint8_t* signature, Dword length,
                           HCRYPTKEY key, const char16_t* description, Dword flags);

// ---- Encoded objects, certificates and messages ----------------------------

inline constexpr Dword X509_ASN_ENCODING = 0x1;
inline constexpr Dword PKCS_7_ASN_ENCODING = 0x10000;

// Structure types of CryptDecodeObject and CryptEncodeObject.
inline constexpr Dword X509_PUBLIC_KEY_INFO = 8;
inline constexpr Dword PKCS7_SIGNER_INFO = 500;

// Decoded byte strings point into the encoded input instead of being copied
// (the input must then outlive the structure).
inline constexpr Dword CRYPT_DECODE_NOCOPY_FLAG = 0x1;

struct CRYPT_DATA_BLOB {
    Dword cbData;
    std::uint8_t* pbData;
};
// Little-endian two's complement, as the callers of these calls expect.
using CRYPT_INTEGER_BLOB = CRYPT_DATA_BLOB;
// Whole encoded elements (identifier, length and content).
using CRYPT_OBJID_BLOB = CRYPT_DATA_BLOB;
using CERT_NAME_BLOB = CRYPT_DATA_BLOB;
using CRYPT_ATTR_BLOB = CRYPT_DATA_BLOB;

struct CRYPT_BIT_BLOB {
    Dword cbData;
    std::uint8_t* pbData;
    Dword cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    // Dotted text.
    char* pszObjId;
    // Empty: no parameters.
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CRYPT_ATTRIBUTE {
    char* pszObjId;
    Dword cValue;
    CRYPT_ATTR_BLOB* rgValue;
};

struct CRYPT_ATTRIBUTES {
    Dword cAttr;
    CRYPT_ATTRIBUTE* rgAttr;
};

// A PKCS #7 SignerInfo naming its certificate by issuer and serial number.
struct CMSG_SIGNER_INFO {
    Dword dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    // The octet string's content as it stands.
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
};

// The structure and everything it points to (unless copying was declined)
// are written into one buffer under the output rule, the structure first.
// The encoding type must include X509_ASN_ENCODING or PKCS_7_ASN_ENCODING;
// an unknown structure type gives ERROR_FILE_NOT_FOUND, input that is not
// the structure's DER (trailing bytes included) a CRYPT_E_ASN1 error.
Bool CryptDecodeObject(Dword encoding, Dword structType, const std::uint8_t* encoded,
                       Dword encodedLength, Dword flags, void* structInfo, Dword* length);
// The DER of the structure under the output rule; CRYPT_E_BAD_ENCODE when a
// field cannot be written (an identifier that is not dotted text, a blob
// that is not one element).
Bool CryptEncodeObject(Dword encoding, Dword structType, const void* structInfo,
                       std::uint8_t* encoded, Dword* length);

// A certificate is kept as its DER, checked only as far as its outer
// structure (a SEQUENCE of two SEQUENCEs and a BIT STRING); it is not parsed
// further, so pCertInfo is null.
using HCERTSTORE = std::uintptr_t;
struct CERT_CONTEXT {
    Dword dwCertEncodingType;
    std::uint8_t* pbCertEncoded;
    Dword cbCertEncoded;
    void* pCertInfo;
    HCERTSTORE hCertStore;
};
// Null with the error when the input is not a certificate.
const CERT_CONTEXT* CertCreateCertificateContext(Dword encoding, const std::uint8_t* encoded,
                                                 Dword length);
// Null is accepted.
Bool CertFreeCertificateContext(const CERT_CONTEXT* context);

// Only the memory store; 0 with the error otherwise.
inline constexpr Dword CERT_STORE_PROV_MEMORY = 2;
HCERTSTORE CertOpenStore(Dword storeProvider, Dword encoding, HCRYPTPROV prov, Dword flags,
                         const void* parameter);
Bool CertCloseStore(HCERTSTORE store, Dword flags);

// A PKCS #7 message opened for decoding takes its DER in pieces; the last
// one (final set) is checked as a ContentInfo (a SEQUENCE of a content type
// and an optional [0] content), which is all that is looked at.
using HCRYPTMSG = std::uintptr_t;
inline constexpr Dword CMSG_ENCODED_MESSAGE = 29;
// encoding must include PKCS_7_ASN_ENCODING; flags 0, any message type,
// no recipient or stream information.
HCRYPTMSG CryptMsgOpenToDecode(Dword encoding, Dword flags, Dword messageType, HCRYPTPROV prov,
                               const void* recipientInfo, const void* streamInfo);
Bool CryptMsgUpdate(HCRYPTMSG message, const std::uint8_t* data, Dword length, Bool final);
// CMSG_ENCODED_MESSAGE (index 0) of a finished message: its DER, under the
// output rule.
Bool CryptMsgGetParam(HCRYPTMSG message, Dword param, Dword index, std::uint8_t* data,
                      Dword* length);
Bool CryptMsgClose(HCRYPTMSG message);

// ---- Errors ----------------------------------------------------------------

inline constexpr Dword ERROR_FILE_NOT_FOUND = 2;
inline constexpr Dword ERROR_INVALID_HANDLE = 6;
inline constexpr Dword ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Dword ERROR_INVALID_DATA = 13;
inline constexpr Dword ERROR_INVALID_PARAMETER = 87;
inline constexpr Dword ERROR_MOD_NOT_FOUND = 126;
inline constexpr Dword ERROR_PROC_NOT_FOUND = 127;
inline constexpr Dword ERROR_MORE_DATA = 234;
inline constexpr Dword ERROR_UNKNOWN_REVISION = 1305;

inline constexpr Dword NTE_BAD_UID = 0x80090001;
inline constexpr Dword NTE_BAD_HASH = 0x80090002;
inline constexpr Dword NTE_BAD_KEY = 0x80090003;
inline constexpr Dword NTE_BAD_LEN = 0x80090004;
inline constexpr Dword NTE_BAD_DATA = 0x80090005;
inline constexpr Dword NTE_BAD_SIGNATURE = 0x80090006;
inline constexpr Dword NTE_BAD_VER = 0x80090007;
inline constexpr Dword NTE_BAD_ALGID = 0x80090008;
inline constexpr Dword NTE_BAD_FLAGS = 0x80090009;
inline constexpr Dword NTE_BAD_TYPE = 0x8009000A;
inline constexpr Dword NTE_BAD_KEY_STATE = 0x8009000B;
inline constexpr Dword NTE_BAD_HASH_STATE = 0x8009000C;
inline constexpr Dword NTE_NO_KEY = 0x8009000D;
inline constexpr Dword NTE_NO_MEMORY = 0x8009000E;
inline constexpr Dword NTE_EXISTS = 0x8009000F;
inline constexpr Dword NTE_PERM = 0x80090010;
inline constexpr Dword NTE_BAD_PROVIDER = 0x80090013;
inline constexpr Dword NTE_BAD_PUBLIC_KEY = 0x80090015;
inline constexpr Dword NTE_BAD_KEYSET = 0x80090016;
inline constexpr Dword NTE_PROV_TYPE_NOT_DEF = 0x80090017;
inline constexpr Dword NTE_KEYSET_NOT_DEF = 0x80090019;
inline constexpr Dword NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
inline constexpr Dword NTE_BAD_KEYSET_PARAM = 0x8009001F;
inline constexpr Dword NTE_FAIL = 0x80090020;

inline constexpr Dword E_INVALIDARG = 0x80070057;
inline constexpr Dword CRYPT_E_MSG_ERROR = 0x80091001;
inline constexpr Dword CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
inline constexpr Dword CRYPT_E_BAD_ENCODE = 0x80092002;
inline constexpr Dword CRYPT_E_ASN1_EOD = 0x80093102;
inline constexpr Dword CRYPT_E_ASN1_CORRUPT = 0x80093103;
inline constexpr Dword CRYPT_E_ASN1_LARGE = 0x80093104;
inline constexpr Dword CRYPT_E_ASN1_BADTAG = 0x8009310B;

// The cancelled operation as an HRESULT.
inline constexpr Dword kErrorCancelled = 0x800704C7;
// Smart-card answers a provider passes on. pcsc-lite's headers define the
// SCARD_ names as macros, so these carry names of their own.
inline constexpr Dword kScardWrongChv = 0x8010006B;
inline constexpr Dword kScardChvBlocked = 0x8010006C;
inline constexpr Dword kScardCancelledByUser = 0x8010006E;

Dword GetLastError();
void SetLastError(Dword error);

// ---- Smart-card key storage ------------------------------------------------

using HMODULE = std::uintptr_t;
// A looked-up function, cast to its own type by the caller.
using FARPROC = void (*)();
using NTSTATUS = std::int32_t;
using SECURITY_STATUS = std::int32_t;
using NCRYPT_HANDLE = std::uintptr_t;
using NCRYPT_KEY_HANDLE = std::uintptr_t;
using BCRYPT_HANDLE = void*;
using BCRYPT_ALG_HANDLE = void*;
using BCRYPT_HASH_HANDLE = void*;

struct BCRYPT_PKCS1_PADDING_INFO {
    const char16_t* pszAlgId;
};
inline constexpr Dword BCRYPT_PAD_PKCS1 = 2;

// The functions of the key storage module, by the names they are looked up
// with.
using PFN_BCryptOpenAlgorithmProvider = NTSTATUS (*)(BCRYPT_ALG_HANDLE* algorithm,
                                                     const char16_t* algorithmId,
                                                     const char16_t* implementation, Dword flags);
using PFN_BCryptCloseAlgorithmProvider = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, Dword flags);
using PFN_BCryptGetProperty = NTSTATUS (*)(BCRYPT_HANDLE object, const char16_t* property,
                                           std::uint8_t* output, Dword outputLength, Dword* result,
                                           Dword flags);
using PFN_NCryptSetProperty = SECURITY_STATUS (*)(NCRYPT_HANDLE object, const char16_t* property,
                                                  const std::uint8_t* input, Dword inputLength,
                                                  Dword flags);
using PFN_BCryptCreateHash = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash,
                                          std::uint8_t* hashObject, Dword hashObjectLength,
                                          const std::uint8_t* secret, Dword secretLength,
                                          Dword flags);
using PFN_BCryptDestroyHash = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash);
using PFN_BCryptHashData = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash, const std::uint8_t* input,
                                        Dword inputLength, Dword flags);
using PFN_BCryptFinishHash = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash, std::uint8_t* output,
                                          Dword outputLength, Dword flags);
using PFN_NCryptSignHash = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, const void* paddingInfo,
                                               const std::uint8_t* hashValue, Dword hashLength,
                                               std::uint8_t* signature, Dword signatureLength,
                                               Dword* result, Dword flags);
using PFN_NCryptFreeObject = SECURITY_STATUS (*)(NCRYPT_HANDLE object);

// There is no smart-card key storage provider on this platform: loading its
// module fails with ERROR_MOD_NOT_FOUND (unless a test installed one).
HMODULE loadSmartCardKeyStorage();
// A function of a loaded module; null with ERROR_PROC_NOT_FOUND when the
// module has none of that name, ERROR_INVALID_HANDLE for a module not
// loaded.
FARPROC smartCardKeyStorageFunction(HMODULE module, const char* name);
// Every load is freed once.
Bool freeSmartCardKeyStorage(HMODULE module);

// ---- Test seam -------------------------------------------------------------

namespace testing {
// The next call of the named function (for example "CryptHashData") fails
// with error and changes nothing; one failure per call of this.
void failNextCall(std::string_view function, Dword error);
// Forgets every failure still waiting.
void clearFailures();
// From now on loadSmartCardKeyStorage gives a module that offers these
// functions, until removed.
void installSmartCardKeyStorage(std::map<std::string, FARPROC, std::less<>> functions);
void removeSmartCardKeyStorage();
// Loads not freed yet.
std::size_t smartCardKeyStorageLoads();
} // namespace testing

} // namespace capi
