#pragma once

// The bank card's application: answers command APDUs as the card does, with
// its state (current file, PIN tries, verification since power-on, TSN).
//
//   SELECT        00 A4 04 00 08 <AID> [00]    the application
//                 00 A4 02 00 02 <file id>     an elementary file
//   VERIFY        00 20 00 10 08 <PIN block>   6608 while two or more tries
//                                              are left, 6610 at one, 6620
//                                              blocked; 9000 resets the tries
//   READ RECORD   00 B2 <n> 04 <Le>            a record of the current file
//   READ BINARY   00 B0 <offset> <Le>          the 16-byte serial number
//   random        00 86 00 00 08               8 random bytes
//   WRITE RECORD  00 D2 01 04 08 <PIN block>   the new PIN, into EF 00C2
//   GET TAC       00 E2 10 80|90 Lc <data> 00  format byte 01, the TSN as 8
//                                              digits from byte 1 and zero
//                                              bytes to byte 10, the TAC in
//                                              bytes 11-18 (with 90, the
//                                              serial number after it)
//
// The TAC is the first 8 bytes of HMAC-SHA-256 under the card's key over the
// TSN's digits, the serial number (90 only) and the data; the TSN counts up
// after each. Anything else is refused with a status word: 6700 length,
// 6E00 class, 6D00 instruction, 6A86 P1-P2, 6A82 no such file, 6A83 no such
// record, 6986 no current file, 6982 not allowed yet, 6A80 bad data, 6B00
// offset. An answer is never empty, never 61xx or 6Cxx, and carries at most
// 253 data bytes.

#include "tools/card-emulator/CardProfile.h"

#include <cstdint>
#include <optional>
#include <span>

namespace card_emulator {

inline constexpr std::size_t kTacOffset = 11;
inline constexpr std::size_t kTacLength = 8;
inline constexpr std::size_t kTsnDigits = 8;

// The TAC over a TSN's digits, the serial number (nullopt: without) and the
// data.
Bytes computeTac(std::span<const std::uint8_t> key, std::uint32_t tsn,
                 std::optional<std::span<const std::uint8_t>> serial,
                 std::span<const std::uint8_t> data);

class CardApplication {
public:
    explicit CardApplication(CardProfile profile);

    // The response to one command APDU: data, then SW1 SW2.
    Bytes process(std::span<const std::uint8_t> command);
    // Power off, power on or reset: the current file and the verification
    // go; the PIN, its tries and the TSN stay.
    void powerCycle();

    const CardProfile& profile() const { return profile_; }
    int triesLeft() const { return profile_.triesLeft; }
    std::uint32_t tsn() const { return profile_.tsn; }
    bool verified() const { return verified_; }

private:
    struct Apdu;

    Bytes select(const Apdu& apdu);
    Bytes verify(const Apdu& apdu);
    Bytes readRecord(const Apdu& apdu);
    Bytes readBinary(const Apdu& apdu);
    Bytes challenge(const Apdu& apdu);
    Bytes writeRecord(const Apdu& apdu);
    Bytes getTac(const Apdu& apdu);
    // Checks a PIN against the card's, counting tries; the status word.
    std::uint16_t checkPin(std::span<const std::uint8_t> digits);

    CardProfile profile_;
    std::optional<std::uint16_t> currentFile_;
    bool verified_ = false;
};

} // namespace card_emulator
