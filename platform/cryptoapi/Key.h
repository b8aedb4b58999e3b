#pragma once

// A key object behind an HCRYPTKEY.

#include "platform/cryptoapi/Internal.h"

namespace capi::detail {

struct Key {
    AlgId algorithm = 0;
    bool exportable = false;
};

} // namespace capi::detail
