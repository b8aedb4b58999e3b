// The inter-process message on any copy-data payload. The first input byte
// steers, the rest is the payload:
//   bits 0-2  the age, in seconds, of the message sent back (value - 2)
//   bits 3-5  its instruction: 1 Suicide, 2 Start, 3 Stop, 4 Restart, else
//             the parsed one
//   bit 6     spoil its hash
// The payload goes to the receiver's window procedure as it is; then its
// parsed fields are checked (time value, freshness around the stamp, JSON
// round trip) and sent back freshly signed, and the registered function the
// instruction names must run exactly when the message is fresh and sound.

#include "common/Message.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

// What the registered functions have seen.
struct Calls {
    int final = 0;
    int start = 0;
    int stop = 0;
    int restart = 0;
    bool operator==(const Calls&) const = default;
};
Calls calls;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void deliver(std::string_view payload) {
    (void)IPCMsgWndProc({platform::kWmCopyData, 0, payload});
}

// A field that the one-line JSON form carries unchanged.
bool plain(const std::optional<std::string>& field) {
    return !field || field->find_first_of(std::string_view("\"\\\0", 3)) == std::string::npos;
}

bool plain(const CorvantixMessage& m) {
    return plain(m.from) && plain(m.to) && plain(m.instruction) && plain(m.message) &&
           plain(joinTimeValue(m)) && plain(m.hashValue);
}

bool complete(const CorvantixMessage& m) {
    return m.from && m.to && m.instruction && m.message && m.hashValue;
}

bool fresh(std::int64_t now, std::int64_t stamped) {
    const auto age = static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                               static_cast<std::uint64_t>(stamped));
    return age >= 0 && age <= kMessageMaxAgeSeconds;
}

// Up to 16 hexadecimal digits read as one number.
void checkTimeValue(const CorvantixMessage& m) {
    const std::string joined = joinTimeValue(m).substr(0, 16);
    if (joined.empty() || joined.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return;
    }
    check(static_cast<std::uint64_t>(messageTimeValue(m)) ==
          std::strtoull(joined.c_str(), nullptr, 16));
}

// Signed by its own hash, the message verifies exactly 0 to 2 seconds after
// its stamp, wherever the stamp lies.
void checkFreshness(CorvantixMessage m) {
    m.hashValue = hashCorvantixMessage(m);
    const auto stamped = static_cast<std::uint64_t>(messageTimeValue(m));
    for (const std::uint64_t delta :
         {~std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{3}}) {
        const auto now = static_cast<std::int64_t>(stamped + delta);
        check(verifyCorvantixMessage(m, now) ==
              (complete(m) && fresh(now, static_cast<std::int64_t>(stamped))));
    }
}

void checkRoundTrip(const CorvantixMessage& m) {
    const auto json = corvantixMessageToJson(m);
    check(json.has_value() == (m.from && m.to && m.message && m.hashValue));
    if (!json || !plain(m)) {
        return;
    }
    const auto back = parseCorvantixMessage(*json);
    check(back.from == m.from && back.to == m.to && back.message == m.message &&
          back.hashValue == m.hashValue &&
          back.instruction.value_or("") == m.instruction.value_or("") &&
          joinTimeValue(back) == joinTimeValue(m));
}

// The calls after a message with the instruction has been acted on.
Calls actedOn(Calls calls, std::string_view instruction) {
    if (instruction == kInstructionSuicide) {
        ++calls.final;
    } else if (instruction == kInstructionStart) {
        ++calls.start;
    } else if (instruction == kInstructionStop) {
        ++calls.stop;
    } else if (instruction == kInstructionRestart) {
        ++calls.restart;
    }
    return calls;
}

void sendBack(const CorvantixMessage& parsed, std::uint8_t control, std::string_view tail) {
    constexpr std::string_view kChosen[] = {kInstructionSuicide, kInstructionStart,
                                            kInstructionStop, kInstructionRestart};
    const unsigned choice = (control >> 3) & 0x7;
    const bool chosen = choice >= 1 && choice <= 4;
    if (!plain(parsed.from) || !plain(parsed.to) || (!chosen && !plain(parsed.instruction))) {
        return;
    }
    const std::string instruction =
        chosen ? std::string(kChosen[choice - 1]) : parsed.instruction.value_or("");
    const std::int64_t age = static_cast<std::int64_t>(control & 0x7) - 2;
    const bool sound = (control & 0x40) == 0;

    const std::int64_t before = computeTimeValue();
    const std::int64_t stamped = before - age;
    auto message = createCorvantixMessage(parsed.from.value_or(""), parsed.to.value_or(""),
                                          instruction, stamped);
    check(message.hashValue.has_value());
    if (!sound) {
        (*message.hashValue)[0] = (*message.hashValue)[0] == '0' ? '1' : '0';
    }
    const auto json = corvantixMessageToJson(message);
    check(json.has_value());
    // The text ends at its zero byte; what follows is not read.
    std::string payload = *json;
    payload.push_back('\0');
    payload.append(tail);

    const Calls was = calls;
    deliver(payload);
    const std::int64_t after = computeTimeValue();
    // Only where the clock gives one answer for the whole call.
    if (fresh(before, stamped) == fresh(after, stamped)) {
        check(calls == (sound && fresh(before, stamped) ? actedOn(was, instruction) : was));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    // Registered, so that no instruction ends the process.
    registerFinalFunction([] { ++calls.final; });
    registerStartFunction([] { ++calls.start; });
    registerStopFunction([] { ++calls.stop; });
    registerRestartFunction([] { ++calls.restart; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::string_view payload(reinterpret_cast<const char*>(data + 1), size - 1);

    const Calls was = calls;
    deliver(payload);
    const std::string_view text = payload.substr(0, payload.find('\0'));
    const auto parsed = parseCorvantixMessage(text);
    // Only a payload signed by its own hash is ever acted on.
    check(calls == was || parsed.hashValue == hashCorvantixMessage(parsed));
    checkTimeValue(parsed);
    checkFreshness(parsed);
    checkRoundTrip(parsed);
    sendBack(parsed, control, payload.substr(std::min(text.size() + 1, payload.size())));
    return 0;
}
