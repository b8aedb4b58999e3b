#pragma once

// A key object behind an HCRYPTKEY: a symmetric key of its own, or a share
// of RSA material that may also sit in a container's slot.

#include "platform/cryptoapi/Internal.h"
#include "platform/cryptoapi/Rsa.h"
#include "platform/cryptoapi/Symmetric.h"

namespace capi::detail {

struct Key {
    AlgId algorithm = 0;
    // Symmetric keys only; RSA material carries its own flag.
    bool exportable = false;
    std::unique_ptr<SymmetricKey> symmetric;
    std::shared_ptr<RsaKey> rsa;
};

// The container slot of a key spec or RSA algorithm; -1 for anything else.
int slotOf(AlgId algorithmOrSpec);

// Puts a new handle on RSA material.
std::uintptr_t addRsaHandle(std::shared_ptr<RsaKey> rsa);

} // namespace capi::detail
