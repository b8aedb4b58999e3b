// decodeEscapedBase64 on any text; and what base64Encode writes, escaped or
// not, must decode back to the same bytes.

#include "common/Tool.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = decodeEscapedBase64(text);
    if (decoded.size() > text.size()) {
        __builtin_trap();
    }
    const std::string coded = base64Encode(text);
    std::string escaped = replaceString(coded, "+", "%2B");
    escaped = replaceString(escaped, "/", "%2F");
    escaped = replaceString(escaped, "=", "%3D");
    if (base64Decode(coded) != text || decodeEscapedBase64(escaped) != text) {
        __builtin_trap();
    }
    return 0;
}
