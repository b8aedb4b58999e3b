// The crypto library's symmetric streams: a key made from the input's
// cipher number, key, IV and mode is accepted exactly when the cipher table
// allows it; then the plaintext, encrypted in the input's pieces, must equal
// the one-shot encryption, have the padded length, and decrypt in other
// pieces back to itself. Damaged ciphertext gives only the listed codes.
//
// Input: cipher, flags, key length, IV length, encryption cut count,
// decryption cut count, damage byte; then the key, the IV, the cut offsets
// (one byte each) and the plaintext.

#include "control/crypto/QxXCAPI.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct HandleRelease {
    void operator()(QxCAPIHandle* handle) const { qxxCAPIFreeHandle(handle); }
};
using Handle = std::unique_ptr<QxCAPIHandle, HandleRelease>;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes take(std::size_t count) {
        Bytes out;
        while (out.size() < count) {
            out.push_back(byte());
        }
        return out;
    }
    Bytes rest() { return Bytes(data_ + std::min(at_, size_), data_ + size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Row {
    std::uint32_t key;
    std::uint32_t iv;
    std::uint32_t block;
};

// The cipher table, written out apart from the library's.
int expectedCreate(int cipher, std::size_t keyLength, std::size_t ivLength, QxCryptFlags flags,
                   Row* row) {
    static const Row kRows[] = {{8, 8, 8},    {24, 8, 8},   {0, 0, 0},   {16, 0, 1},
                                {16, 16, 16}, {24, 16, 16}, {32, 16, 16}};
    if (cipher == 3) {
        return kQxUnsupported;
    }
    if (cipher < 1 || cipher > 7) {
        return kQxBadArgument;
    }
    *row = kRows[cipher - 1];
    const bool keyFits = keyLength == row->key || (cipher == 2 && keyLength == 16);
    if (!keyFits || ivLength != row->iv || (flags & 0x30) == 0x30) {
        return kQxBadArgument;
    }
    return kQxOk;
}

std::vector<std::size_t> cutsOf(Reader& in, int count, std::size_t length) {
    std::vector<std::size_t> cuts;
    for (int i = 0; i < count; ++i) {
        cuts.push_back(in.byte() % (length + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

// One message in pieces; the code of the first refused call, with the output
// so far.
int stream(QxCAPIHandle* key, bool encrypt, const Bytes& input,
           const std::vector<std::size_t>& cuts, Bytes* output) {
    if (const int rc = QxXCAPI_SetIV(key, nullptr); rc != kQxOk) {
        return rc;
    }
    output->assign(input.size() + 32, 0);
    std::uint32_t written = 0;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(input.size());
    for (const std::size_t to : ends) {
        std::uint32_t n = 0;
        const auto capacity = static_cast<std::uint32_t>(output->size() - written);
        const auto length = static_cast<std::uint32_t>(to - from);
        const int rc = encrypt ? QxXCAPI_EncryptUpdate(key, input.data() + from, length,
                                                       output->data() + written, capacity, &n)
                               : QxXCAPI_DecryptUpdate(key, input.data() + from, length,
                                                       output->data() + written, capacity, &n);
        if (rc != kQxOk) {
            return rc;
        }
        check(n <= capacity);
        written += n;
        from = to;
    }
    std::uint32_t n = 0;
    const auto capacity = static_cast<std::uint32_t>(output->size() - written);
    const int rc = encrypt ? QxXCAPI_EncryptFinal(key, output->data() + written, capacity, &n)
                           : QxXCAPI_DecryptFinal(key, output->data() + written, capacity, &n);
    if (rc != kQxOk) {
        return rc;
    }
    check(n <= capacity);
    output->resize(written + n);
    return kQxOk;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const int cipher = in.byte() % 9;
    const QxCryptFlags flags = in.byte();
    const std::size_t keyLength = in.byte() % 40;
    const std::size_t ivLength = in.byte() % 20;
    const int encryptCuts = in.byte() % 8;
    const int decryptCuts = in.byte() % 8;
    const std::uint8_t damage = in.byte();
    const Bytes key = in.take(keyLength);
    const Bytes iv = in.take(ivLength);
    const Bytes cutSource = in.take(static_cast<std::size_t>(encryptCuts + decryptCuts));
    const Bytes plain = in.rest();
    if (plain.size() > 4096) {
        return 0;
    }

    Row row{};
    const int expected = expectedCreate(cipher, keyLength, ivLength, flags, &row);
    QxCAPIHandle* raw = nullptr;
    const int created = QxXCAPI_CreateKey(cipher, key.data(), static_cast<std::uint32_t>(keyLength),
                                          ivLength != 0 ? iv.data() : nullptr,
                                          static_cast<std::uint32_t>(ivLength), flags, &raw);
    check(created == expected);
    if (created != kQxOk) {
        check(raw == nullptr);
        return 0;
    }
    Handle handle(raw);
    // Block ciphers start each message afresh with SetIV on the one key;
    // RC4's keystream runs on, so every further message gets a new key.
    const auto nextMessage = [&] {
        if (row.block == 1) {
            QxCAPIHandle* fresh = nullptr;
            check(QxXCAPI_CreateKey(cipher, key.data(), static_cast<std::uint32_t>(keyLength),
                                    nullptr, 0, flags, &fresh) == kQxOk);
            handle.reset(fresh);
        }
        return handle.get();
    };

    Reader cuts(cutSource.data(), cutSource.size());
    const std::vector<std::size_t> encryptAt = cutsOf(cuts, encryptCuts, plain.size());
    Bytes cipherText;
    check(stream(handle.get(), true, plain, encryptAt, &cipherText) == kQxOk);
    // Block ciphers pad with 1 to block bytes; an empty message stays empty.
    const std::size_t padded =
        row.block == 1 || plain.empty() ? plain.size() : (plain.size() / row.block + 1) * row.block;
    check(cipherText.size() == padded);

    std::uint8_t* once = nullptr;
    std::uint32_t onceLength = 0;
    check(QxXCAPI_Encrypt(cipher, plain.data(), static_cast<std::uint32_t>(plain.size()),
                          key.data(), static_cast<std::uint32_t>(keyLength),
                          ivLength != 0 ? iv.data() : nullptr, static_cast<std::uint32_t>(ivLength),
                          flags, &once, &onceLength) == kQxOk);
    const bool same =
        onceLength == cipherText.size() && std::equal(cipherText.begin(), cipherText.end(), once);
    qxxCAPIFree(once);
    check(same);

    const std::vector<std::size_t> decryptAt = cutsOf(cuts, decryptCuts, cipherText.size());
    Bytes back;
    check(stream(nextMessage(), false, cipherText, decryptAt, &back) == kQxOk);
    check(back == plain);

    if (cipherText.empty()) {
        return 0;
    }
    // A flipped bit: a block cipher may or may not find bad padding; a
    // stream cipher decrypts anything.
    Bytes damaged = cipherText;
    damaged[damage % damaged.size()] ^= static_cast<std::uint8_t>(1u << (damage % 8));
    const int flipped = stream(nextMessage(), false, damaged, decryptAt, &back);
    check(flipped == kQxOk || (row.block > 1 && flipped == kQxDecryptFailed));
    if (flipped == kQxOk) {
        check(back.size() <= damaged.size() && back.size() + row.block >= damaged.size());
    }
    // A block cipher's ciphertext cut short by a byte is no whole number of
    // blocks.
    if (row.block > 1) {
        damaged.pop_back();
        check(stream(nextMessage(), false, damaged, {}, &back) == kQxFailed);
    }
    return 0;
}
