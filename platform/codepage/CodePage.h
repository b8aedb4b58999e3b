#pragma once

// Text in the original platform's code pages and UTF-16 (as char16_t), over
// iconv. Code page 0 stands for the system's ANSI code page, which is 950
// unless CORVANTIX_ANSI_CODE_PAGE names another.
//
// As the original platform converts by default, a byte sequence that is not
// valid in the code page becomes U+FFFD and a character the code page lacks
// becomes "?"; InvalidInput::Fail refuses such input instead. An unknown code
// page always fails.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::uint32_t kCodePageAnsi = 0;
inline constexpr std::uint32_t kCodePageBig5 = 950;
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

enum class InvalidInput { Replace, Fail };

// The code page that kCodePageAnsi stands for.
std::uint32_t ansiCodePage();

bool isCodePageKnown(std::uint32_t codePage);

std::optional<std::u16string> codePageToUtf16(std::uint32_t codePage, std::string_view text,
                                              InvalidInput invalid = InvalidInput::Replace);
std::optional<std::string> utf16ToCodePage(std::uint32_t codePage, std::u16string_view text,
                                           InvalidInput invalid = InvalidInput::Replace);

} // namespace platform
