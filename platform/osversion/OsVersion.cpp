#include "platform/osversion/OsVersion.h"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>

namespace platform {
namespace {

std::mutex overrideLock;
std::optional<OsVersionRecord> overrideRecord;

bool parseNumber(std::string_view text, std::uint32_t& out) {
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, out);
    return result.ec == std::errc() && result.ptr == end && !text.empty();
}

} // namespace

std::optional<OsVersionRecord> parseOsVersionRecord(std::string_view text) {
    OsVersionRecord record;
    std::istringstream words{std::string(text)};
    std::string word;
    if (!(words >> word)) {
        return std::nullopt;
    }
    if (word == "unreadable") {
        record.readable = false;
        return record;
    }
    const auto dot1 = word.find('.');
    const auto dot2 = word.find('.', dot1 == std::string::npos ? dot1 : dot1 + 1);
    if (dot1 == std::string::npos || dot2 == std::string::npos) {
        return std::nullopt;
    }
    const std::string_view all(word);
    if (!parseNumber(all.substr(0, dot1), record.major) ||
        !parseNumber(all.substr(dot1 + 1, dot2 - dot1 - 1), record.minor) ||
        !parseNumber(all.substr(dot2 + 1), record.build)) {
        return std::nullopt;
    }
    while (words >> word) {
        if (word == "workstation") {
            record.productType = ProductType::Workstation;
        } else if (word == "server") {
            record.productType = ProductType::Server;
        } else if (word == "dc") {
            record.productType = ProductType::DomainController;
        } else if (word == "x86") {
            record.architecture = Architecture::X86;
        } else if (word == "x64") {
            record.architecture = Architecture::X64;
        } else if (word == "ia64") {
            record.architecture = Architecture::Itanium;
        } else if (word == "arm") {
            record.architecture = Architecture::Arm;
        } else if (word == "arm64") {
            record.architecture = Architecture::Arm64;
        } else if (word == "r2") {
            record.serverR2Metric = 1;
        } else if (word == "homeserver") {
            record.suiteMask |= 0x8000;
        } else {
            return std::nullopt;
        }
    }
    return record;
}

OsVersionRecord osVersionRecord() {
    {
        std::lock_guard guard(overrideLock);
        if (overrideRecord) {
            return *overrideRecord;
        }
    }
    if (const char* text = std::getenv("CORVANTIX_OSVERSION"); text != nullptr && *text != '\0') {
        if (auto parsed = parseOsVersionRecord(text)) {
            return *parsed;
        }
    }
    return OsVersionRecord{};
}

void setOsVersionRecord(std::optional<OsVersionRecord> record) {
    std::lock_guard guard(overrideLock);
    overrideRecord = record;
}

} // namespace platform
