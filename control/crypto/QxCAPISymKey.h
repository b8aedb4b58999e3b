#pragma once

// Raw symmetric key bytes enter the provider only through this import: they
// are wrapped in a SIMPLEBLOB under a fixed key-exchange key whose public
// and private exponents are both 1, so the blob's PKCS #1 type-2 block is
// its own "ciphertext".

#include "control/crypto/QxCAPILib.h"

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kQxExchangeKeyBlobSize = 308;
inline constexpr std::size_t kQxSimpleBlobSize = 76;

// The fixed 512-bit exchange key as a PRIVATEKEYBLOB (CALG_RSA_KEYX).
std::array<std::uint8_t, kQxExchangeKeyBlobSize> qxxCAPIExchangeKeyBlob();

// The session key of algorithm holding key (1 to 61 bytes), or 0. The
// exchange key is imported into provider on the first call that needs it
// and kept for the life of the process.
capi::HCRYPTKEY qxxCAPIImportPlainKey(capi::HCRYPTPROV provider, capi::AlgId algorithm,
                                      const std::uint8_t* key, std::uint32_t keyLength);
