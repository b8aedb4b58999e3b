#pragma once

// RSA key material in gmp numbers, wiped when it goes, and the two raw
// operations key blobs need.

#include "platform/cryptoapi/Internal.h"

#include <gmp.h>

namespace capi::detail {

// A gmp number whose limbs are zeroed before they are freed.
class Mpz {
public:
    Mpz() { mpz_init(value_); }
    ~Mpz();
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }

private:
    mpz_t value_;
};

// Zeroes every allocated limb of a number (not only the used ones).
void wipeMpz(mpz_ptr value);

// Modulus lengths a key blob or CryptGenKey may name.
inline constexpr Dword kMinRsaBits = 384;
inline constexpr Dword kMaxRsaBits = 16384;

struct RsaKey {
    AlgId algorithm = CALG_RSA_KEYX;
    // The modulus length the key blobs use.
    unsigned bits = 0;
    bool hasPrivate = false;
    bool exportable = false;
    Mpz n, e;
    // Only with hasPrivate: the private exponent and the numbers a private
    // key blob carries (p, q, d mod p-1, d mod q-1, q^-1 mod p).
    Mpz d, p, q, dp, dq, qinv;

    std::size_t modulusBytes() const { return bits / 8; }
};

// Reads length little-endian bytes into value.
void readLe(Mpz& value, const std::uint8_t* in, std::size_t length);
// Writes value as exactly length little-endian bytes; false when it does not
// fit.
bool writeLe(const Mpz& value, std::uint8_t* out, std::size_t length);

// m = c^d mod n for a modulus-length little-endian block, into big-endian
// bytes of the modulus length. False when c is not below n.
bool rsaPrivateOperation(const RsaKey& key, const std::uint8_t* littleEndian,
                         SecureBytes& bigEndian);
// c = m^e mod n for a modulus-length big-endian block, written as
// little-endian bytes of the modulus length. False when m is not below n.
bool rsaPublicOperation(const RsaKey& key, const SecureBytes& bigEndian,
                        std::uint8_t* littleEndian);

// Makes a new pair of the given modulus length with e = 65537; false when
// the random source fails.
bool rsaGenerate(RsaKey& key, unsigned bits);

// ---- PKCS #1 v1.5 blocks (big-endian, a modulus length long) ----------------

// 00, the block type, at least eight bytes of padding, 00.
inline constexpr std::size_t kPkcs1MinPadding = 8;
inline constexpr std::size_t kPkcs1Overhead = 3 + kPkcs1MinPadding;

// 00 02, nonzero random padding, 00, the message. The message must leave
// room for the overhead; false when the random source fails.
bool pkcs1EncryptionBlock(std::size_t modulus, const std::uint8_t* message, std::size_t length,
                          SecureBytes& block);
// The message of a type-2 block; false when the block is not one.
bool pkcs1OpenEncryptionBlock(const SecureBytes& block, SecureBytes& message);
// 00 01, FF padding, 00, the DigestInfo of the algorithm (unless bare), the
// digest. 0, or NTE_BAD_ALGID for an algorithm without a DigestInfo or a
// digest of the wrong length, NTE_BAD_LEN when the block does not fit.
Dword pkcs1SignatureBlock(std::size_t modulus, AlgId algorithm, const SecureBytes& digest,
                          bool bare, SecureBytes& block);

} // namespace capi::detail
