#include "platform/cryptoapi/Rsa.h"

#include "platform/random/Random.h"

#include <nettle/rsa.h>

#include <algorithm>

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

} // namespace capi::detail
