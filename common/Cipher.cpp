#include "common/Cipher.h"

#include "common/ToolLog.h"

#include <algorithm>
#include <cstring>
#include <string.h>

namespace {

// Known to the final step only, where it counts as an unpadded mode.
constexpr std::uint32_t kMechAesUnpaddedFinal = 0x1086;

// ---- Tables ---------------------------------------------------------------

constexpr std::uint8_t xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if (b & 1) {
            product ^= a;
        }
        a = xtime(a);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int n) {
    return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

// The S-box from its definition: the multiplicative inverse in GF(2^8)
// followed by the affine map. p walks the powers of 3, q those of its inverse.
constexpr std::array<std::uint8_t, 256> makeSbox() {
    std::array<std::uint8_t, 256> box{};
    std::uint8_t p = 1;
    std::uint8_t q = 1;
    do {
        p = static_cast<std::uint8_t>(p ^ xtime(p));
        q = static_cast<std::uint8_t>(q ^ (q << 1));
        q = static_cast<std::uint8_t>(q ^ (q << 2));
        q = static_cast<std::uint8_t>(q ^ (q << 4));
        if (q & 0x80) {
            q ^= 0x09;
        }
        const auto affine =
            static_cast<std::uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4));
        box[p] = static_cast<std::uint8_t>(affine ^ 0x63);
    } while (p != 1);
    box[0] = 0x63;
    return box;
}

constexpr std::array<std::uint8_t, 256> invert(const std::array<std::uint8_t, 256>& box) {
    std::array<std::uint8_t, 256> inverse{};
    for (int i = 0; i < 256; ++i) {
        inverse[box[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(i);
    }
    return inverse;
}

constexpr auto kSbox = makeSbox();
constexpr auto kInvSbox = invert(kSbox);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);
static_assert(kInvSbox[0x63] == 0x00 && kInvSbox[0xED] == 0x53);

constexpr std::array<std::uint8_t, 7> kRcon = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

constexpr std::uint32_t rotr32(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

constexpr std::uint32_t word(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
           (static_cast<std::uint32_t>(c) << 8) | d;
}

using RoundTable = std::array<std::array<std::uint32_t, 256>, 4>;

// SubBytes and MixColumns of one byte in each column position.
constexpr RoundTable makeEncryptTable() {
    RoundTable t{};
    for (std::size_t i = 0; i < 256; ++i) {
        const std::uint8_t s = kSbox[i];
        t[0][i] = word(gmul(s, 2), s, s, gmul(s, 3));
        for (int k = 1; k < 4; ++k) {
            t[static_cast<std::size_t>(k)][i] = rotr32(t[0][i], 8 * k);
        }
    }
    return t;
}

// InvSubBytes and InvMixColumns likewise.
constexpr RoundTable makeDecryptTable() {
    RoundTable t{};
    for (std::size_t i = 0; i < 256; ++i) {
        const std::uint8_t s = kInvSbox[i];
        t[0][i] = word(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11));
        for (int k = 1; k < 4; ++k) {
            t[static_cast<std::size_t>(k)][i] = rotr32(t[0][i], 8 * k);
        }
    }
    return t;
}

constexpr RoundTable kTe = makeEncryptTable();
constexpr RoundTable kTd = makeDecryptTable();

constexpr int kRounds = 14;

inline std::uint8_t byteOf(std::uint32_t w, int n) {
    return static_cast<std::uint8_t>(w >> (24 - 8 * n));
}

std::uint32_t load32(const std::uint8_t* p) {
    return word(p[0], p[1], p[2], p[3]);
}

void store32(std::uint8_t* p, std::uint32_t w) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

std::uint32_t subWord(std::uint32_t w) {
    return word(kSbox[byteOf(w, 0)], kSbox[byteOf(w, 1)], kSbox[byteOf(w, 2)], kSbox[byteOf(w, 3)]);
}

// ---- Block steps by mechanism --------------------------------------------------

void xorBytes(std::span<std::uint8_t> target, std::span<const std::uint8_t> source) {
    const std::size_t n = std::min(target.size(), source.size());
    for (std::size_t i = 0; i < n; ++i) {
        target[i] ^= source[i];
    }
}

// One block by the context's mechanism (CBC chaining included); in and out
// may be the same block.
void cipherEncryptBlock(CipherContext& ctx, ConstAesBlock in, AesBlock out) {
    if (ctx.mechanism == kMechAesEcb) {
        aesEncryptBlock(ctx.schedule, in, out);
        return;
    }
    xorBytes(ctx.chain, in);
    aesEncryptBlock(ctx.schedule, ctx.chain, out);
    std::copy(out.begin(), out.end(), ctx.chain.begin());
}

void cipherDecryptBlock(CipherContext& ctx, ConstAesBlock in, AesBlock out) {
    if (ctx.mechanism == kMechAesEcb) {
        aesDecryptBlock(ctx.schedule, in, out);
        return;
    }
    // in may be out: keep the cipher block for the chain first.
    std::array<std::uint8_t, kAesBlockSize> cipherBlock{};
    std::copy(in.begin(), in.end(), cipherBlock.begin());
    aesDecryptBlock(ctx.schedule, cipherBlock, out);
    xorBytes(out, ctx.chain);
    ctx.chain = cipherBlock;
}

// ---- Modes ------------------------------------------------------------------

bool isPadded(std::uint32_t mechanism) {
    return mechanism == kMechAesCbcPad;
}

bool isKnownForUpdate(std::uint32_t mechanism) {
    return mechanism == kMechAesEcb || mechanism == kMechAesCbc || mechanism == kMechAesCbcPad;
}

bool isUnpaddedAtFinal(std::uint32_t mechanism) {
    return mechanism == kMechAesEcb || mechanism == kMechAesCbc ||
           mechanism == kMechAesUnpaddedFinal;
}

CipherResult update(CipherContext* ctx, bool decrypt, const std::uint8_t* in, std::size_t inLen,
                    std::uint8_t* out, std::size_t* outLen) {
    if (ctx == nullptr || outLen == nullptr) {
        return kCipherArgumentsBad;
    }
    if (inLen == 0) {
        *outLen = 0;
        return kCipherOk;
    }
    if (in == nullptr) {
        return kCipherDataInvalid;
    }
    if (ctx->blockSize == 0 || ctx->decrypting != decrypt || !isKnownForUpdate(ctx->mechanism)) {
        return kCipherNotInitialized;
    }
    const std::size_t b = ctx->blockSize;
    const std::size_t holdBack = decrypt ? ctx->holdBack : 0;
    const std::size_t total = inLen + ctx->fill;
    const std::size_t needed = total > holdBack ? b * ((total - holdBack) / b) : 0;
    if (out == nullptr) {
        *outLen = needed;
        return kCipherOk;
    }
    if (*outLen < needed) {
        *outLen = needed;
        return kCipherBufferTooSmall;
    }
    const auto step = [&](const std::uint8_t* from, std::uint8_t* to) {
        const ConstAesBlock source(from, kAesBlockSize);
        const AesBlock target(to, kAesBlockSize);
        if (decrypt) {
            cipherDecryptBlock(*ctx, source, target);
        } else {
            cipherEncryptBlock(*ctx, source, target);
        }
    };
    std::size_t written = 0;
    // With hold-back the last whole block stays buffered for the final call.
    while (ctx->fill + inLen >= b + holdBack) {
        if (ctx->fill > 0) {
            const std::size_t take = b - ctx->fill;
            std::memcpy(ctx->block.data() + ctx->fill, in, take);
            in += take;
            inLen -= take;
            step(ctx->block.data(), out + written);
            ctx->fill = 0;
        } else {
            step(in, out + written);
            in += b;
            inLen -= b;
        }
        written += b;
    }
    std::memcpy(ctx->block.data() + ctx->fill, in, inLen);
    ctx->fill += static_cast<std::uint32_t>(inLen);
    *outLen = written;
    return kCipherOk;
}

} // namespace

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size > 0) {
        explicit_bzero(data, size);
    }
}

void CipherContext::wipe() noexcept {
    secureWipe(schedule.data(), sizeof schedule);
    secureWipe(block.data(), block.size());
    secureWipe(chain.data(), chain.size());
    mechanism = 0;
    scheduleLength = 0;
    fill = 0;
    holdBack = 0;
    blockSize = 0;
    decrypting = false;
}

// ---- AES-256 ------------------------------------------------------------------

void aesSetKey(AesSchedule& schedule, std::span<const std::uint8_t, kAesKeySize> key) {
    constexpr std::size_t nk = kAesKeySize / 4;
    for (std::size_t i = 0; i < nk; ++i) {
        schedule[i] = load32(key.data() + 4 * i);
    }
    for (std::size_t i = nk; i < kAesScheduleWords; ++i) {
        std::uint32_t temp = schedule[i - 1];
        if (i % nk == 0) {
            temp =
                subWord(rotr32(temp, 24)) ^ (static_cast<std::uint32_t>(kRcon[i / nk - 1]) << 24);
        } else if (i % nk == 4) {
            temp = subWord(temp);
        }
        schedule[i] = schedule[i - nk] ^ temp;
    }
}

void aesInvertKey(AesSchedule& schedule) {
    for (int i = 0, j = 4 * kRounds; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            std::swap(schedule[static_cast<std::size_t>(i + k)],
                      schedule[static_cast<std::size_t>(j + k)]);
        }
    }
    // kTd[n][kSbox[x]] is InvMixColumns of byte x in row n.
    for (std::size_t i = 4; i < 4 * kRounds; ++i) {
        const std::uint32_t w = schedule[i];
        schedule[i] = kTd[0][kSbox[byteOf(w, 0)]] ^ kTd[1][kSbox[byteOf(w, 1)]] ^
                      kTd[2][kSbox[byteOf(w, 2)]] ^ kTd[3][kSbox[byteOf(w, 3)]];
    }
}

void aesEncryptBlock(const AesSchedule& rk, ConstAesBlock in, AesBlock out) {
    std::uint32_t s[4];
    for (int c = 0; c < 4; ++c) {
        s[c] = load32(in.data() + 4 * c) ^ rk[static_cast<std::size_t>(c)];
    }
    std::size_t r = 4;
    for (int round = 1; round < kRounds; ++round, r += 4) {
        std::uint32_t t[4];
        for (int c = 0; c < 4; ++c) {
            t[c] = kTe[0][byteOf(s[c], 0)] ^ kTe[1][byteOf(s[(c + 1) % 4], 1)] ^
                   kTe[2][byteOf(s[(c + 2) % 4], 2)] ^ kTe[3][byteOf(s[(c + 3) % 4], 3)] ^
                   rk[r + static_cast<std::size_t>(c)];
        }
        std::copy(std::begin(t), std::end(t), std::begin(s));
    }
    for (int c = 0; c < 4; ++c) {
        const std::uint32_t w =
            word(kSbox[byteOf(s[c], 0)], kSbox[byteOf(s[(c + 1) % 4], 1)],
                 kSbox[byteOf(s[(c + 2) % 4], 2)], kSbox[byteOf(s[(c + 3) % 4], 3)]);
        store32(out.data() + 4 * c, w ^ rk[r + static_cast<std::size_t>(c)]);
    }
    secureWipe(s, sizeof s);
}

void aesDecryptBlock(const AesSchedule& rk, ConstAesBlock in, AesBlock out) {
    std::uint32_t s[4];
    for (int c = 0; c < 4; ++c) {
        s[c] = load32(in.data() + 4 * c) ^ rk[static_cast<std::size_t>(c)];
    }
    std::size_t r = 4;
    for (int round = 1; round < kRounds; ++round, r += 4) {
        std::uint32_t t[4];
        for (int c = 0; c < 4; ++c) {
            t[c] = kTd[0][byteOf(s[c], 0)] ^ kTd[1][byteOf(s[(c + 3) % 4], 1)] ^
                   kTd[2][byteOf(s[(c + 2) % 4], 2)] ^ kTd[3][byteOf(s[(c + 1) % 4], 3)] ^
                   rk[r + static_cast<std::size_t>(c)];
        }
        std::copy(std::begin(t), std::end(t), std::begin(s));
    }
    for (int c = 0; c < 4; ++c) {
        const std::uint32_t w =
            word(kInvSbox[byteOf(s[c], 0)], kInvSbox[byteOf(s[(c + 3) % 4], 1)],
                 kInvSbox[byteOf(s[(c + 2) % 4], 2)], kInvSbox[byteOf(s[(c + 1) % 4], 3)]);
        store32(out.data() + 4 * c, w ^ rk[r + static_cast<std::size_t>(c)]);
    }
    secureWipe(s, sizeof s);
}

// ---- Calls ----------------------------------------------------------------------

CipherResult cipherAesInit(CipherContext* ctx, CipherDirection direction, std::uint32_t mechanism,
                           std::span<const std::uint8_t, kAesKeySize> key,
                           std::span<const std::uint8_t, kAesBlockSize> iv) {
    if (ctx == nullptr || !isKnownForUpdate(mechanism)) {
        return kCipherArgumentsBad;
    }
    ctx->wipe();
    ctx->mechanism = mechanism;
    ctx->blockSize = kAesBlockSize;
    ctx->scheduleLength = kAesScheduleWords;
    ctx->decrypting = direction == CipherDirection::Decrypt;
    ctx->holdBack = (ctx->decrypting && isPadded(mechanism)) ? 1 : 0;
    aesSetKey(ctx->schedule, key);
    if (ctx->decrypting) {
        aesInvertKey(ctx->schedule);
    }
    std::copy(iv.begin(), iv.end(), ctx->chain.begin());
    return kCipherOk;
}

CipherResult cipherDecryptInit(CipherContext* ctx, std::span<const std::uint8_t, kAesKeySize> key) {
    const std::array<std::uint8_t, kAesBlockSize> noIv{};
    return cipherAesInit(ctx, CipherDirection::Decrypt, kMechAesCbcPad, key, noIv);
}

CipherResult cipherEncryptUpdate(CipherContext* ctx, const std::uint8_t* in, std::size_t inLen,
                                 std::uint8_t* out, std::size_t* outLen) {
    return update(ctx, false, in, inLen, out, outLen);
}

CipherResult cipherDecryptUpdate(CipherContext* ctx, const std::uint8_t* in, std::size_t inLen,
                                 std::uint8_t* out, std::size_t* outLen) {
    return update(ctx, true, in, inLen, out, outLen);
}

CipherResult cipherEncryptFinal(CipherContext* ctx, std::uint8_t* out, std::size_t* outLen) {
    if (ctx == nullptr || outLen == nullptr) {
        return kCipherArgumentsBad;
    }
    if (ctx->blockSize == 0 || ctx->decrypting) {
        return kCipherNotInitialized;
    }
    const std::size_t b = ctx->blockSize;
    if (isUnpaddedAtFinal(ctx->mechanism)) {
        if (ctx->fill > 0) {
            return kCipherDataLenRange;
        }
        *outLen = 0;
        ctx->wipe();
        return kCipherOk;
    }
    if (!isPadded(ctx->mechanism)) {
        return kCipherNotInitialized;
    }
    if (out == nullptr) {
        *outLen = b;
        return kCipherOk;
    }
    if (*outLen < b) {
        *outLen = b;
        return kCipherBufferTooSmall;
    }
    // PKCS#7: a whole block of value b when nothing is buffered.
    const auto pad = static_cast<std::uint8_t>(b - ctx->fill);
    std::fill(ctx->block.begin() + ctx->fill, ctx->block.begin() + static_cast<std::ptrdiff_t>(b),
              pad);
    cipherEncryptBlock(*ctx, ctx->block, AesBlock(out, kAesBlockSize));
    *outLen = b;
    ctx->wipe();
    return kCipherOk;
}

CipherResult cipherDecryptFinal(CipherContext* ctx, std::uint8_t* out, std::size_t* outLen) {
    if (ctx == nullptr || outLen == nullptr) {
        return kCipherArgumentsBad;
    }
    if (ctx->blockSize == 0 || !ctx->decrypting) {
        return kCipherNotInitialized;
    }
    const std::size_t b = ctx->blockSize;
    if (isUnpaddedAtFinal(ctx->mechanism)) {
        if (ctx->fill > 0) {
            return kCipherDataLenRange;
        }
        *outLen = 0;
        ctx->wipe();
        return kCipherOk;
    }
    if (!isPadded(ctx->mechanism)) {
        return kCipherNotInitialized;
    }
    if (out == nullptr) {
        *outLen = b;
        return kCipherOk;
    }
    if (*outLen < b) {
        *outLen = b;
        return kCipherBufferTooSmall;
    }
    if (ctx->fill != b) {
        // The service's standard output is no place for this; the log is.
        logWarningInt("p->Buse: ", static_cast<long>(ctx->fill));
        logWarningInt("bufsize: ", static_cast<long>(b));
        return kCipherEncryptedDataLenRange;
    }
    std::array<std::uint8_t, kAesBlockSize> plain{};
    cipherDecryptBlock(*ctx, ctx->block, plain);
    const std::uint8_t pad = plain[b - 1];
    bool good = pad >= 1 && pad <= b;
    for (std::size_t i = b - (good ? pad : 0); good && i < b; ++i) {
        good = plain[i] == pad;
    }
    if (!good) {
        secureWipe(plain.data(), plain.size());
        return kCipherEncryptedDataInvalid;
    }
    std::copy(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(b - pad), out);
    *outLen = b - pad;
    secureWipe(plain.data(), plain.size());
    ctx->wipe();
    return kCipherOk;
}
