#pragma once

// The cryptographic provider interface the control's crypto library calls:
// providers with in-memory key containers, hashes, symmetric keys, key blobs
// and random bytes, over nettle and hogweed. Everything lives in namespace
// capi with integer types of its own, so it never meets the PC/SC headers'
// global DWORD or BOOL. Every call that writes an output answers a size query
// (null buffer: the needed size in *length) and, given a short buffer,
// returns FALSE with ERROR_MORE_DATA and the needed size; it never writes
// past the length it is given. A failed call says why through GetLastError,
// which is kept per thread.

#include <cstdint>
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
Bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length, Dword bufferLength);
Bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, Bool final, Dword flags, std::uint8_t* data,
                  Dword* length);
Bool CryptDestroyKey(HCRYPTKEY key);

// ---- Errors ----------------------------------------------------------------

inline constexpr Dword ERROR_INVALID_HANDLE = 6;
inline constexpr Dword ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Dword ERROR_INVALID_PARAMETER = 87;
inline constexpr Dword ERROR_MOD_NOT_FOUND = 126;
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

Dword GetLastError();
void SetLastError(Dword error);

// ---- Smart-card key storage ------------------------------------------------

// There is no smart-card key storage provider on this platform: loading it
// fails with ERROR_MOD_NOT_FOUND.
bool loadSmartCardKeyStorage();

// ---- Test seam -------------------------------------------------------------

namespace testing {
// The next call of the named function (for example "CryptHashData") fails
// with error and changes nothing; one failure per call of this.
void failNextCall(std::string_view function, Dword error);
// Forgets every failure still waiting.
void clearFailures();
} // namespace testing

} // namespace capi
