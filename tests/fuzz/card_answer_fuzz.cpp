// What comes from outside into the control's card layer: a card's answer to
// GET TAC, read for its TAC and TSN, and a PIN text turned into a PIN block.
// The first byte chooses which; only the documented codes may come back,
// and what is read lies where the layout puts it.

#include "control/ControlErrorCode.h"
#include "control/card/QxSCApdu.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

int nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

void tacAnswer(std::span<const std::uint8_t> data) {
    std::optional<tavelo::TacAnswer> answer;
    const int rc = tavelo::parseTacAnswer(data, answer);
    if (data.size() < tavelo::kTacOffset + tavelo::kTacLength) {
        check(rc == kCtlFailed && !answer);
        return;
    }
    check(rc == kCtlOk && answer);
    check(answer->tac.size() == 2 * tavelo::kTacLength);
    for (std::size_t i = 0; i < tavelo::kTacLength; ++i) {
        const int high = nibble(answer->tac[2 * i]);
        const int low = nibble(answer->tac[2 * i + 1]);
        check(high >= 0 && low >= 0 && (high << 4 | low) == data[tavelo::kTacOffset + i]);
    }
    check(answer->tsn.size() <= tavelo::kTsnMaxLength);
    check(std::string_view(answer->tsn).find('\0') == std::string_view::npos);
    for (std::size_t i = 0; i < answer->tsn.size(); ++i) {
        check(static_cast<std::uint8_t>(answer->tsn[i]) == data[tavelo::kTsnOffset + i]);
    }
    check(answer->tsn.size() == tavelo::kTsnMaxLength ||
          data[tavelo::kTsnOffset + answer->tsn.size()] == 0);
}

void pinBlock(std::string_view pin) {
    tavelo::PinBlock block;
    const int rc = block.set(pin);
    const auto bytes = block.bytes();
    if (rc != kCtlOk) {
        check(rc == kCtlPinLength || rc == kCtlBadHex || rc == kCtlNoMemory);
        for (const auto b : bytes) {
            check(b == 0xFF);
        }
        return;
    }
    check(pin.size() <= tavelo::PinBlock::kMaxPinLength);
    for (std::size_t i = 0; i < 2 * tavelo::PinBlock::kSize; ++i) {
        const int value = i % 2 == 0 ? bytes[i / 2] >> 4 : bytes[i / 2] & 0x0F;
        check(value == (i < pin.size() ? nibble(pin[i]) : 0x0F));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        tacAnswer(rest);
    } else {
        pinBlock(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    }
    return 0;
}
