// The control crypto library's hex decoder on any text (in a buffer of
// exactly its length): only its codes may come back, a result has half the
// text's length, and what the hex encoder writes for the bytes decodes back to
// them.

#include "control/crypto/QxCAPICoder.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

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
    const char* text = reinterpret_cast<const char*>(data);
    const auto length = static_cast<std::uint32_t>(size);

    std::uint8_t* out = nullptr;
    std::uint32_t count = 0;
    const int rc = QxXCAPI_HexDecode(text, length, &out, &count);
    check(rc == kQxOk || rc == kQxNoMemory || rc == kQxBadHex);
    if (rc == kQxNoMemory) {
        check(out == nullptr);
    } else {
        // On a bad digit the buffer is stored for the caller to free.
        check(out != nullptr && count == length / 2 && out[count] == 0);
    }
    qxxCAPIFree(out);

    char* hex = nullptr;
    std::uint32_t hexLength = 0;
    check(QxXCAPI_HexEncode(data, length, &hex, &hexLength) == kQxOk);
    check(hexLength == 2 * length && hex[hexLength] == '\0');
    std::uint8_t* back = nullptr;
    std::uint32_t backLength = 0;
    const int backRc = QxXCAPI_HexDecode(hex, hexLength, &back, &backLength);
    if (length == 0) {
        check(backRc == kQxNoMemory);
    } else {
        check(backRc == kQxOk);
        check(std::vector<std::uint8_t>(back, back + backLength) ==
              std::vector<std::uint8_t>(data, data + size));
    }
    qxxCAPIFree(back);
    qxxCAPIFree(hex);
    return 0;
}
