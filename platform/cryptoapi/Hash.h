#pragma once

// A hash object behind an HCRYPTHASH: the running nettle context until its
// value is read, then the stored value.

#include "platform/cryptoapi/Internal.h"

#include <nettle/nettle-meta.h>

namespace capi::detail {

struct Hash {
    AlgId algorithm = 0;
    const nettle_hash* method = nullptr;
    SecureBytes context;
    bool finished = false;
    SecureBytes value;

    void update(const std::uint8_t* data, std::size_t length) {
        method->update(context.data(), length, data);
    }
};

} // namespace capi::detail
