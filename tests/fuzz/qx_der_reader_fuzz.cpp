// The crypto library's DER reader on any bytes (in a buffer of exactly
// their length): a header, when read, lies within the input; an element's
// size matches its header; and the input read as a run of INTEGERs gives
// magnitudes without leading zeros that the writer writes and the reader
// reads back the same.

#include "control/crypto/QxCAPIDer.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Writes the magnitude as an INTEGER and reads it back.
void roundTrip(const QxBlob& value, bool negative) {
    const std::uint32_t flags = negative ? kQxDerNegative : 0;
    const std::uint32_t size = qxxCAPIDerWriteInteger(nullptr, value.pbData, value.cbData, flags);
    std::vector<std::uint8_t> der(size);
    check(qxxCAPIDerWriteInteger(der.data(), value.pbData, value.cbData, flags) == size);
    check(qxxCAPIDerElementSize(der.data(), size) == size);
    const std::uint8_t* at = der.data();
    std::uint32_t left = size;
    QxBlob back{0, nullptr};
    bool backNegative = false;
    check(qxxCAPIDerReadInteger(&at, &left, &back, &backNegative) == 0);
    check(left == 0 && back.cbData == value.cbData);
    check(value.cbData == 0 || std::memcmp(back.pbData, value.pbData, value.cbData) == 0);
    check(backNegative == (negative && value.cbData != 0));
    qxxCAPIFree(back.pbData);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's length, so any read past it is seen.
    std::vector<std::uint8_t> input(data, data + size);
    const auto length = static_cast<std::uint32_t>(size);

    QxDerHeader header{};
    const int rc = qxxCAPIDerReadHeader(input.data(), length, &header);
    check(rc == 0 || rc == kQxDerError);
    const std::int64_t element = qxxCAPIDerElementSize(input.data(), length);
    if (rc == 0) {
        check(std::uint64_t{header.headerLength} + header.contentLength <= size);
        check(header.headerLength >= 2 && header.headerLength <= 10);
        check(element < 0 || element == std::int64_t{header.headerLength} + header.contentLength);
        // Content of a primitive element is not looked into.
        check(header.constructed || element >= 0);
    } else {
        check(element == -1);
    }

    const std::uint8_t* at = input.data();
    std::uint32_t left = length;
    for (;;) {
        // Into a caller's buffer too small for all but the shortest
        // numbers: a refusal moves nothing.
        std::uint8_t small[2];
        QxBlob fixed{sizeof small, small};
        const std::uint8_t* probe = at;
        std::uint32_t probeLeft = left;
        if (qxxCAPIDerReadInteger(&probe, &probeLeft, &fixed, nullptr) != 0) {
            check(probe == at && probeLeft == left && fixed.cbData == sizeof small);
        } else {
            check(fixed.cbData <= sizeof small);
        }
        const std::uint8_t* before = at;
        QxBlob value{0, nullptr};
        bool negative = false;
        if (qxxCAPIDerReadInteger(&at, &left, &value, &negative) != 0) {
            check(at == before && value.pbData == nullptr);
            break;
        }
        check(at > before && static_cast<std::size_t>(at - input.data()) <= size);
        check(value.cbData == 0 || value.pbData[0] != 0);
        roundTrip(value, negative);
        qxxCAPIFree(value.pbData);
    }
    return 0;
}
