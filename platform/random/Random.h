#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Fills the buffer from the kernel's random source; false when it cannot.
bool randomBytes(std::uint8_t* buffer, std::size_t count);

} // namespace platform
