// GenerateTAC's reading of the page's lists: the fields, the confirmation
// lines, and the records built from them by processing code.

#include "control/ControlErrorCode.h"
#include "control/GenTacFields.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tavelo::FieldList;
using tavelo::TacRoad;

std::vector<std::string> filled(const FieldList& list) {
    return {list.entries.begin(), list.entries.begin() + static_cast<long>(list.filled)};
}

TEST(ParseGenTAC, FieldsByPositionAfterTheirFirstColon) {
    const struct {
        const char* text;
        std::vector<std::string> fields;
        std::size_t entries;
        std::size_t count;
    } rows[] = {
        {"x;;y;z", {"x", "y", "z"}, 8, 3},
        {"a:1;b:2;c:3", {"1", "2", "3"}, 6, 3},
        {"a:b:c", {"b:c"}, 2, 1},
        {"a;b;", {"a", "b"}, 6, 2},
        {";a", {"a"}, 4, 1},
        {"a;b", {"a", "b"}, 4, 2},
        {"name:", {""}, 2, 0},
        {";;;", {}, 8, 3},
        {"", {}, 0, 0},
    };
    for (const auto& row : rows) {
        FieldList list;
        EXPECT_EQ(tavelo::ParseGenTAC(row.text, list), 0);
        EXPECT_EQ(filled(list), row.fields) << row.text;
        EXPECT_EQ(list.entries.size(), row.entries) << row.text;
        EXPECT_EQ(list.count, row.count) << row.text;
    }
    FieldList lines;
    tavelo::ParseUserConirmData("a:1:2;;b", lines);
    EXPECT_EQ(filled(lines), (std::vector<std::string>{"a:1:2", "b"})) << "lines stay whole";
}

TEST(BuildTacMessage, LinesCutAtTheirSecondColon) {
    std::string message;
    ASSERT_EQ(tavelo::BuildTacMessage("Amount:100:TWD;;To:123;plain", message), 0);
    EXPECT_EQ(message, "Amount:100\nTo:123\nplain\n");

    // The area holds 8191 characters and its terminator.
    const std::string fits(8190, 'x');
    ASSERT_EQ(tavelo::BuildTacMessage(fits, message), 0);
    EXPECT_EQ(message.size(), 8191u);
    message = "kept";
    EXPECT_EQ(tavelo::BuildTacMessage(fits + "x", message), kCtlBadArgument);
    EXPECT_EQ(tavelo::BuildTacMessage(fits.substr(0, 5000) + ";" + fits.substr(0, 4000), message),
              kCtlBadArgument);
    EXPECT_EQ(message, "kept");
}

TEST(TacRoadOf, ProcessingCodes) {
    const struct {
        std::int32_t code;
        bool known;
        TacRoad road;
    } rows[] = {
        {2500, true, TacRoad::Inquiry},  {2521, true, TacRoad::PayTax},
        {2524, true, TacRoad::PayTax},   {2531, true, TacRoad::PayFee},
        {2532, true, TacRoad::PayFee},   {2568, true, TacRoad::PayFee},
        {2561, true, TacRoad::Transfer}, {2564, true, TacRoad::Transfer},
        {2525, false, TacRoad::Inquiry}, {2533, false, TacRoad::Inquiry},
        {2560, false, TacRoad::Inquiry}, {2565, false, TacRoad::Inquiry},
        {0, false, TacRoad::Inquiry},
    };
    for (const auto& row : rows) {
        TacRoad road = TacRoad::Inquiry;
        EXPECT_EQ(tavelo::TacRoadOf(row.code, road), row.known) << row.code;
        if (row.known) {
            EXPECT_EQ(road, row.road) << row.code;
        }
    }
}

TEST(BuildTacRecord, LayoutsAndTheirChecks) {
    const std::string check12 = "CHK000000001";
    const std::string account12 = "000123456789";
    const struct {
        const char* name;
        TacRoad road;
        std::string genTac;
        std::int32_t rc;
        std::string record;
    } rows[] = {
        {"inquiry", TacRoad::Inquiry, "2500;" + check12 + ";" + account12, 0,
         "2500" + check12 + account12},
        {"inquiry with names", TacRoad::Inquiry, "p:2500;c:" + check12 + ";a:" + account12, 0,
         "2500" + check12 + account12},
        {"inquiry pair of 23", TacRoad::Inquiry, "2500;" + check12 + ";" + account12.substr(1),
         kCtlBadArgument, ""},
        {"inquiry short of fields", TacRoad::Inquiry, "2500;" + check12 + account12,
         kCtlBadArgument, ""},
        {"tax", TacRoad::PayTax, "2521;1500;12345678;b;c;d;e", 0,
         "2521"
         "00000000150000"
         "12345678bcde"},
        {"tax account of 7", TacRoad::PayTax, "2521;1500;1234567;b;c;d;e", kCtlBadArgument, ""},
        {"tax six fields", TacRoad::PayTax, "2521;1500;12345678;b;c;d", kCtlBadArgument, ""},
        {"fee", TacRoad::PayFee, "2531;999999999999;a;b;c;d;e;f", 0,
         "2531"
         "99999999999900"
         "abcdef"},
        {"fee amount of 13", TacRoad::PayFee, "2531;1000000000000;a;b;c;d;e;f", kCtlBadArgument,
         ""},
        {"fee amount not digits", TacRoad::PayFee, "2531;12.5;a;b;c;d;e;f", kCtlBadArgument, ""},
        {"fee empty amount", TacRoad::PayFee, "2531;amount:;a;b;c;d;e;f", kCtlBadArgument, ""},
        {"transfer", TacRoad::Transfer, "2561;7;T1;CHK;004;1111", 0,
         "2561"
         "00000000000700"
         "T1CHK0041111"},
        {"transfer shifted by an empty field", TacRoad::Transfer, "2561;;7;T1;CHK;004;1111", 0,
         "2561"
         "00000000000700"
         "T1CHK0041111"},
        {"transfer five fields", TacRoad::Transfer, "2561;7;T1;CHK;004", kCtlBadArgument, ""},
        {"transfer record of 250", TacRoad::Transfer, "2561;7;" + std::string(229, 'x') + ";a;b;c",
         0, "256100000000000700" + std::string(229, 'x') + "abc"},
        {"transfer record of 251", TacRoad::Transfer, "2561;7;" + std::string(230, 'x') + ";a;b;c",
         kCtlBadArgument, ""},
        {"inquiry record of 251", TacRoad::Inquiry,
         std::string(227, '9') + ";" + check12 + ";" + account12, kCtlBadArgument, ""},
    };
    for (const auto& row : rows) {
        FieldList fields;
        tavelo::ParseGenTAC(row.genTac, fields);
        std::string record = "untouched";
        EXPECT_EQ(tavelo::BuildTacRecord(row.road, fields, record), row.rc) << row.name;
        EXPECT_EQ(record, row.rc == 0 ? row.record : "untouched") << row.name;
    }
}

} // namespace
