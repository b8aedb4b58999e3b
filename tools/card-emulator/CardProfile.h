#pragma once

// What one emulated bank card holds, and the script form in which a file or
// the command line gives it: the answer to reset, the serial number, the PIN
// and its tries, the records of its elementary files, the TAC key and the
// transaction serial number (TSN) counter, and whether it sits in a keypad
// reader.

#include "common/Cipher.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace card_emulator {

using Bytes = std::vector<std::uint8_t>;

inline constexpr int kMaxTries = 3;
// A response holds at most this many data bytes before its status word: a
// reader's caller receives 255 bytes.
inline constexpr std::size_t kMaxResponseData = 253;
inline constexpr std::uint16_t kPinFile = 0x00C2;

// The application's identifier.
inline constexpr std::array<std::uint8_t, 8> kApplicationId = {0xA0, 0x00, 0x00, 0x01,
                                                               0x72, 0x95, 0x00, 0x01};

struct CardProfile {
    Bytes atr;
    std::array<std::uint8_t, 16> serial{};
    SecureBytes pin; // ASCII digits, 6 to 12 of them
    int triesLeft = kMaxTries;
    // Records by file identifier, then by record number (from 1).
    std::map<std::uint16_t, std::map<std::uint8_t, Bytes>> records;
    SecureBytes tacKey; // HMAC-SHA-256 key
    std::uint32_t tsn = 1;
    // In a keypad reader a PIN block of all FF means the reader takes the PIN
    // (keypadPin, or the card's PIN when that is empty), and GET TAC asks
    // the reader for it when no VERIFY went before.
    bool keypad = false;
    SecureBytes keypadPin;
    // GET TAC answers 6982 until a PIN was verified since power-on.
    bool tacNeedsPin = true;
};

// Answers to reset: a card that offers T=1 only, and one that speaks T=0.
Bytes atrT1();
Bytes atrT0();

// A complete card: T=1, PIN 123456, three tries, records in EF 1001 and EF
// 1080, a fixed serial number and TAC key, TSN 1.
CardProfile defaultProfile();

// The 8-byte PIN block of ASCII digits: the digits as hex nibbles, an F
// appended when their count is odd, the rest FF. nullopt when the PIN is not
// 6 to 12 digits.
std::optional<SecureBytes> pinBlock(std::span<const std::uint8_t> digits);
// The digits of a PIN block; nullopt when it is not one of 6 to 12 digits.
std::optional<SecureBytes> pinFromBlock(std::span<const std::uint8_t> block);

std::string toHex(std::span<const std::uint8_t> bytes);
// Hex digits, white space ignored; nullopt for anything else or an odd count.
std::optional<Bytes> fromHex(std::string_view text);

// A scripted fault: what the card does instead of answering a command with
// the given instruction byte, the next `times` times (kAlways: every time).
struct Fault {
    enum class Kind {
        Answer,  // answers data (0 to 254 bytes) and the status word instead
        OneByte, // answers the single byte
        Delay,   // answers normally after the delay
        Drop,    // closes the connection on receipt, as a card pulled out
    };
    static constexpr int kAlways = -1;
    // 254 data bytes and the status word are more than a reader's caller
    // takes: the deliberate transmit failure.
    static constexpr std::size_t kMaxData = 254;

    std::uint8_t instruction = 0;
    int times = 1;
    Kind kind = Kind::Answer;
    Bytes data;
    std::uint16_t sw = 0x9000;
    std::uint8_t byte = 0x90;
    std::chrono::milliseconds delay{0};

    static Fault statusWord(std::uint8_t instruction, std::uint16_t word);
    static Fault answer(std::uint8_t instruction, Bytes data, std::uint16_t word = 0x9000);
    static Fault oneByte(std::uint8_t instruction, std::uint8_t byte);
    static Fault delayed(std::uint8_t instruction, std::chrono::milliseconds delay);
    static Fault drop(std::uint8_t instruction);
    Fault& repeat(int count) {
        times = count;
        return *this;
    }
    Fault& always() { return repeat(kAlways); }
};

// A card and the faults it starts with.
struct CardScript {
    CardProfile profile;
    std::vector<Fault> faults;
};

// Reads a script over the default profile, one setting a line ("#" starts a
// comment):
//   protocol t0|t1            atr <hex>            serial <32 hex digits>
//   pin <digits>              tries <0-3>          tac-key <hex>
//   tsn <number>              keypad on|off        keypad-pin <digits>
//   tac-needs-pin on|off      record <file id hex> <number> <hex>
//   fault <ins hex> <once|always|count> sw <hex> | data <hex or -> [sw] |
//         byte <hex> | delay <ms> | drop
// Hex values of atr, serial, tac-key and record may have spaces between
// bytes. nullopt with the reason in error for a line it cannot take.
std::optional<CardScript> parseScript(std::string_view text, std::string& error);

} // namespace card_emulator
