#include "common/Sha512.h"

#include "common/Cipher.h"

#include <algorithm>

namespace {

constexpr std::array<std::uint64_t, 80> kRound = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

constexpr std::array<std::uint64_t, 8> kInitial = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

constexpr std::uint64_t rotr(std::uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void store64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// One 128-byte block into the state.
void sha512Process(Sha512Context& ctx, std::span<const std::uint8_t, kSha512BlockSize> block) {
    std::array<std::uint64_t, 80> w{};
    for (std::size_t t = 0; t < 16; ++t) {
        w[t] = load64(block.data() + 8 * t);
    }
    for (std::size_t t = 16; t < 80; ++t) {
        const std::uint64_t s0 = rotr(w[t - 15], 1) ^ rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
        const std::uint64_t s1 = rotr(w[t - 2], 19) ^ rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = ctx.state;
    for (std::size_t t = 0; t < 80; ++t) {
        const std::uint64_t s1 = rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41);
        const std::uint64_t choice = (e & f) ^ (~e & g);
        const std::uint64_t t1 = h + s1 + choice + kRound[t] + w[t];
        const std::uint64_t s0 = rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39);
        const std::uint64_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint64_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const std::array<std::uint64_t, 8> add = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i) {
        ctx.state[i] += add[i];
    }
    secureWipe(w.data(), sizeof w);
}

} // namespace

Sha512Context::~Sha512Context() {
    secureWipe(total.data(), sizeof total);
    secureWipe(state.data(), sizeof state);
    secureWipe(buffer.data(), buffer.size());
}

void sha512Starts(Sha512Context& ctx) {
    ctx.total = {0, 0};
    ctx.state = kInitial;
    ctx.is384 = false;
}

void sha512Update(Sha512Context& ctx, std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return;
    }
    std::size_t pending = static_cast<std::size_t>(ctx.total[0] % kSha512BlockSize);
    const std::uint64_t before = ctx.total[0];
    ctx.total[0] += data.size();
    if (ctx.total[0] < before) {
        ++ctx.total[1];
    }
    if (pending > 0) {
        const std::size_t take = std::min(kSha512BlockSize - pending, data.size());
        std::copy_n(data.begin(), take, ctx.buffer.begin() + static_cast<std::ptrdiff_t>(pending));
        data = data.subspan(take);
        pending += take;
        if (pending < kSha512BlockSize) {
            return;
        }
        sha512Process(ctx, ctx.buffer);
    }
    // Whole blocks straight from the input.
    while (data.size() >= kSha512BlockSize) {
        sha512Process(ctx, data.first<kSha512BlockSize>());
        data = data.subspan(kSha512BlockSize);
    }
    std::copy(data.begin(), data.end(), ctx.buffer.begin());
}

void sha512Finish(Sha512Context& ctx, std::span<std::uint8_t, kSha512DigestSize> digest) {
    // The length in bits, 128 bits big-endian.
    const std::uint64_t high = (ctx.total[1] << 3) | (ctx.total[0] >> 61);
    const std::uint64_t low = ctx.total[0] << 3;
    std::array<std::uint8_t, 16> length{};
    store64(length.data(), high);
    store64(length.data() + 8, low);

    const std::size_t pending = static_cast<std::size_t>(ctx.total[0] % kSha512BlockSize);
    const std::size_t padding = pending < 112 ? 112 - pending : 240 - pending;
    std::array<std::uint8_t, kSha512BlockSize> pad{};
    pad[0] = 0x80;
    sha512Update(ctx, std::span<const std::uint8_t>(pad.data(), padding));
    sha512Update(ctx, length);

    const std::size_t words = ctx.is384 ? 6 : 8;
    for (std::size_t i = 0; i < words; ++i) {
        store64(digest.data() + 8 * i, ctx.state[i]);
    }
}

std::string bytesToHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::optional<std::string> sha512Hex(std::optional<std::string_view> text) {
    if (!text) {
        return std::nullopt;
    }
    Sha512Context ctx;
    sha512Starts(ctx);
    sha512Update(ctx, std::span<const std::uint8_t>(
                          reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    std::array<std::uint8_t, kSha512DigestSize> digest{};
    sha512Finish(ctx, digest);
    std::string hex = bytesToHex(digest);
    secureWipe(digest.data(), digest.size());
    return hex;
}
