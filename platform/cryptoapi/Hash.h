#pragma once

// A hash object behind an HCRYPTHASH: the running nettle context until its
// value is read or set, then the stored value; and the container of the
// provider it was made in, whose keys sign it.

#include "platform/cryptoapi/Internal.h"

#include <nettle/nettle-meta.h>

namespace capi::detail {

struct Hash {
    AlgId algorithm = 0;
    const nettle_hash* method = nullptr;
    SecureBytes context;
    bool finished = false;
    SecureBytes value;
    std::shared_ptr<Container> container;

    void update(const std::uint8_t* data, std::size_t length) {
        method->update(context.data(), length, data);
    }
    // Computes the value once; no data is taken afterwards.
    void finish() {
        if (finished) {
            return;
        }
        value.resize(method->digest_size);
        method->digest(context.data(), value.size(), value.data());
        wipe(context.data(), context.size());
        finished = true;
    }
};

} // namespace capi::detail
