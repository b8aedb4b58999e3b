#include "tools/card-emulator/CardApplication.h"

#include "platform/random/Random.h"

#include <nettle/hmac.h>

#include <algorithm>
#include <cstdio>

namespace card_emulator {

namespace {

constexpr std::uint8_t kSelect = 0xA4;
constexpr std::uint8_t kVerify = 0x20;
constexpr std::uint8_t kReadRecord = 0xB2;
constexpr std::uint8_t kReadBinary = 0xB0;
constexpr std::uint8_t kRandom = 0x86;
constexpr std::uint8_t kWriteRecord = 0xD2;
constexpr std::uint8_t kGetTac = 0xE2;

constexpr std::uint16_t kOk = 0x9000;
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kWrongClass = 0x6E00;
constexpr std::uint16_t kWrongInstruction = 0x6D00;
constexpr std::uint16_t kWrongP1P2 = 0x6A86;
constexpr std::uint16_t kFileNotFound = 0x6A82;
constexpr std::uint16_t kRecordNotFound = 0x6A83;
constexpr std::uint16_t kNoCurrentFile = 0x6986;
constexpr std::uint16_t kNotAllowed = 0x6982;
constexpr std::uint16_t kWrongData = 0x6A80;
constexpr std::uint16_t kWrongOffset = 0x6B00;
constexpr std::uint16_t kTwoOrMoreTries = 0x6608;
constexpr std::uint16_t kOneTry = 0x6610;
constexpr std::uint16_t kBlocked = 0x6620;

constexpr std::uint8_t kFormat = 0x01;

Bytes status(std::uint16_t word) {
    return {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFF)};
}

Bytes withStatus(Bytes data, std::uint16_t word) {
    data.push_back(static_cast<std::uint8_t>(word >> 8));
    data.push_back(static_cast<std::uint8_t>(word & 0xFF));
    return data;
}

// Le as a count: 00 asks for up to 256.
std::size_t expected(std::uint8_t le) {
    return le == 0 ? 256 : le;
}

std::array<char, kTsnDigits + 1> tsnDigits(std::uint32_t tsn) {
    std::array<char, kTsnDigits + 1> digits{};
    std::snprintf(digits.data(), digits.size(), "%08u", static_cast<unsigned>(tsn % 100000000u));
    return digits;
}

} // namespace

// A command split into its parts; data is empty and le unset as the case
// has them.
struct CardApplication::Apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::span<const std::uint8_t> data;
    bool hasData = false;
    std::optional<std::uint8_t> le;

    // Cases 1 to 4 in short form; false for anything else.
    static bool parse(std::span<const std::uint8_t> bytes, Apdu& out) {
        if (bytes.size() < 4) {
            return false;
        }
        out.cla = bytes[0];
        out.ins = bytes[1];
        out.p1 = bytes[2];
        out.p2 = bytes[3];
        if (bytes.size() == 4) {
            return true;
        }
        if (bytes.size() == 5) {
            out.le = bytes[4];
            return true;
        }
        const std::size_t lc = bytes[4];
        if (lc == 0) {
            return false; // extended length
        }
        if (bytes.size() != 5 + lc && bytes.size() != 6 + lc) {
            return false;
        }
        out.data = bytes.subspan(5, lc);
        out.hasData = true;
        if (bytes.size() == 6 + lc) {
            out.le = bytes.back();
        }
        return true;
    }
};

Bytes computeTac(std::span<const std::uint8_t> key, std::uint32_t tsn,
                 std::optional<std::span<const std::uint8_t>> serial,
                 std::span<const std::uint8_t> data) {
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, key.size(), key.data());
    const auto digits = tsnDigits(tsn);
    hmac_sha256_update(&ctx, kTsnDigits, reinterpret_cast<const std::uint8_t*>(digits.data()));
    if (serial) {
        hmac_sha256_update(&ctx, serial->size(), serial->data());
    }
    hmac_sha256_update(&ctx, data.size(), data.data());
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
    hmac_sha256_digest(&ctx, digest.size(), digest.data());
    Bytes tac(digest.begin(), digest.begin() + kTacLength);
    secureWipe(&ctx, sizeof ctx);
    secureWipe(digest.data(), digest.size());
    return tac;
}

CardApplication::CardApplication(CardProfile profile) : profile_(std::move(profile)) {}

void CardApplication::powerCycle() {
    currentFile_.reset();
    verified_ = false;
}

Bytes CardApplication::process(std::span<const std::uint8_t> command) {
    if (command.size() < 4) {
        return status(kWrongLength);
    }
    if (command[0] != 0x00) {
        return status(kWrongClass);
    }
    switch (command[1]) {
    case kSelect:
    case kVerify:
    case kReadRecord:
    case kReadBinary:
    case kRandom:
    case kWriteRecord:
    case kGetTac:
        break;
    default:
        return status(kWrongInstruction);
    }
    Apdu apdu;
    if (!Apdu::parse(command, apdu)) {
        return status(kWrongLength);
    }
    switch (apdu.ins) {
    case kSelect:
        return select(apdu);
    case kVerify:
        return verify(apdu);
    case kReadRecord:
        return readRecord(apdu);
    case kReadBinary:
        return readBinary(apdu);
    case kRandom:
        return challenge(apdu);
    case kWriteRecord:
        return writeRecord(apdu);
    default:
        return getTac(apdu);
    }
}

Bytes CardApplication::select(const Apdu& apdu) {
    if (apdu.p2 != 0x00 || (apdu.p1 != 0x04 && apdu.p1 != 0x02)) {
        return status(kWrongP1P2);
    }
    if (!apdu.hasData) {
        return status(kWrongLength);
    }
    if (apdu.p1 == 0x04) {
        if (!std::equal(apdu.data.begin(), apdu.data.end(), kApplicationId.begin(),
                        kApplicationId.end())) {
            return status(kFileNotFound);
        }
        currentFile_.reset();
        return status(kOk);
    }
    if (apdu.data.size() != 2) {
        return status(kWrongLength);
    }
    const auto file = static_cast<std::uint16_t>((apdu.data[0] << 8) | apdu.data[1]);
    if (file != kPinFile && profile_.records.count(file) == 0) {
        return status(kFileNotFound);
    }
    currentFile_ = file;
    return status(kOk);
}

std::uint16_t CardApplication::checkPin(std::span<const std::uint8_t> digits) {
    if (profile_.triesLeft <= 0) {
        return kBlocked;
    }
    if (std::equal(digits.begin(), digits.end(), profile_.pin.begin(), profile_.pin.end())) {
        profile_.triesLeft = kMaxTries;
        verified_ = true;
        return kOk;
    }
    verified_ = false;
    --profile_.triesLeft;
    if (profile_.triesLeft >= 2) {
        return kTwoOrMoreTries;
    }
    return profile_.triesLeft == 1 ? kOneTry : kBlocked;
}

Bytes CardApplication::verify(const Apdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x10) {
        return status(kWrongP1P2);
    }
    if (apdu.data.size() != 8 || apdu.le) {
        return status(kWrongLength);
    }
    const bool fromReader =
        profile_.keypad &&
        std::all_of(apdu.data.begin(), apdu.data.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (fromReader) {
        return status(checkPin(profile_.keypadPin.empty() ? profile_.pin : profile_.keypadPin));
    }
    // A block that holds no PIN at all still costs a try.
    const auto digits = pinFromBlock(apdu.data);
    return status(checkPin(digits ? std::span<const std::uint8_t>(*digits)
                                  : std::span<const std::uint8_t>(apdu.data)));
}

Bytes CardApplication::readRecord(const Apdu& apdu) {
    if (apdu.p2 != 0x04 || apdu.p1 == 0x00) {
        return status(kWrongP1P2);
    }
    if (apdu.hasData || !apdu.le) {
        return status(kWrongLength);
    }
    if (!currentFile_) {
        return status(kNoCurrentFile);
    }
    if (*currentFile_ == kPinFile) {
        return status(kNotAllowed);
    }
    const auto& file = profile_.records.at(*currentFile_);
    const auto record = file.find(apdu.p1);
    if (record == file.end()) {
        return status(kRecordNotFound);
    }
    const std::size_t count =
        std::min({record->second.size(), expected(*apdu.le), kMaxResponseData});
    return withStatus(Bytes(record->second.begin(), record->second.begin() + count), kOk);
}

Bytes CardApplication::readBinary(const Apdu& apdu) {
    if ((apdu.p1 & 0x80) != 0) {
        return status(kWrongP1P2);
    }
    if (apdu.hasData || !apdu.le) {
        return status(kWrongLength);
    }
    const std::size_t offset = (apdu.p1 << 8) | apdu.p2;
    if (offset >= profile_.serial.size()) {
        return status(kWrongOffset);
    }
    const std::size_t count = std::min(profile_.serial.size() - offset, expected(*apdu.le));
    return withStatus(Bytes(profile_.serial.begin() + static_cast<std::ptrdiff_t>(offset),
                            profile_.serial.begin() + static_cast<std::ptrdiff_t>(offset + count)),
                      kOk);
}

Bytes CardApplication::challenge(const Apdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x00) {
        return status(kWrongP1P2);
    }
    if (apdu.hasData || !apdu.le || (*apdu.le != 0x08 && *apdu.le != 0x00)) {
        return status(kWrongLength);
    }
    Bytes bytes(8);
    if (!platform::randomBytes(bytes.data(), bytes.size())) {
        return status(0x6F00);
    }
    return withStatus(std::move(bytes), kOk);
}

Bytes CardApplication::writeRecord(const Apdu& apdu) {
    if (apdu.p1 != 0x01 || apdu.p2 != 0x04) {
        return status(kWrongP1P2);
    }
    if (apdu.data.size() != 8 || apdu.le) {
        return status(kWrongLength);
    }
    if (!currentFile_) {
        return status(kNoCurrentFile);
    }
    if (*currentFile_ != kPinFile || !verified_) {
        return status(kNotAllowed);
    }
    auto digits = pinFromBlock(apdu.data);
    if (!digits) {
        return status(kWrongData);
    }
    profile_.pin = std::move(*digits);
    return status(kOk);
}

Bytes CardApplication::getTac(const Apdu& apdu) {
    if (apdu.p1 != 0x10 || (apdu.p2 != 0x80 && apdu.p2 != 0x90)) {
        return status(kWrongP1P2);
    }
    if (!apdu.hasData) {
        return status(kWrongLength);
    }
    if (profile_.tacNeedsPin && !verified_) {
        if (!profile_.keypad) {
            return status(kNotAllowed);
        }
        // The reader asks for the PIN now.
        const std::uint16_t word =
            checkPin(profile_.keypadPin.empty() ? profile_.pin : profile_.keypadPin);
        if (word != kOk) {
            return status(word);
        }
    }
    const bool withSerial = apdu.p2 == 0x90;
    const std::span<const std::uint8_t> serial(profile_.serial);
    Bytes tac = computeTac(profile_.tacKey, profile_.tsn,
                           withSerial ? std::optional(serial) : std::nullopt, apdu.data);
    Bytes answer(kTacOffset, 0x00);
    answer[0] = kFormat;
    const auto digits = tsnDigits(profile_.tsn);
    std::copy(digits.begin(), digits.begin() + kTsnDigits, answer.begin() + 1);
    answer.insert(answer.end(), tac.begin(), tac.end());
    if (withSerial) {
        answer.insert(answer.end(), serial.begin(), serial.end());
    }
    ++profile_.tsn;
    return withStatus(std::move(answer), kOk);
}

} // namespace card_emulator
