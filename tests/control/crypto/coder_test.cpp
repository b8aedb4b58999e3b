#include "control/crypto/QxCAPICoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

const std::uint8_t* raw(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// A result the library allocated, freed with its own free.
struct Owned {
    void* memory = nullptr;
    ~Owned() { qxxCAPIFree(memory); }
};

// What an encoder answers into an allocated result: code, text, and the byte
// after the text (the terminator the library promises, read inside the
// allocation).
struct Encoded {
    int rc;
    std::string text;
    char after;
};

using EncodeFn = int (*)(const std::uint8_t*, std::uint32_t, char**, std::uint32_t*);

Encoded encodeAllocated(EncodeFn encode, std::string_view input) {
    char* out = nullptr;
    std::uint32_t length = 0;
    const int rc = encode(raw(input), static_cast<std::uint32_t>(input.size()), &out, &length);
    Owned owned{out};
    if (rc != kQxOk) {
        return {rc, {}, 0};
    }
    return {rc, std::string(out, length), out[length]};
}

struct Decoded {
    int rc;
    Bytes bytes;
    std::uint8_t after;
};

// text is copied to a buffer of exactly its size, so a read past its end is
// caught by the address sanitizer.
Decoded decodeAllocated(std::string_view text) {
    const auto copy = std::make_unique<char[]>(std::max<std::size_t>(text.size(), 1));
    std::memcpy(copy.get(), text.data(), text.size());
    std::uint8_t* out = nullptr;
    std::uint32_t length = 0;
    const int rc =
        qxbase64_decode(copy.get(), static_cast<std::uint32_t>(text.size()), &out, &length);
    Owned owned{out};
    if (rc != kQxOk) {
        EXPECT_EQ(out, nullptr) << "an output was stored on failure";
        return {rc, {}, 0};
    }
    return {rc, Bytes(out, out + length), out[length]};
}

const struct {
    const char* plain;
    const char* coded;
} kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodersGiveTheStandardVectors) {
    for (const auto& v : kRfc4648) {
        SCOPED_TRACE(v.plain);
        const std::string coded = v.coded;
        const auto lines = encodeAllocated(qxbase64_encode, v.plain);
        EXPECT_EQ(lines.rc, kQxOk);
        EXPECT_EQ(lines.text, coded.empty() ? "" : coded + "\n");
        EXPECT_EQ(lines.after, '\0');
        const auto one = encodeAllocated(qxbase64_encode_ex, v.plain);
        EXPECT_EQ(one.rc, kQxOk);
        EXPECT_EQ(one.text, coded);
        EXPECT_EQ(one.after, '\0');
    }
}

TEST(Base64, DecoderGivesTheStandardVectorsBack) {
    for (const auto& v : kRfc4648) {
        SCOPED_TRACE(v.coded);
        const auto got = decodeAllocated(v.coded);
        EXPECT_EQ(got.rc, kQxOk);
        EXPECT_EQ(got.bytes, bytes(v.plain));
        EXPECT_EQ(got.after, 0);
    }
}

TEST(Base64, EncoderBreaksLinesAfterSixtyFourCharacters) {
    const struct {
        std::size_t input;
        std::vector<std::size_t> lineLengths;
    } cases[] = {
        {1, {4}},      {3, {4}},       {47, {64}},        {48, {64}}, {49, {64, 4}},
        {51, {64, 4}}, {96, {64, 64}}, {97, {64, 64, 4}}, {0, {}},    {200, {64, 64, 64, 64, 12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        std::string input;
        for (std::size_t i = 0; i < c.input; ++i) {
            input += static_cast<char>(i * 7 + 3);
        }
        const auto got = encodeAllocated(qxbase64_encode, input);
        ASSERT_EQ(got.rc, kQxOk);
        std::size_t expected = 0;
        for (const std::size_t n : c.lineLengths) {
            expected += n + 1;
        }
        EXPECT_EQ(got.text.size(), expected);
        EXPECT_EQ(got.text.find('\r'), std::string::npos);
        std::size_t at = 0;
        for (const std::size_t n : c.lineLengths) {
            ASSERT_LE(at + n, got.text.size());
            EXPECT_EQ(got.text.find('\n', at), at + n);
            at += n + 1;
        }
        const auto back = decodeAllocated(got.text);
        EXPECT_EQ(back.rc, kQxOk);
        EXPECT_EQ(back.bytes, bytes(input));
    }
}

TEST(Base64, EncodedSizesOfTheEdgeLengths) {
    EXPECT_EQ(encodeAllocated(qxbase64_encode, std::string(48, 'x')).text.size(), 65u);
    EXPECT_EQ(encodeAllocated(qxbase64_encode, std::string(51, 'x')).text.size(), 70u);
    EXPECT_EQ(encodeAllocated(qxbase64_encode, "\xff").text, "/w==\n");
    EXPECT_EQ(encodeAllocated(qxbase64_encode_ex, std::string(51, 'x')).text.size(), 68u);
}

// The caller's buffer: a capacity short by one gives 5003 and the exact size,
// that size then succeeds; only what the rule allows is written after it.
TEST(Base64, CallersBufferTakesTheExactSize) {
    struct Case {
        const char* label;
        std::function<int(std::uint8_t*, std::uint32_t*)> call;
        std::string expected;
        bool terminatorWhenLarger; // a zero follows when the capacity is larger
    };
    const std::string input = "foobar!";
    const Case cases[] = {
        {"encode",
         [&](std::uint8_t* buffer, std::uint32_t* length) {
             char* out = reinterpret_cast<char*>(buffer);
             return qxbase64_encode(raw(input), 7, &out, length);
         },
         "Zm9vYmFyIQ==\n", false},
        {"encode_ex",
         [&](std::uint8_t* buffer, std::uint32_t* length) {
             char* out = reinterpret_cast<char*>(buffer);
             return qxbase64_encode_ex(raw(input), 7, &out, length);
         },
         "Zm9vYmFyIQ==", true},
        {"decode",
         [](std::uint8_t* buffer, std::uint32_t* length) {
             return qxbase64_decode("Zm9vYmFyIQ==", 12, &buffer, length);
         },
         input, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto size = static_cast<std::uint32_t>(c.expected.size());
        std::vector<std::uint8_t> buffer(size + 8, 0x7E);

        std::uint32_t length = size - 1;
        EXPECT_EQ(c.call(buffer.data(), &length), kQxBufferTooSmall);
        EXPECT_EQ(length, size);
        EXPECT_EQ(buffer, std::vector<std::uint8_t>(size + 8, 0x7E)) << "written though short";

        length = size;
        ASSERT_EQ(c.call(buffer.data(), &length), kQxOk);
        EXPECT_EQ(length, size);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), c.expected);
        EXPECT_EQ(buffer[size], 0x7E) << "written past the capacity";

        length = size + 1;
        std::fill(buffer.begin(), buffer.end(), 0x7E);
        ASSERT_EQ(c.call(buffer.data(), &length), kQxOk);
        EXPECT_EQ(length, size);
        EXPECT_EQ(buffer[size], c.terminatorWhenLarger ? 0 : 0x7E);
        EXPECT_EQ(buffer[size + 1], 0x7E);
    }
}

TEST(Base64, DecoderAcceptsBreaksBlanksAndStopsAtTheFirstPad) {
    const struct {
        const char* label;
        std::string text;
        Bytes expected;
    } cases[] = {
        {"line feeds", "Zm9v\nYmFy\n", bytes("foobar")},
        {"carriage returns", "Zm\r\n9v\rYm\nFy", bytes("foobar")},
        {"break inside the pad", "Zm9vYg=\r\n=", bytes("foob")},
        {"blank is plus", "  //", {0xFB, 0xEF, 0xFF}},
        {"plus", "++//", {0xFB, 0xEF, 0xFF}},
        {"first pad ends", "Zg==Zm9v", bytes("f")},
        {"pad then garbage", "Zm8=*!*!", bytes("fo")},
        {"NUL ends", std::string("Zm9v\0\0\0\0", 8), bytes("foo")},
        {"empty", "", {}},
        {"only breaks", "\r\n\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto got = decodeAllocated(c.text);
        EXPECT_EQ(got.rc, kQxOk);
        EXPECT_EQ(got.bytes, c.expected);
        EXPECT_EQ(got.after, 0);
    }
}

TEST(Base64, DecoderRefusesMalformedText) {
    const struct {
        const char* label;
        std::string text;
    } cases[] = {
        {"length 3", "Zm9"},
        {"length 5", "Zm9vY"},
        {"length not counting breaks", "Zm9\n\n"},
        {"tab", "Zm9\tYmFy"},
        {"outside the alphabet", "Zm9v*mFy"},
        {"dash", "-----BEGIN-"},
        {"one character before pad", "Zm9vY==="},
        {"three pads", "Z==="},
        {"four pads", "===="},
        {"single character group", "Zm9vY=AA"},
        {"NUL inside a group", std::string("Zm\0vYmFy", 8)},
        {"unfinished last group", "Zm9vYm\n\nFy\n\nZm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(decodeAllocated(c.text).rc, kQxBadBase64);
    }
}

// 3000 characters announce 2250 bytes; 4000 pads after them once made the
// announced size 1250 and the decoder wrote the 2250 bytes into it.
TEST(Base64, ManyPadsAreRefusedBeforeAnythingIsWritten) {
    const std::string text = std::string(3000, 'A') + std::string(4000, '=');
    EXPECT_EQ(decodeAllocated(text).rc, kQxBadBase64);

    std::vector<std::uint8_t> buffer(8000, 0x7E);
    std::uint8_t* out = buffer.data();
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    EXPECT_EQ(qxbase64_decode(text.data(), static_cast<std::uint32_t>(text.size()), &out, &length),
              kQxBadBase64);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(8000, 0x7E));

    // The same with the pads spread over lines.
    std::string lines = std::string(3000, 'A');
    for (int i = 0; i < 1000; ++i) {
        lines += "====\r\n";
    }
    EXPECT_EQ(decodeAllocated(lines).rc, kQxBadBase64);
}

TEST(Base64, CodesForMissingArguments) {
    std::uint32_t length = 0;
    char* text = nullptr;
    std::uint8_t* bytes = nullptr;
    EXPECT_EQ(qxbase64_encode(nullptr, 3, &text, &length), kQxBadArgument);
    EXPECT_EQ(qxbase64_encode_ex(raw("abc"), 3, nullptr, &length), kQxBadArgument);
    EXPECT_EQ(qxbase64_decode(nullptr, 4, &bytes, &length), kQxBadArgument);
    EXPECT_EQ(qxbase64_decode("Zm9v", 4, &bytes, nullptr), kQxBadArgument);
}

// ---- PEM -------------------------------------------------------------------

std::string armoured(const std::string& name, const std::string& body) {
    return "-----BEGIN " + name + "-----\n" + body + "-----END " + name + "-----\n";
}

struct Pem {
    int rc;
    Bytes bytes;
    std::uint32_t count;
};

// Like decodeAllocated, the text sits in a buffer of exactly its size.
Pem pemDecode(std::string_view text, const char* aliases) {
    const auto copy = std::make_unique<char[]>(std::max<std::size_t>(text.size(), 1));
    std::memcpy(copy.get(), text.data(), text.size());
    QxBlob out{0, nullptr};
    const int rc =
        QxXCAPI_Decode(copy.get(), static_cast<std::uint32_t>(text.size()), &out, aliases);
    Owned owned{out.pbData};
    if (rc != kQxOk) {
        EXPECT_EQ(out.pbData, nullptr);
        return {rc, {}, out.cbData};
    }
    return {rc, Bytes(out.pbData, out.pbData + out.cbData), out.cbData};
}

const std::string kPayload = [] {
    std::string s;
    for (int i = 0; i < 100; ++i) {
        s += static_cast<char>(i * 13);
    }
    return s;
}();

std::string linesOf(const std::string& input) {
    const auto got = encodeAllocated(qxbase64_encode, input);
    EXPECT_EQ(got.rc, kQxOk);
    return got.text;
}

TEST(Pem, EncodeArmoursTheBase64Lines) {
    QxBlob out{0, nullptr};
    ASSERT_EQ(QxXCAPI_Encode(raw(kPayload), 100, &out, "CERTIFICATE"), kQxOk);
    Owned owned{out.pbData};
    const std::string expected = armoured("CERTIFICATE", linesOf(kPayload));
    EXPECT_EQ(std::string(out.pbData, out.pbData + out.cbData), expected);
    EXPECT_EQ(out.pbData[out.cbData], 0);

    for (const char* plain : {static_cast<const char*>(nullptr), ""}) {
        QxBlob bare{0, nullptr};
        ASSERT_EQ(QxXCAPI_Encode(raw(kPayload), 100, &bare, plain), kQxOk);
        Owned freed{bare.pbData};
        EXPECT_EQ(std::string(bare.pbData, bare.pbData + bare.cbData), linesOf(kPayload));
    }
}

TEST(Pem, EncodeIntoTheCallersBuffer) {
    const struct {
        const char* label;
        std::string input;
        int capacity; // against the whole size
        int rc;
    } cases[] = {
        {"one short", kPayload, -1, kQxBufferTooSmall},
        {"exact", kPayload, 0, kQxOk},
        {"larger", kPayload, 1, kQxOk},
        // Nothing between the armour lines still needs room for one byte.
        {"empty exact", "", 0, kQxBufferTooSmall},
        {"empty one more", "", 1, kQxOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string expected = armoured("PKCS7", linesOf(c.input));
        const auto size = static_cast<std::uint32_t>(expected.size());
        std::vector<std::uint8_t> buffer(size + 4, 0x7E);
        QxBlob out{static_cast<std::uint32_t>(size + c.capacity), buffer.data()};
        EXPECT_EQ(
            QxXCAPI_Encode(raw(c.input), static_cast<std::uint32_t>(c.input.size()), &out, "PKCS7"),
            c.rc);
        EXPECT_EQ(out.cbData, size);
        EXPECT_EQ(out.pbData, buffer.data());
        if (c.rc == kQxOk) {
            EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), expected);
            EXPECT_EQ(buffer[size], 0x7E) << "no terminator in a caller's buffer";
        } else {
            EXPECT_EQ(buffer, std::vector<std::uint8_t>(size + 4, 0x7E));
        }
    }
}

TEST(Pem, DecodeTakesEitherListedNameOrPlainBase64) {
    const char* aliases = "CERTIFICATE;X509 CERTIFICATE";
    const std::string body = linesOf(kPayload);
    const std::string over110 = std::string(111, 'N') + ";CERTIFICATE";
    const std::string exactly110(110, 'N');
    const struct {
        const char* label;
        std::string text;
        const char* aliases;
        int rc;
    } cases[] = {
        {"first name", armoured("CERTIFICATE", body), aliases, kQxOk},
        {"second name", armoured("X509 CERTIFICATE", body), aliases, kQxOk},
        {"leading and trailing blanks", " \r\n\t" + armoured("X509 CERTIFICATE", body) + "\n\n ",
         aliases, kQxOk},
        {"blank lines around the body", armoured("CERTIFICATE", "\n\n  " + body + "\n  \n"),
         aliases, kQxOk},
        {"plain", body, aliases, kQxOk},
        {"plain without list", body, nullptr, kQxOk},
        {"empty names skipped", armoured("X509 CERTIFICATE", body), ";;X509 CERTIFICATE;", kQxOk},
        {"name of 110", armoured(exactly110, body), exactly110.c_str(), kQxOk},
        {"unlisted name", armoured("RSA PRIVATE KEY", body), aliases, kQxBadBase64},
        {"armour without list", armoured("CERTIFICATE", body), nullptr, kQxBadBase64},
        {"name case differs", armoured("Certificate", body), aliases, kQxBadBase64},
        {"name over 110", armoured("CERTIFICATE", body), over110.c_str(), kQxBadArmour},
        {"missing END", "-----BEGIN CERTIFICATE-----\n" + body + body, aliases, kQxBadArmour},
        {"other END", "-----BEGIN CERTIFICATE-----\n" + body + "-----END PKCS7-----\n", aliases,
         kQxBadArmour},
        {"only blanks after BEGIN", "-----BEGIN CERTIFICATE-----" + std::string(40, ' '), aliases,
         kQxBadArmour},

        {"BEGIN and END only", "-----BEGIN CERTIFICATE----------END CERTIFICATE-----", aliases,
         kQxBadBase64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto got = pemDecode(c.text, c.aliases);
        EXPECT_EQ(got.rc, c.rc);
        if (c.rc == kQxOk) {
            EXPECT_EQ(got.bytes, bytes(kPayload));
        }
    }
    const auto empty =
        pemDecode("-----BEGIN CERTIFICATE-----\n\n-----END CERTIFICATE-----\n", aliases);
    EXPECT_EQ(empty.rc, kQxOk);
    EXPECT_TRUE(empty.bytes.empty());
}

// Every prefix of an armoured text, each in a buffer of exactly its length:
// no read past the end, and only the complete text decodes.
TEST(Pem, TruncatedTextsFailWithoutReadingPastTheirEnd) {
    const std::string full = armoured("CERTIFICATE", linesOf(kPayload));
    for (std::size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        const auto got = pemDecode(std::string_view(full).substr(0, n), "CERTIFICATE");
        if (n == 0) {
            EXPECT_EQ(got.rc, kQxOk);
            EXPECT_TRUE(got.bytes.empty());
        } else if (n + 1 >= full.size()) {
            EXPECT_EQ(got.rc, kQxOk);
            EXPECT_EQ(got.bytes, bytes(kPayload));
        } else {
            EXPECT_TRUE(got.rc == kQxBadArmour || got.rc == kQxBadBase64) << got.rc;
        }
    }
}

TEST(Pem, DecodeIntoTheCallersBuffer) {
    const std::string text = armoured("CERTIFICATE", linesOf("foobar"));
    std::vector<std::uint8_t> buffer(16, 0x7E);
    QxBlob out{5, buffer.data()};
    EXPECT_EQ(
        QxXCAPI_Decode(text.data(), static_cast<std::uint32_t>(text.size()), &out, "CERTIFICATE"),
        kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 6u);
    ASSERT_EQ(
        QxXCAPI_Decode(text.data(), static_cast<std::uint32_t>(text.size()), &out, "CERTIFICATE"),
        kQxOk);
    EXPECT_EQ(out.pbData, buffer.data());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + out.cbData), bytes("foobar"));
    EXPECT_EQ(QxXCAPI_Decode(text.data(), 4, nullptr, "CERTIFICATE"), kQxBadArgument);
}

// ---- Hexadecimal -----------------------------------------------------------

TEST(Hex, EncodeWritesTwoUpperCaseDigitsPerByte) {
    const struct {
        Bytes input;
        const char* expected;
    } cases[] = {
        {{}, ""},
        {{0x0A, 0xFF, 0x00}, "0AFF00"},
        {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}, "123456789ABCDEF0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        // Any pointer already there is overwritten: the result is always new.
        char stale[4] = {};
        char* out = stale;
        std::uint32_t length = 99;
        ASSERT_EQ(QxXCAPI_HexEncode(c.input.data(), static_cast<std::uint32_t>(c.input.size()),
                                    &out, &length),
                  kQxOk);
        Owned owned{out};
        ASSERT_NE(out, stale);
        EXPECT_EQ(std::string(out, length), c.expected);
        EXPECT_EQ(out[length], '\0');
    }
}

TEST(Hex, DecodePairsDigitsOfEitherCase) {
    const struct {
        const char* label;
        std::string text;
        int rc;
        Bytes expected;
    } cases[] = {
        {"mixed case", "0aFf", kQxOk, {0x0A, 0xFF}},
        {"all digits",
         "0123456789abcdefABCDEF",
         kQxOk,
         {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
        {"odd digit ignored", "abc", kQxOk, {0xAB}},
        {"single digit", "a", kQxOk, {}},
        {"non-digit first", "0aG0", kQxBadHex, {}},
        {"non-digit second", "0a0g", kQxBadHex, {}},
        {"blank", "0a 0", kQxBadHex, {}},
        {"NUL inside",
         std::string("0a\0"
                     "0",
                     4),
         kQxBadHex,
         {}},
        {"empty", "", kQxNoMemory, {}},
        {"NUL first",
         std::string("\0"
                     "012",
                     4),
         kQxNoMemory,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto copy = std::make_unique<char[]>(std::max<std::size_t>(c.text.size(), 1));
        std::memcpy(copy.get(), c.text.data(), c.text.size());
        std::uint8_t* out = nullptr;
        std::uint32_t length = 0;
        const int rc =
            QxXCAPI_HexDecode(copy.get(), static_cast<std::uint32_t>(c.text.size()), &out, &length);
        Owned owned{out};
        EXPECT_EQ(rc, c.rc);
        if (rc == kQxOk) {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(Bytes(out, out + length), c.expected);
            EXPECT_EQ(out[length], 0);
        } else if (rc == kQxBadHex) {
            // The buffer stays with the caller.
            EXPECT_NE(out, nullptr);
            EXPECT_EQ(length, c.text.size() / 2);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
}

TEST(Hex, DigitValues) {
    const struct {
        char c;
        int value;
    } cases[] = {{'0', 0},  {'9', 9},   {'A', 10},    {'F', 15},   {'a', 10}, {'f', 15},
                 {'/', -1}, {':', -1},  {'@', -1},    {'G', -1},   {'`', -1}, {'g', -1},
                 {' ', -1}, {'\0', -1}, {'\xB0', -1}, {'\xFF', -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(qxxCAPIHexDigitValue(c.c), c.value) << static_cast<int>(c.c);
    }
}

} // namespace
