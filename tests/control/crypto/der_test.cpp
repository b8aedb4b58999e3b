// The DER reader and writer of the RSA key structures.

#include "control/crypto/QxCAPIDer.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using asymtest::Bytes;
using asymtest::cat;
using asymtest::tlv;
using symtest::hex;

TEST(QxDerHeader, ReadsIdentifierAndLength) {
    const struct Row {
        const char* what;
        Bytes der;
        std::uint8_t cls;
        bool constructed;
        std::uint32_t tag;
        std::uint32_t headerLength;
        std::uint32_t contentLength;
    } rows[] = {
        {"short length", cat({hex("0203"), Bytes(3, 1)}), 0x00, false, 2, 2, 3},
        {"empty content", hex("0500"), 0x00, false, 5, 2, 0},
        {"sequence", cat({hex("307F"), Bytes(127, 0)}), 0x00, true, 16, 2, 127},
        {"one length byte", cat({hex("308180"), Bytes(128, 0)}), 0x00, true, 16, 3, 128},
        {"two length bytes", cat({hex("04820100"), Bytes(256, 0)}), 0x00, false, 4, 4, 256},
        {"four length bytes", cat({hex("0484000000FF"), Bytes(255, 0)}), 0x00, false, 4, 6, 255},
        {"context class", hex("A100"), 0x80, true, 1, 2, 0},
        {"private class", hex("C200"), 0xC0, false, 2, 2, 0},
        {"tag 31", hex("1F1F00"), 0x00, false, 31, 3, 0},
        {"tag 128", hex("3F810000"), 0x00, true, 128, 4, 0},
        {"tag of three bytes", hex("5FFFFF7F00"), 0x40, false, 0x1FFFFF, 5, 0},
        {"content shorter than the input", cat({hex("0201"), Bytes(5, 7)}), 0x00, false, 2, 2, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QxDerHeader header{};
        ASSERT_EQ(qxxCAPIDerReadHeader(row.der.data(), static_cast<std::uint32_t>(row.der.size()),
                                       &header),
                  0);
        EXPECT_EQ(header.cls, row.cls);
        EXPECT_EQ(header.constructed, row.constructed);
        EXPECT_EQ(header.tag, row.tag);
        EXPECT_EQ(header.headerLength, row.headerLength);
        EXPECT_EQ(header.contentLength, row.contentLength);
    }
}

TEST(QxDerHeader, RefusesWhatItCannotRead) {
    const struct Row {
        const char* what;
        Bytes der;
    } rows[] = {
        {"nothing", {}},
        {"identifier only", hex("30")},
        {"indefinite length", hex("30800000")},
        {"five length bytes", cat({hex("30850000000001"), Bytes(1, 0)})},
        {"eight length bytes", hex("3088FFFFFFFFFFFFFFFF")},
        {"length bytes cut short", hex("3082FF")},
        {"content past the input", hex("0203FFFF")},
        {"four-byte length past the input", hex("3084FFFFFFFF00")},
        {"long tag without its bytes", hex("1F")},
        {"long tag cut short", hex("1F81")},
        {"long tag padded", hex("1F807F00")},
        {"long form for a short tag", hex("1F1E00")},
        {"tag of four bytes", hex("1F8180808000")},
    };
    for (const Row& row : rows) {
        QxDerHeader header{};
        EXPECT_EQ(qxxCAPIDerReadHeader(row.der.data(), static_cast<std::uint32_t>(row.der.size()),
                                       &header),
                  kQxDerError)
            << row.what;
    }
    QxDerHeader header{};
    const Bytes good = hex("0500");
    EXPECT_EQ(qxxCAPIDerReadHeader(nullptr, 2, &header), kQxDerError);
    EXPECT_EQ(qxxCAPIDerReadHeader(good.data(), 2, nullptr), kQxDerError);
    // The length given is the end, whatever follows in memory.
    const Bytes longer = hex("02020102");
    EXPECT_EQ(qxxCAPIDerReadHeader(longer.data(), 3, &header), kQxDerError);
}

// n levels of SEQUENCE around one NULL.
Bytes nested(int levels) {
    Bytes der = hex("0500");
    for (int i = 0; i < levels; ++i) {
        der = tlv(0x30, der);
    }
    return der;
}

TEST(QxDerElement, SizeCoversNestedContentsDownToTheDepthLimit) {
    const Bytes pair = tlv(0x30, cat({tlv(0x02, {1}), tlv(0x31, tlv(0x04, {1, 2}))}));
    Bytes trailing = pair;
    trailing.push_back(0xEE);
    EXPECT_EQ(qxxCAPIDerElementSize(trailing.data(), static_cast<std::uint32_t>(trailing.size())),
              static_cast<std::int64_t>(pair.size()));

    const Bytes deepest = nested(kQxDerMaxDepth);
    EXPECT_EQ(qxxCAPIDerElementSize(deepest.data(), static_cast<std::uint32_t>(deepest.size())),
              static_cast<std::int64_t>(deepest.size()));
    const Bytes tooDeep = nested(kQxDerMaxDepth + 1);
    EXPECT_EQ(qxxCAPIDerElementSize(tooDeep.data(), static_cast<std::uint32_t>(tooDeep.size())),
              -1);

    const struct Row {
        const char* what;
        Bytes der;
    } broken[] = {
        {"a child cut short", tlv(0x30, hex("020201"))},
        {"a child's length past its parent", cat({hex("3003"), hex("020501"), hex("0203")})},
        {"an indefinite child", tlv(0x30, hex("30800000"))},
        {"a lone byte inside", tlv(0x30, cat({hex("0500"), hex("05")}))},
    };
    for (const Row& row : broken) {
        EXPECT_EQ(qxxCAPIDerElementSize(row.der.data(), static_cast<std::uint32_t>(row.der.size())),
                  -1)
            << row.what;
    }
    // Primitive contents are not looked into.
    const Bytes opaque = tlv(0x04, hex("3080FFFF"));
    EXPECT_EQ(qxxCAPIDerElementSize(opaque.data(), static_cast<std::uint32_t>(opaque.size())),
              static_cast<std::int64_t>(opaque.size()));
}

struct IntegerRow {
    const char* what;
    Bytes content;
    Bytes magnitude;
    bool negative;
};

TEST(QxDerInteger, ReadsMagnitudeAndSign) {
    const IntegerRow rows[] = {
        {"zero", hex("00"), {}, false},
        {"leading zero before a high byte", hex("0080"), hex("80"), false},
        {"highest one-byte positive", hex("7F"), hex("7F"), false},
        {"non-minimal zeros", hex("000001"), hex("01"), false},
        {"minus one", hex("FF"), hex("01"), true},
        {"minus 128", hex("80"), hex("80"), true},
        {"minus 129", hex("FF7F"), hex("81"), true},
        {"minus 256", hex("FF00"), hex("0100"), true},
        {"a long positive", cat({hex("00C5"), Bytes(126, 0x11)}),
         cat({hex("C5"), Bytes(126, 0x11)}), false},
    };
    for (const IntegerRow& row : rows) {
        SCOPED_TRACE(row.what);
        const Bytes der = cat({tlv(0x02, row.content), hex("0500")});
        const std::uint8_t* at = der.data();
        auto left = static_cast<std::uint32_t>(der.size());
        QxBlob value{0, nullptr};
        bool negative = !row.negative;
        ASSERT_EQ(qxxCAPIDerReadInteger(&at, &left, &value, &negative), 0);
        EXPECT_EQ(Bytes(value.pbData, value.pbData + value.cbData), row.magnitude);
        EXPECT_EQ(negative, row.negative);
        EXPECT_EQ(left, 2u) << "moved past the INTEGER only";
        EXPECT_EQ(at, der.data() + der.size() - 2);
        qxxCAPIFree(value.pbData);
    }
}

TEST(QxDerInteger, ReadIntoTheCallersBufferOrRefuse) {
    const Bytes der = tlv(0x02, hex("00C1C2C3"));
    std::uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const std::uint8_t* at = der.data();
    auto left = static_cast<std::uint32_t>(der.size());
    QxBlob small{2, buffer};
    EXPECT_EQ(qxxCAPIDerReadInteger(&at, &left, &small, nullptr), kQxDerError);
    EXPECT_EQ(at, der.data()) << "nothing moved";
    EXPECT_EQ(buffer[0], 0xEE);
    QxBlob fits{4, buffer};
    ASSERT_EQ(qxxCAPIDerReadInteger(&at, &left, &fits, nullptr), 0);
    EXPECT_EQ(fits.cbData, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), hex("C1C2C3EE"));
    EXPECT_EQ(left, 0u);

    const struct Row {
        const char* what;
        Bytes der;
    } refused[] = {
        {"empty content", hex("0200")},
        {"not an INTEGER", hex("040101")},
        {"constructed", tlv(0x22, tlv(0x02, {1}))},
        {"context class", hex("820101")},
        {"cut short", hex("020301")},
    };
    for (const Row& row : refused) {
        const std::uint8_t* p = row.der.data();
        auto n = static_cast<std::uint32_t>(row.der.size());
        QxBlob value{0, nullptr};
        EXPECT_EQ(qxxCAPIDerReadInteger(&p, &n, &value, nullptr), kQxDerError) << row.what;
        EXPECT_EQ(value.pbData, nullptr) << row.what;
    }
}

TEST(QxDerWriter, IntegersInTheirShortestForm) {
    const struct Row {
        const char* what;
        Bytes value;
        std::uint32_t flags;
        Bytes der;
    } rows[] = {
        {"empty", {}, 0, hex("020100")},
        {"zero bytes", hex("0000"), 0, hex("020100")},
        {"small", hex("05"), 0, hex("020105")},
        {"high bit", hex("80"), 0, hex("02020080")},
        {"leading zeros dropped", hex("000000C5"), 0, hex("020200C5")},
        {"leading zeros before a low byte", hex("000045"), 0, hex("020145")},
        {"exponent", hex("010001"), 0, hex("0203010001")},
        {"minus one", hex("01"), kQxDerNegative, hex("0201FF")},
        {"minus 128", hex("80"), kQxDerNegative, hex("020180")},
        {"minus 129", hex("81"), kQxDerNegative, hex("0202FF7F")},
        {"minus 256", hex("0100"), kQxDerNegative, hex("0202FF00")},
        {"minus zero", hex("00"), kQxDerNegative, hex("020100")},
        {"long", Bytes(200, 0x91), 0, cat({hex("0281C900"), Bytes(200, 0x91)})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto length = static_cast<std::uint32_t>(row.value.size());
        const std::uint32_t size =
            qxxCAPIDerWriteInteger(nullptr, row.value.data(), length, row.flags);
        Bytes out(size + 2, 0xEE);
        EXPECT_EQ(qxxCAPIDerWriteInteger(out.data(), row.value.data(), length, row.flags), size);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + size), row.der);
        EXPECT_EQ(Bytes(out.end() - 2, out.end()), Bytes(2, 0xEE));
    }
}

TEST(QxDerWriter, HeadersAndTheirReadingBack) {
    const struct Row {
        std::uint8_t cls;
        bool constructed;
        std::uint32_t tag;
        std::uint32_t length;
        Bytes header;
    } rows[] = {
        {0x00, true, 16, 0, hex("3000")},      {0x00, false, 2, 127, hex("027F")},
        {0x00, true, 16, 128, hex("308180")},  {0x00, false, 4, 256, hex("04820100")},
        {0x80, true, 0, 5, hex("A005")},       {0x00, false, 31, 1, hex("1F1F01")},
        {0x40, true, 128, 0, hex("7F810000")}, {0x00, false, 4, 0x01000000, hex("048401000000")},
    };
    for (const auto& row : rows) {
        const std::uint32_t size =
            qxxCAPIDerWriteHeader(nullptr, row.cls, row.constructed, row.tag, row.length);
        Bytes out(size);
        qxxCAPIDerWriteHeader(out.data(), row.cls, row.constructed, row.tag, row.length);
        EXPECT_EQ(out, row.header) << row.tag;
        if (row.length > 4096) {
            continue;
        }
        Bytes element = cat({out, Bytes(row.length, 0)});
        QxDerHeader header{};
        ASSERT_EQ(qxxCAPIDerReadHeader(element.data(), static_cast<std::uint32_t>(element.size()),
                                       &header),
                  0);
        EXPECT_EQ(header.cls, row.cls);
        EXPECT_EQ(header.constructed, row.constructed);
        EXPECT_EQ(header.tag, row.tag);
        EXPECT_EQ(header.contentLength, row.length);
    }
}

TEST(QxDerWriter, WrittenIntegersReadBack) {
    std::mt19937 random(1234);
    for (int i = 0; i < 500; ++i) {
        Bytes value(random() % 40);
        for (auto& byte : value) {
            byte = static_cast<std::uint8_t>(random());
        }
        const std::uint32_t flags = i % 2 == 0 ? 0 : kQxDerNegative;
        const auto length = static_cast<std::uint32_t>(value.size());
        Bytes der(qxxCAPIDerWriteInteger(nullptr, value.data(), length, flags));
        qxxCAPIDerWriteInteger(der.data(), value.data(), length, flags);
        const std::uint8_t* at = der.data();
        auto left = static_cast<std::uint32_t>(der.size());
        QxBlob back{0, nullptr};
        bool negative = false;
        ASSERT_EQ(qxxCAPIDerReadInteger(&at, &left, &back, &negative), 0);
        while (!value.empty() && value[0] == 0) {
            value.erase(value.begin());
        }
        EXPECT_EQ(Bytes(back.pbData, back.pbData + back.cbData), value);
        EXPECT_EQ(negative, flags != 0 && !value.empty());
        qxxCAPIFree(back.pbData);
    }
}

} // namespace
