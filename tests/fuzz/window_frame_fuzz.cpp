// parseRequestFrame on any bytes, read frame after frame as the receiver
// reads a connection. Each answer is checked against the wire form: a
// complete frame is the magic "CVXM", message, param, flags and payload
// length (native u32s) and the payload, at most kMaxCopyDataBytes; fewer
// bytes than that is a partial frame, anything else is malformed.

#include "platform/window/MessageWindow.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using platform::FrameStatus;

std::uint32_t word(std::string_view bytes, std::size_t index) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + 4 * index, sizeof value);
    return value;
}

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        const auto frame = platform::parseRequestFrame(rest);
        if (rest.size() < platform::kRequestHeaderBytes) {
            check(frame.status == FrameStatus::Partial);
            break;
        }
        const std::uint32_t length = word(rest, 4);
        if (rest.substr(0, 4) != "CVXM" || length > platform::kMaxCopyDataBytes) {
            check(frame.status == FrameStatus::Malformed);
            break;
        }
        if (rest.size() - platform::kRequestHeaderBytes < length) {
            check(frame.status == FrameStatus::Partial);
            break;
        }
        check(frame.status == FrameStatus::Complete);
        check(frame.size == platform::kRequestHeaderBytes + length);
        check(frame.message == word(rest, 1) && frame.param == word(rest, 2) &&
              frame.flags == word(rest, 3));
        // The payload is the frame's own bytes, not a copy, and ends with it.
        check(frame.payload.data() == rest.data() + platform::kRequestHeaderBytes &&
              frame.payload.size() == length);
        // What follows the frame never changes it; the frame cut short is
        // waited for.
        const auto alone = platform::parseRequestFrame(rest.substr(0, frame.size));
        check(alone.status == FrameStatus::Complete && alone.size == frame.size);
        check(platform::parseRequestFrame(rest.substr(0, frame.size - 1)).status ==
              FrameStatus::Partial);
        rest.remove_prefix(frame.size);
    }
    return 0;
}
