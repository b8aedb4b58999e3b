// GenerateTAC's reading of the page's lists: the field list, the
// confirmation lines and the record of every processing code's layout. The
// first byte chooses the layout; the rest is the text. Fields are pieces of
// the text, the message fits its area and a record never exceeds what one
// GET TAC carries.

#include "control/ControlErrorCode.h"
#include "control/GenTacFields.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Every filled entry lies inside the text and holds no separator.
void checkList(std::string_view text, const tavelo::FieldList& list) {
    const std::size_t n =
        text.empty() ? 0 : static_cast<std::size_t>(std::count(text.begin(), text.end(), ';')) + 1;
    check(list.entries.size() == 2 * n);
    check(list.filled <= n);
    check(list.count == n || (n > 0 && list.count == n - 1));
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        const std::string_view entry = list.entries[i];
        if (i >= list.filled) {
            check(entry.empty());
            continue;
        }
        check(entry.data() >= text.data() &&
              entry.data() + entry.size() <= text.data() + text.size());
        check(entry.find(';') == std::string_view::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    tavelo::FieldList fields;
    check(tavelo::ParseGenTAC(text, fields) == kCtlOk);
    checkList(text, fields);
    for (std::size_t i = 0; i < fields.filled; ++i) {
        check(!fields.entries[i].empty() || text.find(':') != std::string::npos);
    }

    tavelo::FieldList lines;
    check(tavelo::ParseUserConirmData(text, lines) == kCtlOk);
    checkList(text, lines);
    for (std::size_t i = 0; i < lines.filled; ++i) {
        check(!lines.entries[i].empty());
        const std::string_view shown = tavelo::ShownLine(lines.entries[i]);
        check(lines.entries[i].starts_with(shown));
        check(std::count(shown.begin(), shown.end(), ':') <= 1);
    }
    std::string message;
    const int rc = tavelo::BuildTacMessage(text, message);
    check(rc == kCtlOk || rc == kCtlBadArgument);
    if (rc == kCtlOk) {
        check(message.size() < tavelo::kTacMessageArea);
        check(static_cast<std::size_t>(std::count(message.begin(), message.end(), '\n')) >=
              lines.filled);
    }

    static constexpr std::int32_t kCodes[] = {2500, 2521, 2531, 2561};
    tavelo::TacRoad road{};
    check(tavelo::TacRoadOf(kCodes[data[0] % 4], road));
    std::string record;
    const int built = tavelo::BuildTacRecord(road, fields, record);
    check(built == kCtlOk || built == kCtlBadArgument);
    if (built == kCtlOk) {
        check(fields.filled >= tavelo::TacRoadFields(road));
        check(record.size() <= tavelo::kMaxTacRecord);
        check(record.starts_with(fields.entries[0]));
    } else {
        check(record.empty());
    }
    return 0;
}
