#pragma once

// Text conversions of the monitor and the worker between 8-bit text and wide
// (UTF-16) text. Both directions use one process-wide conversion code page:
// UTF-8 at start. Only the monitor changes it, to 950 while it reads one
// installed component's texts, so the worker always converts from UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

std::uint32_t conversionCodePage();
void setConversionCodePage(std::uint32_t codePage);

// No text gives nullopt, an empty text an empty string; a text that does not
// convert (an unknown code page) gives nullopt.
std::optional<std::u16string> multiByteToText(std::uint32_t codePage,
                                              std::optional<std::string_view> text);
std::optional<std::string> textToMultiByte(std::uint32_t codePage, std::u16string_view text);

// The wide form of an 8-bit text in the conversion code page; no text (or
// one that does not convert) gives an empty text.
std::u16string toTextObject(std::optional<std::string_view> text);

// Every occurrence of the pattern replaced, worked on as 8-bit text in the
// conversion code page; nullopt when a conversion fails.
std::optional<std::u16string> replaceWString(std::u16string_view text, std::u16string_view pattern,
                                             std::u16string_view replacement);

// Message and text (no text counts as empty) as one line at level 5, whatever
// the log writers' switch says.
void logTextW(std::string_view message, std::optional<std::u16string_view> text);

// The messages' time value as text ("%llx" of computeTimeValue()).
std::string getTimeValue();
