// The control crypto library's Base64 decoder on any text, into an allocated
// result and into a caller's buffer of the fuzzer's chosen capacity (exactly
// that size, so a write past it is caught). The first two input bytes give
// the capacity, the rest is the text. The two modes must agree, only the
// decoder's codes may come back, and what either encoder writes for the text's
// bytes must decode back to them.

#include "control/crypto/QxCAPICoder.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

using Bytes = std::vector<std::uint8_t>;

// The allocated mode; 0 with the bytes, or the failure code.
int decodeAllocated(const char* text, std::uint32_t length, Bytes& out) {
    std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
    const int rc = qxbase64_decode(text, length, &data, &count);
    check(rc == kQxOk || rc == kQxBadBase64 || rc == kQxNoMemory);
    if (rc == kQxOk) {
        check(data != nullptr && data[count] == 0);
        out.assign(data, data + count);
        qxxCAPIFree(data);
    } else {
        check(data == nullptr);
    }
    return rc;
}

int decodeInto(const char* text, std::uint32_t length, std::uint32_t capacity, Bytes& out,
               std::uint32_t& needed) {
    // malloc(0) still gives a block of its own under the sanitizer.
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (buffer == nullptr) {
        return kQxNoMemory;
    }
    std::uint8_t* data = buffer;
    std::uint32_t count = capacity;
    const int rc = qxbase64_decode(text, length, &data, &count);
    check(rc == kQxOk || rc == kQxBadBase64 || rc == kQxBufferTooSmall);
    check(data == buffer);
    if (rc == kQxOk) {
        check(count <= capacity);
        out.assign(buffer, buffer + count);
    } else if (rc == kQxBufferTooSmall) {
        check(count > capacity);
        needed = count;
    }
    std::free(buffer);
    return rc;
}

void roundTrip(const std::uint8_t* bytes, std::uint32_t length) {
    for (const auto encode : {qxbase64_encode, qxbase64_encode_ex}) {
        char* text = nullptr;
        std::uint32_t textLength = 0;
        check(encode(bytes, length, &text, &textLength) == kQxOk);
        Bytes back;
        check(decodeAllocated(text, textLength, back) == kQxOk);
        check(back == Bytes(bytes, bytes + length));
        qxxCAPIFree(text);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint32_t capacity = data[0] | (data[1] & 0x0F) << 8;
    const char* text = reinterpret_cast<const char*>(data + 2);
    const auto length = static_cast<std::uint32_t>(size - 2);

    Bytes allocated;
    const int rc = decodeAllocated(text, length, allocated);
    check(allocated.size() <= length);

    Bytes given;
    std::uint32_t needed = 0;
    const int intoRc = decodeInto(text, length, capacity, given, needed);
    if (intoRc == kQxBufferTooSmall) {
        // The announced size is enough: a second call with it decodes or
        // refuses the text as the allocated mode did.
        check(decodeInto(text, length, needed, given, needed) == rc);
    } else {
        check(intoRc == rc);
    }
    if (rc == kQxOk) {
        check(given == allocated);
    }

    roundTrip(data + 2, length);
    return 0;
}
