#pragma once

// What GenerateTAC reads from the page: the field list of a transaction
// (GenTAC), the lines the user confirms (UserConirmData), and the record that
// the card signs, built from the fields by processing code. Nothing here
// touches the card or a dialog.

#include "control/card/QxSCApdu.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo {

// A split list: 2n entries (n: the separators plus one, 0 for no text), the
// fields in order from entry 0; empty fields are skipped.
struct FieldList {
    std::vector<std::string_view> entries; // views into the split text
    std::size_t filled = 0;                // entries that hold a field
    std::size_t count = 0;                 // n, less one when entry n-1 is empty
};

// Splits at ";"; a field holding ":" contributes what follows its first ":".
// Always 0.
int ParseGenTAC(std::string_view text, FieldList& out);
// Splits at ";" and keeps the lines whole. Always 0.
int ParseUserConirmData(std::string_view text, FieldList& out);

// A line as the user sees it: up to, not including, its second ":".
std::string_view ShownLine(std::string_view line);

// The area the shown lines are joined in, its terminating zero included.
inline constexpr std::size_t kTacMessageArea = 8192;
// The shown lines, each followed by a line feed: 0, or 5005 when they do not
// fit the area.
int BuildTacMessage(std::string_view userData, std::string& out);

// The processing codes' record layouts.
enum class TacRoad { Inquiry, PayTax, PayFee, Transfer };
// The layout of a processing code; false for an unknown code.
bool TacRoadOf(std::int32_t processingCode, TacRoad& road);
// The fields a layout reads (entries 0 to this less one).
std::size_t TacRoadFields(TacRoad road);

// Checks the fields of the layout and builds its record: 0, or 5005 when the
// list holds too few fields, when the inquiry's fields 1 and 2 do not add up
// to 24 characters, when an amount is not 1 to 12 digits, when a tax
// payment's field 2 has fewer than 8 characters, or when the record exceeds
// 250 bytes.
int BuildTacRecord(TacRoad road, const FieldList& fields, std::string& record);

} // namespace tavelo
