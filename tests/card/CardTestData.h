#pragma once

// The card the card tests use, written out byte for byte, and the script of
// commands and exact answers that it gives from insertion on. The emulator's
// own tests run the script against the application directly; the tests
// through pcscd run it through the real resource manager and driver.

#include "tools/card-emulator/CardProfile.h"

#include <nettle/hmac.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace card_test {

using card_emulator::Bytes;

// Hex digits with spaces between bytes, as a test writes them.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        int value = -1;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline const Bytes kSerial = hex("53 45 52 49 41 4C 2D 30 30 30 30 30 30 30 34 32");
inline const Bytes kRecord1001_1 = concat(hex("01 10"), ascii("0012345678901234"));
inline const Bytes kRecord1001_2 = concat(hex("02 10"), ascii("0098765432109876"));
inline const Bytes kRecord1080_1 =
    concat(concat(hex("01 1B 03"), ascii("004")),
           concat(concat(hex("0C"), ascii("000123456789")), hex("00 00 11 22 33 44 55 66 77 88")));
inline const std::string kPin = "246810";
inline const Bytes kPinBlock = hex("24 68 10 FF FF FF FF FF");
inline const Bytes kWrongPinBlock = hex("24 68 11 FF FF FF FF FF");
inline const std::string kTacKey = "a TAC key for the card tests";
inline constexpr std::uint32_t kFirstTsn = 41;

inline card_emulator::CardProfile testProfile() {
    card_emulator::CardProfile p;
    p.atr = card_emulator::atrT1();
    std::copy(kSerial.begin(), kSerial.end(), p.serial.begin());
    p.pin.assign(kPin.begin(), kPin.end());
    p.records[0x1001][1] = kRecord1001_1;
    p.records[0x1001][2] = kRecord1001_2;
    p.records[0x1080][1] = kRecord1080_1;
    p.tacKey.assign(kTacKey.begin(), kTacKey.end());
    p.tsn = kFirstTsn;
    return p;
}

inline const Bytes kSelectApplication = hex("00 A4 04 00 08 A0 00 00 01 72 95 00 01 00");
inline const Bytes kVerify = concat(hex("00 20 00 10 08"), kPinBlock);
inline const Bytes kVerifyWrong = concat(hex("00 20 00 10 08"), kWrongPinBlock);
inline const Bytes kReadSerial = hex("00 B0 00 00 10");

struct ApduRow {
    const char* what;
    Bytes command;
    Bytes response;
};

// From insertion on, in this order.
inline std::vector<ApduRow> applicationScript() {
    const Bytes ok = hex("90 00");
    return {
        {"select the application", kSelectApplication, ok},
        {"select the application without Le", hex("00 A4 04 00 08 A0 00 00 01 72 95 00 01"), ok},
        {"select another application", hex("00 A4 04 00 08 A0 00 00 01 72 95 00 02 00"),
         hex("6A 82")},
        {"read a record with no file selected", hex("00 B2 01 04 00"), hex("69 86")},
        {"select EF 1001", hex("00 A4 02 00 02 10 01"), ok},
        {"read record 1", hex("00 B2 01 04 00"), concat(kRecord1001_1, ok)},
        {"read record 2", hex("00 B2 02 04 00"), concat(kRecord1001_2, ok)},
        {"read a record that is not there", hex("00 B2 03 04 00"), hex("6A 83")},
        {"read record 0", hex("00 B2 00 04 00"), hex("6A 86")},
        {"read a record by another reference", hex("00 B2 01 0C 00"), hex("6A 86")},
        {"read part of a record", hex("00 B2 01 04 04"), hex("01 10 30 30 90 00")},
        {"select EF 1080", hex("00 A4 02 00 02 10 80"), ok},
        {"read its record", hex("00 B2 01 04 00"), concat(kRecord1080_1, ok)},
        {"select a file that is not there", hex("00 A4 02 00 02 20 00"), hex("6A 82")},
        {"the current file stays", hex("00 B2 01 04 00"), concat(kRecord1080_1, ok)},
        {"select with a 3-byte identifier", hex("00 A4 02 00 03 10 01 00"), hex("67 00")},
        {"select by another method", hex("00 A4 01 00 02 10 01"), hex("6A 86")},
        {"select without data", hex("00 A4 04 00 00"), hex("67 00")},
        {"read the serial number", kReadSerial, concat(kSerial, ok)},
        {"read its second half", hex("00 B0 00 08 00"),
         concat(Bytes(kSerial.begin() + 8, kSerial.end()), ok)},
        {"read past its end", hex("00 B0 00 10 01"), hex("6B 00")},
        {"read by short file identifier", hex("00 B0 81 00 10"), hex("6A 86")},
        {"read binary with data", hex("00 B0 00 00 01 00"), hex("67 00")},
        {"select the PIN file", hex("00 A4 02 00 02 00 C2"), ok},
        {"change the PIN before VERIFY", concat(hex("00 D2 01 04 08"), kPinBlock), hex("69 82")},
        {"GET TAC before VERIFY", hex("00 E2 10 80 03 41 42 43 00"), hex("69 82")},
        {"VERIFY", kVerify, ok},
        {"the PIN file's record is never read", hex("00 B2 01 04 00"), hex("69 82")},
        {"write another record of it", concat(hex("00 D2 02 04 08"), kPinBlock), hex("6A 86")},
        {"write a block that is no PIN", hex("00 D2 01 04 08 12 34 5F FF FF FF FF FF"),
         hex("6A 80")},
        {"write a block with a short length", hex("00 D2 01 04 04 12 34 56 FF"), hex("67 00")},
        {"select EF 1080 again", hex("00 A4 02 00 02 10 80"), ok},
        {"WRITE RECORD into it", concat(hex("00 D2 01 04 08"), kPinBlock), hex("69 82")},
        {"random with another length", hex("00 86 00 00 04"), hex("67 00")},
        {"random with P1", hex("00 86 01 00 08"), hex("6A 86")},
        {"VERIFY with another P2", concat(hex("00 20 00 11 08"), kPinBlock), hex("6A 86")},
        {"VERIFY with 4 bytes", hex("00 20 00 10 04 24 68 10 FF"), hex("67 00")},
        {"GET TAC with another P2", hex("00 E2 10 70 01 41 00"), hex("6A 86")},
        {"GET TAC with another P1", hex("00 E2 11 80 01 41 00"), hex("6A 86")},
        {"GET TAC without data", hex("00 E2 10 80 00"), hex("67 00")},
        {"another class", hex("80 A4 04 00 08 A0 00 00 01 72 95 00 01 00"), hex("6E 00")},
        {"an unknown instruction", hex("00 CA 00 00 00"), hex("6D 00")},
        {"a header alone", hex("00 B0 00 00"), hex("67 00")},
        {"three bytes", hex("00 B0 00"), hex("67 00")},
        {"extended length", hex("00 B0 00 00 00 00 10"), hex("67 00")},
        {"Lc longer than the data", hex("00 A4 04 00 08 A0 00 00 01"), hex("67 00")},
        {"Lc shorter than the data", hex("00 A4 04 00 02 A0 00 00 01 72"), hex("67 00")},
    };
}

// The TAC as the card's key makes it: the first 8 bytes of HMAC-SHA-256
// over the TSN's eight digits, the serial number when asked for, and the
// data.
inline Bytes expectedTac(std::uint32_t tsn, const Bytes& data, bool withSerial) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(tsn));
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, kTacKey.size(),
                        reinterpret_cast<const std::uint8_t*>(kTacKey.data()));
    hmac_sha256_update(&ctx, 8, reinterpret_cast<const std::uint8_t*>(digits));
    if (withSerial) {
        hmac_sha256_update(&ctx, kSerial.size(), kSerial.data());
    }
    hmac_sha256_update(&ctx, data.size(), data.data());
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    hmac_sha256_digest(&ctx, sizeof digest, digest);
    return Bytes(digest, digest + 8);
}

// The whole answer to GET TAC: format byte 01, the TSN's digits and zero
// bytes up to byte 10, the TAC, the serial number when asked for, 90 00.
inline Bytes expectedTacAnswer(std::uint32_t tsn, const Bytes& data, bool withSerial) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(tsn));
    Bytes answer = concat(hex("01"), ascii(digits));
    answer.insert(answer.end(), {0x00, 0x00});
    answer = concat(answer, expectedTac(tsn, data, withSerial));
    if (withSerial) {
        answer = concat(answer, kSerial);
    }
    return concat(answer, hex("90 00"));
}

// GET TAC over data, with or without the serial number.
inline Bytes getTacCommand(const Bytes& data, bool withSerial) {
    Bytes command = {0x00, 0xE2, 0x10, static_cast<std::uint8_t>(withSerial ? 0x90 : 0x80),
                     static_cast<std::uint8_t>(data.size())};
    command = concat(command, data);
    command.push_back(0x00);
    return command;
}

} // namespace card_test
