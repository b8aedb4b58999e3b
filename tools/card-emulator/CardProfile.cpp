#include "tools/card-emulator/CardProfile.h"

#include <algorithm>
#include <charconv>

namespace card_emulator {

namespace {

constexpr std::array<std::uint8_t, 8> kHistoricalBytes = {'C', 'V', 'X', ' ', 'C', 'A', 'R', 'D'};

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

SecureBytes secret(std::string_view s) {
    return SecureBytes(s.begin(), s.end());
}

bool allDigits(std::string_view s) {
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

template <class Number>
bool number(std::string_view word, Number& out, int base = 10) {
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out, base);
    return ec == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

std::string joined(const std::vector<std::string_view>& w, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < w.size(); ++i) {
        out += w[i];
    }
    return out;
}

std::optional<bool> onOff(std::string_view word) {
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    return std::nullopt;
}

// "fault <ins> <times> <kind> [arguments]" after the keyword.
bool parseFault(const std::vector<std::string_view>& w, Fault& out, std::string& error) {
    std::uint8_t ins = 0;
    if (w.size() < 4 || !number(w[1], ins, 16)) {
        error = "fault needs an instruction byte, a count and a kind";
        return false;
    }
    int times = 0;
    if (w[2] == "once") {
        times = 1;
    } else if (w[2] == "always") {
        times = Fault::kAlways;
    } else if (!number(w[2], times) || times < 1) {
        error = "fault count must be once, always or a positive number";
        return false;
    }
    const std::string_view kind = w[3];
    std::uint16_t sw = 0x9000;
    if (kind == "sw" && w.size() == 5 && w[4].size() == 4 && number(w[4], sw, 16)) {
        out = Fault::statusWord(ins, sw);
    } else if (kind == "data" && (w.size() == 5 || w.size() == 6)) {
        Bytes data;
        if (w[4] != "-") {
            auto decoded = fromHex(w[4]);
            if (!decoded || decoded->size() > Fault::kMaxData) {
                error = "fault data must be hex of at most 254 bytes";
                return false;
            }
            data = std::move(*decoded);
        }
        if (w.size() == 6 && (w[5].size() != 4 || !number(w[5], sw, 16))) {
            error = "fault status word must be four hex digits";
            return false;
        }
        out = Fault::answer(ins, std::move(data), sw);
    } else if (kind == "byte" && w.size() == 5) {
        std::uint8_t b = 0;
        if (!number(w[4], b, 16)) {
            error = "fault byte must be hex";
            return false;
        }
        out = Fault::oneByte(ins, b);
    } else if (kind == "delay" && w.size() == 5) {
        unsigned ms = 0;
        if (!number(w[4], ms)) {
            error = "fault delay must be milliseconds";
            return false;
        }
        out = Fault::delayed(ins, std::chrono::milliseconds(ms));
    } else if (kind == "drop" && w.size() == 4) {
        out = Fault::drop(ins);
    } else {
        error = "unknown fault or wrong arguments";
        return false;
    }
    out.times = times;
    return true;
}

bool parseLine(const std::vector<std::string_view>& w, CardScript& script, std::string& error) {
    CardProfile& p = script.profile;
    const std::string_view key = w[0];
    if (key == "fault") {
        Fault fault;
        if (!parseFault(w, fault, error)) {
            return false;
        }
        script.faults.push_back(std::move(fault));
        return true;
    }
    if (key == "record") {
        std::uint16_t file = 0;
        unsigned record = 0;
        std::optional<Bytes> data;
        if (w.size() < 4 || !number(w[1], file, 16) || !number(w[2], record) || record < 1 ||
            record > 255 || !(data = fromHex(joined(w, 3))) || data->size() > kMaxResponseData ||
            file == kPinFile) {
            error = "record needs a file id, a number 1-255 and at most 253 bytes of hex";
            return false;
        }
        p.records[file][static_cast<std::uint8_t>(record)] = std::move(*data);
        return true;
    }
    // Hex values may be written with spaces between the bytes.
    const std::string hexValue = joined(w, 1);
    const bool isHex = key == "atr" || key == "serial" || key == "tac-key";
    if (w.size() != 2 && !(isHex && w.size() > 2)) {
        error = "one value expected";
        return false;
    }
    const std::string_view value = isHex ? std::string_view(hexValue) : w[1];
    if (key == "protocol" && (value == "t0" || value == "t1")) {
        p.atr = value == "t0" ? atrT0() : atrT1();
    } else if (key == "atr") {
        auto atr = fromHex(value);
        if (!atr || atr->size() < 2 || atr->size() > 33) {
            error = "atr must be 2 to 33 bytes of hex";
            return false;
        }
        p.atr = std::move(*atr);
    } else if (key == "serial") {
        auto serial = fromHex(value);
        if (!serial || serial->size() != p.serial.size()) {
            error = "serial must be 16 bytes of hex";
            return false;
        }
        std::copy(serial->begin(), serial->end(), p.serial.begin());
    } else if (key == "pin" || key == "keypad-pin") {
        if (value.size() < 6 || value.size() > 12 || !allDigits(value)) {
            error = "a PIN is 6 to 12 digits";
            return false;
        }
        (key == "pin" ? p.pin : p.keypadPin) = secret(value);
    } else if (key == "tries") {
        if (!number(value, p.triesLeft) || p.triesLeft < 0 || p.triesLeft > kMaxTries) {
            error = "tries must be 0 to 3";
            return false;
        }
    } else if (key == "tac-key") {
        auto keyBytes = fromHex(value);
        if (!keyBytes || keyBytes->empty()) {
            error = "tac-key must be hex";
            return false;
        }
        p.tacKey.assign(keyBytes->begin(), keyBytes->end());
        secureWipe(keyBytes->data(), keyBytes->size());
    } else if (key == "tsn") {
        if (!number(value, p.tsn)) {
            error = "tsn must be a number";
            return false;
        }
    } else if (key == "keypad" && onOff(value)) {
        p.keypad = *onOff(value);
    } else if (key == "tac-needs-pin" && onOff(value)) {
        p.tacNeedsPin = *onOff(value);
    } else {
        error = "unknown setting";
        return false;
    }
    return true;
}

} // namespace

Bytes atrT1() {
    // TS, T0 (TD1 follows, 8 historical bytes), TD1 (T=1, nothing follows),
    // the historical bytes, TCK.
    Bytes atr = {0x3B, 0x88, 0x01};
    atr.insert(atr.end(), kHistoricalBytes.begin(), kHistoricalBytes.end());
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        check ^= atr[i];
    }
    atr.push_back(check);
    return atr;
}

Bytes atrT0() {
    // No interface bytes: T=0, and no TCK.
    Bytes atr = {0x3B, 0x08};
    atr.insert(atr.end(), kHistoricalBytes.begin(), kHistoricalBytes.end());
    return atr;
}

CardProfile defaultProfile() {
    CardProfile p;
    p.atr = atrT1();
    p.serial = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    p.pin = secret("123456");
    // EF 1001: two header bytes, then the account number.
    Bytes account = {0x01, 0x10};
    const Bytes number1 = text("0012345678901234");
    account.insert(account.end(), number1.begin(), number1.end());
    p.records[0x1001][1] = account;
    Bytes second = {0x02, 0x10};
    const Bytes number2 = text("0098765432109876");
    second.insert(second.end(), number2.begin(), number2.end());
    p.records[0x1001][2] = second;
    // EF 1080: header, length and bank code, length and account, two
    // skipped bytes, eight bytes.
    Bytes bank = {0x01, 0x00, 0x03, '0', '0', '4', 0x0C};
    const Bytes number3 = text("000123456789");
    bank.insert(bank.end(), number3.begin(), number3.end());
    bank.insert(bank.end(), {0x00, 0x00, 0x20, 0x24, 0x12, 0x31, 0x00, 0x00, 0x00, 0x01});
    bank[1] = static_cast<std::uint8_t>(bank.size() - 2);
    p.records[0x1080][1] = bank;
    p.tacKey = secret("card emulator TAC key, test only");
    return p;
}

std::optional<SecureBytes> pinBlock(std::span<const std::uint8_t> digits) {
    if (digits.size() < 6 || digits.size() > 12) {
        return std::nullopt;
    }
    SecureBytes block(8, 0xFF);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return std::nullopt;
        }
        const auto value = static_cast<std::uint8_t>(digits[i] - '0');
        std::uint8_t& target = block[i / 2];
        target = i % 2 == 0 ? static_cast<std::uint8_t>((value << 4) | 0x0F)
                            : static_cast<std::uint8_t>((target & 0xF0) | value);
    }
    return block;
}

std::optional<SecureBytes> pinFromBlock(std::span<const std::uint8_t> block) {
    if (block.size() != 8) {
        return std::nullopt;
    }
    SecureBytes digits;
    digits.reserve(16);
    bool ended = false;
    for (const std::uint8_t b : block) {
        for (const int value : {b >> 4, b & 0x0F}) {
            if (value == 0x0F) {
                ended = true;
            } else if (ended || value > 9) {
                return std::nullopt;
            } else {
                digits.push_back(static_cast<std::uint8_t>('0' + value));
            }
        }
    }
    if (digits.size() < 6 || digits.size() > 12) {
        return std::nullopt;
    }
    return digits;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::optional<Bytes> fromHex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        const int value = nibble(c);
        if (value < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<std::uint8_t>((high << 4) | value));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return out;
}

Fault Fault::statusWord(std::uint8_t instruction, std::uint16_t word) {
    return answer(instruction, {}, word);
}

Fault Fault::answer(std::uint8_t instruction, Bytes data, std::uint16_t word) {
    Fault f;
    f.instruction = instruction;
    f.kind = Kind::Answer;
    if (data.size() > kMaxData) {
        data.resize(kMaxData);
    }
    f.data = std::move(data);
    f.sw = word;
    return f;
}

Fault Fault::oneByte(std::uint8_t instruction, std::uint8_t byte) {
    Fault f;
    f.instruction = instruction;
    f.kind = Kind::OneByte;
    f.byte = byte;
    return f;
}

Fault Fault::delayed(std::uint8_t instruction, std::chrono::milliseconds delay) {
    Fault f;
    f.instruction = instruction;
    f.kind = Kind::Delay;
    f.delay = delay;
    return f;
}

Fault Fault::drop(std::uint8_t instruction) {
    Fault f;
    f.instruction = instruction;
    f.kind = Kind::Drop;
    return f;
}

std::optional<CardScript> parseScript(std::string_view text, std::string& error) {
    CardScript script{defaultProfile(), {}};
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const auto w = words(line);
        if (w.empty()) {
            continue;
        }
        std::string why;
        if (!parseLine(w, script, why)) {
            error = "line " + std::to_string(lineNumber) + ": " + why;
            return std::nullopt;
        }
    }
    return script;
}

} // namespace card_emulator
