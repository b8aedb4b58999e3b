#pragma once

// The card commands as values: a command type for the four cases of an
// ISO 7816-4 short command, the response with its status word, the fixed
// command set of the bank card's application, the PIN block, and the one
// reader of the card's answer to GET TAC.

#include "control/card/Secret.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo {

using Bytes = std::vector<std::uint8_t>;

// The card application's identifier.
inline constexpr std::array<std::uint8_t, 8> kApplicationId = {0xA0, 0x00, 0x00, 0x01,
                                                               0x72, 0x95, 0x00, 0x01};
// What one short command carries at most.
inline constexpr std::size_t kMaxCommandData = 255;

// A short command APDU: case 1 (header), 2 (header, Le), 3 (header, Lc,
// data) or 4 (header, Lc, data, Le). Its bytes live in wiped memory, as a
// command may carry a PIN block.
class ApduCommand {
public:
    // nullopt when the data exceed 255 bytes or the expected length is
    // outside 1..256 (256 is written as Le 00).
    static std::optional<ApduCommand> make(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                           std::uint8_t p2, std::span<const std::uint8_t> data = {},
                                           std::optional<std::uint16_t> expected = std::nullopt);
    // The same with Lc written even for no data (Lc 00), as the TAC
    // commands always carry it.
    static std::optional<ApduCommand> makeWithLc(std::uint8_t cla, std::uint8_t ins,
                                                 std::uint8_t p1, std::uint8_t p2,
                                                 std::span<const std::uint8_t> data,
                                                 std::optional<std::uint16_t> expected);

    int isoCase() const noexcept { return hasData_ ? (hasLe_ ? 4 : 3) : (hasLe_ ? 2 : 1); }
    std::uint8_t instruction() const noexcept { return bytes_[1]; }
    std::span<const std::uint8_t> data() const noexcept;
    const SecureBytes& bytes() const noexcept { return bytes_; }

private:
    ApduCommand() = default;

    SecureBytes bytes_;
    bool hasData_ = false;
    bool hasLe_ = false;
};

// A card's answer: its data, and the status word (SW1 high, SW2 low) that
// followed them; 0 when the answer carried none.
struct ApduResponse {
    Bytes data;
    std::uint16_t sw = 0;
};

// The 8 data bytes of VERIFY and WRITE RECORD: the PIN's characters read as
// hex digits (an "F" appended to an odd count), then FF. Built empty it is
// all FF, which a keypad reader fills with the PIN typed on it. Wiped when it
// goes.
class PinBlock {
public:
    static constexpr std::size_t kSize = 8;
    static constexpr std::size_t kMaxPinLength = 2 * kSize;

    PinBlock() noexcept { bytes_.fill(0xFF); }
    ~PinBlock() { secureWipe(bytes_.data(), bytes_.size()); }
    PinBlock(const PinBlock&) = delete;
    PinBlock& operator=(const PinBlock&) = delete;

    // No check of length or digits beyond what the block holds: 0; 32 for
    // more than 16 characters, which do not fit; else the hex decoder's code
    // (5009 for a character that is no hex digit, 5002 for an empty PIN).
    // The block is all FF again on failure.
    int set(std::string_view pin);
    std::span<const std::uint8_t, kSize> bytes() const noexcept { return bytes_; }

private:
    std::array<std::uint8_t, kSize> bytes_;
};

// The command set, byte for byte.
ApduCommand selectApplicationCommand();                 // 00 A4 04 00 08 <AID> 00
ApduCommand verifyCommand(const PinBlock& block);       // 00 20 00 10 08 <block>
ApduCommand selectFileCommand(std::uint16_t fileId);    // 00 A4 02 00 02 <id>
ApduCommand readRecordCommand(std::uint8_t record);     // 00 B2 <n> 04 00
ApduCommand readBinaryCommand();                        // 00 B0 00 00 10
ApduCommand cardRandomCommand();                        // 00 86 00 00 08
ApduCommand writeRecordCommand(const PinBlock& newPin); // 00 D2 01 04 08 <block>
// At most this many record bytes go into one GET TAC.
inline constexpr std::size_t kMaxTacRecord = 250;
// 00 E2 10 80 <Lc> <data> 00, and with the serial number 00 E2 10 90 ...:
// data length + 6 bytes, Lc 00 for no data; nullopt for more than 255 data
// bytes.
std::optional<ApduCommand> getTacCommand(std::span<const std::uint8_t> data);
std::optional<ApduCommand> getTacWithSerialCommand(std::span<const std::uint8_t> data);

// The TAC and the transaction serial number (TSN) that a GET TAC answer
// carries.
struct TacAnswer {
    std::string tac; // bytes 11 to 18 as 16 upper-case hex digits
    std::string tsn; // from byte 1 to its first zero byte, bytes 1 to 10 at most
};

inline constexpr std::size_t kTacOffset = 11;
inline constexpr std::size_t kTacLength = 8;
inline constexpr std::size_t kTsnOffset = 1;
inline constexpr std::size_t kTsnMaxLength = kTacOffset - kTsnOffset;

// Reads the data of a GET TAC answer (status word removed). An answer too
// short to hold the TAC (0 to 18 bytes) gives 5001 and no value; the hex
// encoder's failure gives its code.
int parseTacAnswer(std::span<const std::uint8_t> data, std::optional<TacAnswer>& out);

} // namespace tavelo
