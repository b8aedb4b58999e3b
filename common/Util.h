#pragma once

// Bounded copies into the fixed text buffers of the monitor and the worker.
// They never write past the buffer and always leave it terminated; a source
// that does not fit loses its tail silently. Sources are C texts: they end
// at their first zero character.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t kUtilBufferSize = 512;
using TextBuffer = std::array<char, kUtilBufferSize>;
using WideTextBuffer = std::array<char16_t, kUtilBufferSize>;

// Copies the source and its terminator, or as much as fits; the last place
// of the destination is always 0. No source: nothing changes.
void copyString(std::span<char> destination, std::optional<std::string_view> source);
void copyWString(std::span<char16_t> destination, std::optional<std::u16string_view> source);

// Copies, then zeroes the source's characters and frees it.
void copyStringAndWipe(TextBuffer& destination, std::optional<std::string>& source);
// Copies, then frees the source (it holds nothing secret).
void copyWStringAndFree(WideTextBuffer& destination, std::optional<std::u16string>& source);

// Copies behind the destination's text into the room that is left.
void appendString(TextBuffer& destination, std::optional<std::string_view> source);
void appendWString(WideTextBuffer& destination, std::optional<std::u16string_view> source);

// A buffer's text up to its terminator.
std::string_view bufferText(std::span<const char> buffer);
std::u16string_view bufferText(std::span<const char16_t> buffer);
