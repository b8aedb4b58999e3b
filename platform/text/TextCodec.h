#pragma once

// UTF-8 and UTF-16, the two text forms that meet here: the programs work in
// UTF-8, the Windows-like interfaces in UTF-16. A malformed sequence becomes
// U+FFFD instead of failing, so a log line or a name always converts.

#include <string>
#include <string_view>

namespace platform {

std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// ASCII letters in lower case, every other byte as it is: how names such as
// window classes are compared without regard to case.
std::string asciiLower(std::string_view text);

} // namespace platform
