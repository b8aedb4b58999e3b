#include "control/card/QxSCApdu.h"

#include "control/ControlErrorCode.h"
#include "control/SecretString.h"
#include "control/crypto/QxCAPICoder.h"

#include <algorithm>

namespace tavelo {

namespace {

constexpr std::uint8_t kClass = 0x00;

// A fixed command of the set; its arguments always fit.
ApduCommand fixed(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                  std::span<const std::uint8_t> data,
                  std::optional<std::uint16_t> expected = std::nullopt) {
    return *ApduCommand::make(kClass, ins, p1, p2, data, expected);
}

// Frees the hex coder's buffers, wiped first when they held a secret.
struct CoderBuffer {
    void* memory = nullptr;
    std::size_t size = 0;
    ~CoderBuffer() {
        secureWipe(memory, size);
        qxxCAPIFree(memory);
    }
};

} // namespace

std::optional<ApduCommand> ApduCommand::make(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                             std::uint8_t p2, std::span<const std::uint8_t> data,
                                             std::optional<std::uint16_t> expected) {
    if (data.size() > kMaxCommandData || (expected && (*expected == 0 || *expected > 256))) {
        return std::nullopt;
    }
    ApduCommand command;
    command.bytes_.reserve(4 + 1 + data.size() + 1);
    command.bytes_ = {cla, ins, p1, p2};
    if (!data.empty()) {
        command.hasData_ = true;
        command.bytes_.push_back(static_cast<std::uint8_t>(data.size()));
        command.bytes_.insert(command.bytes_.end(), data.begin(), data.end());
    }
    if (expected) {
        command.hasLe_ = true;
        command.bytes_.push_back(static_cast<std::uint8_t>(*expected & 0xFF));
    }
    return command;
}

std::optional<ApduCommand> ApduCommand::makeWithLc(std::uint8_t cla, std::uint8_t ins,
                                                   std::uint8_t p1, std::uint8_t p2,
                                                   std::span<const std::uint8_t> data,
                                                   std::optional<std::uint16_t> expected) {
    auto command = make(cla, ins, p1, p2, data, expected);
    if (command && !command->hasData_) {
        command->bytes_.insert(command->bytes_.begin() + 4, std::uint8_t{0});
        command->hasData_ = true;
    }
    return command;
}

std::span<const std::uint8_t> ApduCommand::data() const noexcept {
    if (!hasData_) {
        return {};
    }
    return std::span<const std::uint8_t>(bytes_).subspan(5, bytes_[4]);
}

int PinBlock::set(std::string_view pin) {
    bytes_.fill(0xFF);
    if (pin.size() > kMaxPinLength) {
        return kCtlPinLength;
    }
    SecretString digits(pin);
    if (digits.size() % 2 != 0) {
        digits.push_back('F');
    }
    CoderBuffer decoded;
    std::uint32_t length = 0;
    std::uint8_t* out = nullptr;
    const int rc = QxXCAPI_HexDecode(digits.view().data(),
                                     static_cast<std::uint32_t>(digits.size()), &out, &length);
    decoded.memory = out;
    // What the decoder allocates, whether or not it finished.
    decoded.size = out != nullptr ? digits.size() / 2 + 1 : 0;
    if (rc != kCtlOk) {
        return controlCodeFromCrypto(rc);
    }
    std::copy_n(out, std::min<std::size_t>(length, kSize), bytes_.begin());
    return kCtlOk;
}

ApduCommand selectApplicationCommand() {
    return fixed(0xA4, 0x04, 0x00, kApplicationId, 256);
}

ApduCommand verifyCommand(const PinBlock& block) {
    return fixed(0x20, 0x00, 0x10, block.bytes());
}

ApduCommand selectFileCommand(std::uint16_t fileId) {
    const std::uint8_t id[] = {static_cast<std::uint8_t>(fileId >> 8),
                               static_cast<std::uint8_t>(fileId & 0xFF)};
    return fixed(0xA4, 0x02, 0x00, id);
}

ApduCommand readRecordCommand(std::uint8_t record) {
    return fixed(0xB2, record, 0x04, {}, 256);
}

ApduCommand readBinaryCommand() {
    return fixed(0xB0, 0x00, 0x00, {}, 16);
}

ApduCommand cardRandomCommand() {
    return fixed(0x86, 0x00, 0x00, {}, 8);
}

ApduCommand writeRecordCommand(const PinBlock& newPin) {
    return fixed(0xD2, 0x01, 0x04, newPin.bytes());
}

std::optional<ApduCommand> getTacCommand(std::span<const std::uint8_t> data) {
    return ApduCommand::makeWithLc(kClass, 0xE2, 0x10, 0x80, data, 256);
}

std::optional<ApduCommand> getTacWithSerialCommand(std::span<const std::uint8_t> data) {
    return ApduCommand::makeWithLc(kClass, 0xE2, 0x10, 0x90, data, 256);
}

int parseTacAnswer(std::span<const std::uint8_t> data, std::optional<TacAnswer>& out) {
    out.reset();
    if (data.size() < kTacOffset + kTacLength) {
        return kCtlFailed;
    }
    char* hex = nullptr;
    std::uint32_t hexLength = 0;
    const int rc = QxXCAPI_HexEncode(data.data() + kTacOffset, kTacLength, &hex, &hexLength);
    CoderBuffer owner{hex, 0};
    if (rc != kCtlOk) {
        return controlCodeFromCrypto(rc);
    }
    TacAnswer answer;
    answer.tac.assign(hex, hexLength);
    const auto tsn = data.subspan(kTsnOffset, kTsnMaxLength);
    const auto end = std::find(tsn.begin(), tsn.end(), std::uint8_t{0});
    answer.tsn.assign(tsn.begin(), end);
    out = std::move(answer);
    return kCtlOk;
}

} // namespace tavelo
