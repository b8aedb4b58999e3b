#include "common/Sha512.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Case {
    std::string what;
    std::string text;
    std::string digest;
};

// FIPS 180-4 examples, and runs of "a" around the block and padding
// boundaries (reference digests from an independent implementation).
const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"empty", "",
         "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE"
         "47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81A538327AF927DA3E"},
        {"abc", "abc",
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
         "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
        {"896-bit message",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018"
         "501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD26545E96E55B874BE909"},
        {"111 a: padding fits", std::string(111, 'a'),
         "FA9121C7B32B9E01733D034CFC78CBF67F926C7ED83E82200EF86818196921760"
         "B4BEFF48404DF811B953828274461673C68D04E297B0EB7B2B4D60FC6B566A2"},
        {"112 a: padding needs a second block", std::string(112, 'a'),
         "C01D080EFD492776A1C43BD23DD99D0A2E626D481E16782E75D54C2503B5DC32"
         "BD05F0F1BA33E568B88FD2D970929B719ECBB152F58F130A407C8830604B70CA"},
        {"128 a: exactly one block", std::string(128, 'a'),
         "B73D1929AA615934E61A871596B3F3B33359F42B8175602E89F7E06E5F658A24"
         "3667807ED300314B95CACDD579F3E33ABDFBE351909519A846D465C59582F321"},
        {"129 a: one byte past", std::string(129, 'a'),
         "4F681E0BD53CDA4B5A2041CC8A06F2EABDE44FB16C951FBD5B87702F07AEAB61"
         "1565B19C47FDE30587177EBB852E3971BBD8D3FD30DA18D71037DFBD98420429"},
        {"256 a: exactly two blocks", std::string(256, 'a'),
         "6A9169EB662F136D87374070E8828B3E615A7ECA32A89446E9225B02832709BE"
         "095E635C824A2BB70213BA2EA0ABABAC0809827843992C851903B7AC0C136699"},
        {"257 a", std::string(257, 'a'),
         "17FA1D01865805F9E657C5F5088754D19913EB418577B03CD040B99E5E1354FD"
         "31D0D7F24B5474C62B49E3271860859510909685C5811EBA23B06E1E3369899D"},
        {"one million a", std::string(1000000, 'a'),
         "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EB"
         "DE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
    };
    return all;
}

TEST(Sha512, KnownAnswersInUpperCaseHex) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sha512Hex(c.text), c.digest);
    }
    EXPECT_EQ(sha512Hex(std::nullopt), std::nullopt);
}

// Any split of the input over update calls gives the same digest, whether a
// partial block is pending or not.
TEST(Sha512, UpdatesInPiecesMatchOneCall) {
    std::mt19937 random(11);
    for (const auto& c : cases()) {
        if (c.text.size() > 1000) {
            continue;
        }
        SCOPED_TRACE(c.what);
        for (int round = 0; round < 8; ++round) {
            Sha512Context ctx;
            sha512Starts(ctx);
            std::size_t at = 0;
            while (at < c.text.size()) {
                const std::size_t n = std::min<std::size_t>(1 + random() % 140, c.text.size() - at);
                sha512Update(ctx,
                             std::span<const std::uint8_t>(
                                 reinterpret_cast<const std::uint8_t*>(c.text.data()) + at, n));
                at += n;
            }
            std::array<std::uint8_t, kSha512DigestSize> digest{};
            sha512Finish(ctx, digest);
            EXPECT_EQ(bytesToHex(digest), c.digest);
        }
    }
}

TEST(Sha512, BytesToHexIsUpperCaseHighNibbleFirst) {
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(bytesToHex(bytes), "000FA5FF");
}

} // namespace
