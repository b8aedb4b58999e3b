#include "control/GenTacFields.h"

#include "control/ControlErrorCode.h"

#include <algorithm>

namespace tavelo {

namespace {

constexpr std::size_t kAmountDigits = 12;
constexpr std::size_t kInquiryPair = 24;
constexpr std::size_t kMinTaxAccount = 8;

int split(std::string_view text, bool valuesOnly, FieldList& out) {
    out = FieldList{};
    const std::size_t n =
        text.empty() ? 0 : static_cast<std::size_t>(std::count(text.begin(), text.end(), ';')) + 1;
    out.entries.assign(2 * n, std::string_view());
    while (out.filled < n && !text.empty()) {
        const std::size_t end = text.find(';');
        std::string_view field = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (field.empty()) {
            continue;
        }
        if (valuesOnly) {
            if (const std::size_t colon = field.find(':'); colon != std::string_view::npos) {
                field.remove_prefix(colon + 1);
            }
        }
        out.entries[out.filled++] = field;
    }
    out.count = n > 0 && out.entries[n - 1].empty() ? n - 1 : n;
    return kCtlOk;
}

bool isAmount(std::string_view amount) {
    return !amount.empty() && amount.size() <= kAmountDigits &&
           std::all_of(amount.begin(), amount.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

int ParseGenTAC(std::string_view text, FieldList& out) {
    return split(text, true, out);
}

int ParseUserConirmData(std::string_view text, FieldList& out) {
    return split(text, false, out);
}

std::string_view ShownLine(std::string_view line) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) {
        return line;
    }
    return line.substr(0, line.find(':', first + 1));
}

int BuildTacMessage(std::string_view userData, std::string& out) {
    FieldList lines;
    ParseUserConirmData(userData, lines);
    std::string message;
    for (std::size_t i = 0; i < lines.filled; ++i) {
        const std::string_view shown = ShownLine(lines.entries[i]);
        if (message.size() + shown.size() + 1 >= kTacMessageArea) {
            return kCtlBadArgument;
        }
        message.append(shown);
        message.push_back('\n');
    }
    out = std::move(message);
    return kCtlOk;
}

bool TacRoadOf(std::int32_t processingCode, TacRoad& road) {
    switch (processingCode) {
    case 2500:
        road = TacRoad::Inquiry;
        return true;
    case 2521:
    case 2522:
    case 2523:
    case 2524:
        road = TacRoad::PayTax;
        return true;
    case 2531:
    case 2532:
    case 2568:
        road = TacRoad::PayFee;
        return true;
    case 2561:
    case 2562:
    case 2563:
    case 2564:
        road = TacRoad::Transfer;
        return true;
    default:
        return false;
    }
}

std::size_t TacRoadFields(TacRoad road) {
    switch (road) {
    case TacRoad::Inquiry:
        return 3;
    case TacRoad::PayTax:
        return 7;
    case TacRoad::PayFee:
        return 8;
    case TacRoad::Transfer:
        return 6;
    }
    return 0;
}

int BuildTacRecord(TacRoad road, const FieldList& fields, std::string& record) {
    const std::size_t needed = TacRoadFields(road);
    if (fields.filled < needed) {
        return kCtlBadArgument;
    }
    const auto& f = fields.entries;
    std::string built;
    if (road == TacRoad::Inquiry) {
        if (f[1].size() + f[2].size() != kInquiryPair) {
            return kCtlBadArgument;
        }
        built.append(f[0]).append(f[1]).append(f[2]);
    } else {
        if (!isAmount(f[1])) {
            return kCtlBadArgument;
        }
        if (road == TacRoad::PayTax && f[2].size() < kMinTaxAccount) {
            return kCtlBadArgument;
        }
        built.append(f[0]);
        built.append(kAmountDigits - f[1].size(), '0').append(f[1]).append("00");
        for (std::size_t i = 2; i < needed; ++i) {
            if (built.size() + f[i].size() > kMaxTacRecord) {
                return kCtlBadArgument;
            }
            built.append(f[i]);
        }
    }
    if (built.size() > kMaxTacRecord) {
        return kCtlBadArgument;
    }
    record = std::move(built);
    return kCtlOk;
}

} // namespace tavelo
