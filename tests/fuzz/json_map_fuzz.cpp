// parseJsonMap on any text, then the getters on the keys read: the fixed
// keys and the first kMapKeysRead keys of the map (sorted as the map sorts
// them), with flag keys added by the first input byte:
//   bit 4     add K_CorvantixHide = "true" for every key K read (and read it too)
//   bits 0-3  add K_CorvantixEncryptFlag, K_CorvantixFlag, K_CorvantixSlashFlag,
//             K_CorvantixBase64Flag = "true" for every key K read
//   bit 5     add a 32-byte Corvantix_share_secret when the text has none
//   bit 6     key-check mode on
//   bit 7     re-encipher every value read under the share secret, so decoding
//             of enciphered values can succeed
// The rest of the input is the JSON text.
//
// Every read of an enciphered value logs the whole map, so reading every key
// of a full map would log 128 x 128 lines: the keys are bounded, and reading
// stops once an input has logged kLineBudget lines. More keys would add
// time, not paths.

#include "common/Cipher.h"
#include "common/Json.h"
#include "common/QxLog.h"
#include "common/Sha512.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kFlags[] = {kJsonEncryptFlag, kJsonStarFlag, kJsonSlashFlag,
                                       kJsonBase64Flag};
constexpr int kMapKeysRead = 2;
constexpr std::uint64_t kLineBudget = 64;

std::string sealHex(const std::string& secret, const std::string& plain) {
    CipherContext ctx;
    const auto iv = jsonMapFixedIv();
    cipherAesInit(
        &ctx, CipherDirection::Encrypt, kMechAesCbcPad,
        std::span<const std::uint8_t, 32>(reinterpret_cast<const std::uint8_t*>(secret.data()), 32),
        iv);
    std::vector<std::uint8_t> out(plain.size() + 16);
    std::size_t n = out.size();
    cipherEncryptUpdate(&ctx, reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(),
                        out.data(), &n);
    std::size_t last = out.size() - n;
    cipherEncryptFinal(&ctx, out.data() + n, &last);
    out.resize(n + last);
    return bytesToHex(out);
}

// getJsonMapBool reads through getJsonMapValue; the key itself is decoded
// as a value too.
void readKeys(const JsonMap* map, const std::vector<std::string>& keys, std::uint64_t firstLine) {
    const auto withinBudget = [&] { return logMemoryLineCount() - firstLine <= kLineBudget; };
    for (const auto& key : keys) {
        if (!withinBudget()) {
            break;
        }
        (void)getJsonMapBool(map, key);
        (void)getDecodedValue(map, key, key);
    }
    if (withinBudget()) {
        (void)getCorvantixMode(map);
        (void)getJsonMapTimeout(map);
        displayParameter(map);
    }
    (void)jsonMapToString(map);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::uint64_t firstLine = logMemoryLineCount();
    setJsonMapKeyCheck((control & 0x40) != 0);
    setJsonMapKeyCheckError(0);

    JsonMapPtr map = parseJsonMap(text);
    if (!map) {
        setJsonMapKeyCheck(false);
        return 0;
    }
    std::vector<std::string> keys = {"CorvantixMode", "timeout", std::string(kJsonShareSecretKey)};
    for (int i = 0; i < std::min(map->count, kMapKeysRead); ++i) {
        keys.emplace_back(map->entries[i].key);
    }
    readKeys(map.get(), keys, firstLine);

    if ((control & 0x20) &&
        !BinarySearchCorvantixJsonMap(map.get(), 0, map->count - 1, kJsonShareSecretKey)) {
        addJsonMapValue(map.get(), kJsonShareSecretKey, "0123456789abcdef0123456789abcdef");
    }
    // Hide flags first, so the other flags reach them too (a hide flag can
    // itself be enciphered).
    if (control & 0x10) {
        const std::size_t originals = keys.size();
        for (std::size_t k = 0; k < originals; ++k) {
            keys.push_back(keys[k] + std::string(kJsonHideFlag));
            addJsonMapValue(map.get(), keys.back(), "true");
        }
    }
    for (std::size_t f = 0; f < 4; ++f) {
        if (control & (1u << f)) {
            for (const auto& key : keys) {
                addJsonMapValue(map.get(), key + std::string(kFlags[f]), "true");
            }
        }
    }
    const auto secret =
        BinarySearchCorvantixJsonMap(map.get(), 0, map->count - 1, kJsonShareSecretKey);
    if ((control & 0x80) && secret && secret->size() >= kJsonShareSecretMin) {
        for (const auto& key : keys) {
            if (key == kJsonShareSecretKey) {
                continue;
            }
            if (const auto raw = BinarySearchCorvantixJsonMap(map.get(), 0, map->count - 1, key)) {
                addJsonMapValue(map.get(), key, sealHex(*secret, *raw));
            }
        }
    }
    readKeys(map.get(), keys, firstLine);

    setJsonMapResult(map.get(), static_cast<int>(control) - 128);
    (void)jsonMapToString(map.get());
    setJsonMapKeyCheck(false);
    return 0;
}
