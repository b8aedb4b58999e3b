#pragma once

// Multi-byte text of a Windows code page and UTF-16 (char16_t), the way
// Windows callers convert between them. Code page 950 (Big5 with its Windows
// extensions) goes through iconv's "CP950"; the ANSI code page is 950 on the
// systems this runs for; 65001 is UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::uint32_t kCodePageAnsi = 0;
inline constexpr std::uint32_t kCodePageBig5 = 950;
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// What a character that the other side cannot represent (or a malformed
// sequence) does: fail the whole conversion, or become "?" in multi-byte
// text and U+FFFD in UTF-16.
enum class Unmappable { Fail, Replace };

// nullopt for a code page other than the three above, or for a character
// that fails under Unmappable::Fail. Empty text gives empty text.
std::optional<std::string> utf16ToCodePage(std::uint32_t codePage, std::u16string_view text,
                                           Unmappable unmappable = Unmappable::Fail);
std::optional<std::u16string> codePageToUtf16(std::uint32_t codePage, std::string_view text,
                                              Unmappable unmappable = Unmappable::Fail);

} // namespace platform
