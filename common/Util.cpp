#include "common/Util.h"

#include <algorithm>
#include <cstring>

namespace {

template <typename Char>
std::basic_string_view<Char> cText(std::basic_string_view<Char> text) {
    return text.substr(0, text.find(Char{}));
}

template <typename Char>
void copyBounded(std::span<Char> destination, std::optional<std::basic_string_view<Char>> source) {
    if (!source || destination.empty()) {
        return;
    }
    const auto text = cText(*source);
    const std::size_t count = std::min(text.size(), destination.size());
    std::copy_n(text.data(), count, destination.data());
    if (count < destination.size()) {
        destination[count] = Char{};
    }
    destination.back() = Char{};
}

template <typename Char>
std::basic_string_view<Char> textOf(std::span<const Char> buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), Char{});
    return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

template <typename Char>
void appendBounded(std::array<Char, kUtilBufferSize>& destination,
                   std::optional<std::basic_string_view<Char>> source) {
    const std::size_t used = textOf(std::span<const Char>(destination)).size();
    copyBounded(std::span<Char>(destination).subspan(used), source);
}

} // namespace

void copyString(std::span<char> destination, std::optional<std::string_view> source) {
    copyBounded(destination, source);
}

void copyWString(std::span<char16_t> destination, std::optional<std::u16string_view> source) {
    copyBounded(destination, source);
}

void copyStringAndWipe(TextBuffer& destination, std::optional<std::string>& source) {
    if (!source) {
        return;
    }
    copyBounded(std::span<char>(destination), std::optional<std::string_view>(*source));
    explicit_bzero(source->data(), source->size());
    source.reset();
}

void copyWStringAndFree(WideTextBuffer& destination, std::optional<std::u16string>& source) {
    if (!source) {
        return;
    }
    copyBounded(std::span<char16_t>(destination), std::optional<std::u16string_view>(*source));
    source.reset();
}

void appendString(TextBuffer& destination, std::optional<std::string_view> source) {
    appendBounded(destination, source);
}

void appendWString(WideTextBuffer& destination, std::optional<std::u16string_view> source) {
    appendBounded(destination, source);
}

std::string_view bufferText(std::span<const char> buffer) {
    return textOf(buffer);
}

std::u16string_view bufferText(std::span<const char16_t> buffer) {
    return textOf(buffer);
}
