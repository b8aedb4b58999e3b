// getJsonValue on any text: the first byte gives the length of the key that
// follows it, the rest is the JSON text; the message keys are looked up too.

#include "common/Tool.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t keyLength = std::min<std::size_t>(data[0], size - 1);
    const std::string_view key(reinterpret_cast<const char*>(data + 1), keyLength);
    const std::string_view json(reinterpret_cast<const char*>(data + 1 + keyLength),
                                size - 1 - keyLength);
    (void)getJsonValue(json, key);
    for (const char* name : {"From", "To", "Instruction", "Message", "TimeValue", "HashValue"}) {
        (void)getJsonValue(json, name);
    }
    return 0;
}
