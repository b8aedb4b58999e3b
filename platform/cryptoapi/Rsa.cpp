#include "platform/cryptoapi/Rsa.h"

#include "platform/random/Random.h"

#include <nettle/rsa.h>

#include <algorithm>
#include <span>

namespace capi::detail {

namespace {

void readBe(Mpz& value, const std::uint8_t* in, std::size_t length) {
    mpz_import(value.get(), length, 1, 1, 0, 0, in);
}

bool writeBe(const Mpz& value, std::uint8_t* out, std::size_t length) {
    if (mpz_sizeinbase(value.get(), 256) > length) {
        return false;
    }
    std::fill(out, out + length, 0);
    std::size_t count = 0;
    const std::size_t used = mpz_sgn(value.get()) == 0 ? 0 : mpz_sizeinbase(value.get(), 256);
    if (used != 0) {
        mpz_export(out + (length - used), &count, 1, 1, 0, 0, value.get());
    }
    return true;
}

struct RandomState {
    bool failed = false;
};

void randomForNettle(void* context, std::size_t length, std::uint8_t* out) {
    if (!platform::randomBytes(out, length)) {
        static_cast<RandomState*>(context)->failed = true;
    }
}

} // namespace

void wipeMpz(mpz_ptr value) {
    wipe(value->_mp_d, static_cast<std::size_t>(value->_mp_alloc) * sizeof(mp_limb_t));
}

Mpz::~Mpz() {
    wipeMpz(value_);
    mpz_clear(value_);
}

void readLe(Mpz& value, const std::uint8_t* in, std::size_t length) {
    mpz_import(value.get(), length, -1, 1, 0, 0, in);
}

bool writeLe(const Mpz& value, std::uint8_t* out, std::size_t length) {
    if (!writeBe(value, out, length)) {
        return false;
    }
    std::reverse(out, out + length);
    return true;
}

bool rsaPrivateOperation(const RsaKey& key, const std::uint8_t* littleEndian,
                         SecureBytes& bigEndian) {
    const std::size_t length = key.modulusBytes();
    Mpz c, m;
    readLe(c, littleEndian, length);
    if (mpz_cmp(c.get(), key.n.get()) >= 0) {
        return false;
    }
    // The side-channel-safe power needs an odd modulus and a positive
    // exponent; d = 1, which the callers' fixed exchange key has, is fine.
    if (mpz_odd_p(key.n.get()) != 0 && mpz_sgn(key.d.get()) > 0) {
        mpz_powm_sec(m.get(), c.get(), key.d.get(), key.n.get());
    } else {
        mpz_powm(m.get(), c.get(), key.d.get(), key.n.get());
    }
    bigEndian.assign(length, 0);
    return writeBe(m, bigEndian.data(), length);
}

bool rsaPublicOperation(const RsaKey& key, const SecureBytes& bigEndian,
                        std::uint8_t* littleEndian) {
    const std::size_t length = key.modulusBytes();
    Mpz m, c;
    readBe(m, bigEndian.data(), bigEndian.size());
    if (mpz_cmp(m.get(), key.n.get()) >= 0) {
        return false;
    }
    mpz_powm(c.get(), m.get(), key.e.get(), key.n.get());
    return writeLe(c, littleEndian, length);
}

bool rsaGenerate(RsaKey& key, unsigned bits) {
    rsa_public_key pub;
    rsa_private_key priv;
    rsa_public_key_init(&pub);
    rsa_private_key_init(&priv);
    mpz_set_ui(pub.e, 65537);
    RandomState random;
    const int made =
        rsa_generate_keypair(&pub, &priv, &random, randomForNettle, nullptr, nullptr, bits, 0);
    const bool ok = made != 0 && !random.failed;
    if (ok) {
        mpz_swap(key.n.get(), pub.n);
        mpz_swap(key.e.get(), pub.e);
        mpz_swap(key.d.get(), priv.d);
        mpz_swap(key.p.get(), priv.p);
        mpz_swap(key.q.get(), priv.q);
        mpz_swap(key.dp.get(), priv.a);
        mpz_swap(key.dq.get(), priv.b);
        mpz_swap(key.qinv.get(), priv.c);
        key.bits = bits;
        key.hasPrivate = true;
    }
    for (mpz_ptr number : {pub.n, pub.e, priv.d, priv.p, priv.q, priv.a, priv.b, priv.c}) {
        wipeMpz(number);
    }
    rsa_public_key_clear(&pub);
    rsa_private_key_clear(&priv);
    return ok;
}

namespace {

bool nonzeroRandom(std::uint8_t* out, std::size_t length) {
    if (!platform::randomBytes(out, length)) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        while (out[i] == 0) {
            if (!platform::randomBytes(out + i, 1)) {
                return false;
            }
        }
    }
    return true;
}

struct DigestInfo {
    AlgId algorithm;
    std::size_t digestLength;
    // The DER of DigestInfo up to the digest's bytes: SEQUENCE { SEQUENCE {
    // OID, NULL }, OCTET STRING header }.
    std::span<const std::uint8_t> prefix;
};

constexpr std::uint8_t kMd5Info[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                     0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kSha1Info[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                      0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr std::uint8_t kSha256Info[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::uint8_t kSha384Info[] = {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
constexpr std::uint8_t kSha512Info[] = {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

template <std::size_t N>
constexpr std::span<const std::uint8_t> view(const std::uint8_t (&bytes)[N]) {
    return {bytes, N};
}

constexpr DigestInfo kDigestInfos[] = {
    {CALG_MD5, 16, view(kMd5Info)},        {CALG_SHA1, 20, view(kSha1Info)},
    {CALG_SHA_256, 32, view(kSha256Info)}, {CALG_SHA_384, 48, view(kSha384Info)},
    {CALG_SHA_512, 64, view(kSha512Info)},
};

} // namespace

bool pkcs1EncryptionBlock(std::size_t modulus, const std::uint8_t* message, std::size_t length,
                          SecureBytes& block) {
    block.assign(modulus, 0);
    block[1] = 2;
    const std::size_t padding = modulus - 3 - length;
    if (!nonzeroRandom(block.data() + 2, padding)) {
        return false;
    }
    std::copy(message, message + length, block.end() - static_cast<long>(length));
    return true;
}

bool pkcs1OpenEncryptionBlock(const SecureBytes& block, SecureBytes& message) {
    if (block.size() < kPkcs1Overhead || block[0] != 0 || block[1] != 2) {
        return false;
    }
    const auto separator = std::find(block.begin() + 2, block.end(), 0);
    if (separator == block.end() ||
        static_cast<std::size_t>(separator - block.begin()) < 2 + kPkcs1MinPadding) {
        return false;
    }
    message.assign(separator + 1, block.end());
    return true;
}

Dword pkcs1SignatureBlock(std::size_t modulus, AlgId algorithm, const SecureBytes& digest,
                          bool bare, SecureBytes& block) {
    const DigestInfo* info = nullptr;
    for (const DigestInfo& row : kDigestInfos) {
        if (row.algorithm == algorithm) {
            info = &row;
        }
    }
    if (info == nullptr || digest.size() != info->digestLength) {
        return NTE_BAD_ALGID;
    }
    const std::size_t prefix = bare ? 0 : info->prefix.size();
    const std::size_t content = prefix + digest.size();
    if (content + kPkcs1Overhead > modulus) {
        return NTE_BAD_LEN;
    }
    block.assign(modulus, 0xFF);
    block[0] = 0;
    block[1] = 1;
    auto at = block.end() - static_cast<long>(content);
    *(at - 1) = 0;
    if (!bare) {
        at = std::copy(info->prefix.begin(), info->prefix.end(), at);
    }
    std::copy(digest.begin(), digest.end(), at);
    return 0;
}

} // namespace capi::detail
