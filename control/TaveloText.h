#pragma once

// The text conversions every method of the control uses: its BSTR arguments
// into code-page text for the card layer, its code-page results into BSTRs,
// and its own version text.

#include "platform/codepage/CodePage.h"
#include "platform/com/OleAuto.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavelo {

// The code page of every text argument.
inline constexpr std::uint32_t kArgumentCodePage = 950;
// Reader names, in both directions: pcsc-lite names its readers in UTF-8.
inline constexpr std::uint32_t kReaderCodePage = platform::kCodePageUtf8;

// A BSTR (up to its first NUL when length is -1, else length characters) as
// text of the code page, followed by one more zero byte than its terminator,
// so that a single name also reads as a one-entry multi-string; outLength is
// the length without the zeros. A null BSTR gives none and code 0; a
// character the code page lacks, or an unknown code page, gives none and
// 5901; no memory gives none and 5002.
std::optional<std::string> BstrToMultiByte(std::uint32_t codePage, BSTR text, int length,
                                           std::size_t& outLength, int& code);

// A new BSTR from length bytes of code-page text (code page 0: the system's
// ANSI code page); null for a null text. Bytes the code page cannot map
// become U+FFFD. An unknown code page sets errorCode to 5901, a failed
// allocation to 5002; success leaves errorCode as it was.
BSTR MultiByteToBstr(std::uint32_t codePage, const char* text, std::size_t length,
                     std::int32_t& errorCode);

// The text as wide characters, with outLength; none when nothing converts
// (an empty or invalid text).
std::optional<std::u16string> MultiByteToWideAlloc(std::uint32_t codePage, const char* text,
                                                   std::size_t length, std::size_t& outLength);

// The library's file version text, terminated, into buffer: 0, or -1 when
// it does not fit.
int GetFileVersionText(std::span<char> buffer);

} // namespace tavelo
