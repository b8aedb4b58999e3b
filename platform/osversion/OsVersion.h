#pragma once

// The operating-system version record the programs read. There is no Windows
// here, so the record is configured: by default a 64-bit Windows 10 build 19045
// workstation; CORVANTIX_OSVERSION or setOsVersionRecord() choose another, e.g.
//   CORVANTIX_OSVERSION="5.1.2600 workstation x86"
//   CORVANTIX_OSVERSION="5.2.3790 server x64 r2 homeserver"
//   CORVANTIX_OSVERSION="unreadable"   (the version query fails)

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

enum class ProductType : std::uint8_t { Workstation = 1, DomainController = 2, Server = 3 };

// Processor architecture numbers as the native system information gives them.
enum class Architecture : std::uint16_t { X86 = 0, Arm = 5, Itanium = 6, X64 = 9, Arm64 = 12 };

struct OsVersionRecord {
    std::uint32_t major = 10;
    std::uint32_t minor = 0;
    std::uint32_t build = 19045;
    ProductType productType = ProductType::Workstation;
    Architecture architecture = Architecture::X64;
    int serverR2Metric = 0;      // the SM_SERVERR2 system metric
    std::uint16_t suiteMask = 0; // 0x8000: home server
    bool readable = true;        // false: the version query fails
};

// Parses the text form described above; nullopt when it is malformed.
std::optional<OsVersionRecord> parseOsVersionRecord(std::string_view text);

// The record in force: the override, else CORVANTIX_OSVERSION, else the default.
OsVersionRecord osVersionRecord();

// Sets or clears a process-wide override (for tests).
void setOsVersionRecord(std::optional<OsVersionRecord> record);

} // namespace platform
