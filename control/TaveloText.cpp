#include "control/TaveloText.h"

#include "control/ControlErrorCode.h"
#include "platform/codepage/CodePage.h"

#include <cstring>
#include <new>
#include <string_view>

#ifndef TAVELO_FILE_VERSION
#error "TAVELO_FILE_VERSION names the library's version"
#endif

namespace tavelo {

std::optional<std::string> BstrToMultiByte(std::uint32_t codePage, BSTR text, int length,
                                           std::size_t& outLength, int& code) {
    outLength = 0;
    code = kCtlOk;
    if (text == nullptr) {
        return std::nullopt;
    }
    try {
        std::u16string_view wide(text, SysStringLen(text));
        if (length < 0) {
            wide = wide.substr(0, wide.find(u'\0'));
        } else {
            wide = wide.substr(0, static_cast<std::size_t>(length));
        }
        auto converted = platform::utf16ToCodePage(codePage, wide, platform::InvalidInput::Fail);
        if (!converted) {
            code = kCtlTextConversion;
            return std::nullopt;
        }
        outLength = converted->size();
        converted->push_back('\0');
        return converted;
    } catch (const std::bad_alloc&) {
        code = kCtlNoMemory;
        return std::nullopt;
    }
}

BSTR MultiByteToBstr(std::uint32_t codePage, const char* text, std::size_t length,
                     std::int32_t& errorCode) {
    if (text == nullptr) {
        return nullptr;
    }
    std::optional<std::u16string> wide;
    try {
        // Card data is whatever the card holds: bytes the code page cannot
        // map become the replacement character, as the platform converts.
        wide = platform::codePageToUtf16(codePage, std::string_view(text, length));
    } catch (const std::bad_alloc&) {
        errorCode = kCtlNoMemory;
        return nullptr;
    }
    if (!wide) {
        errorCode = kCtlTextConversion;
        return nullptr;
    }
    BSTR out = SysAllocStringLen(wide->data(), static_cast<std::uint32_t>(wide->size()));
    if (out == nullptr) {
        errorCode = kCtlNoMemory;
    }
    return out;
}

std::optional<std::u16string> MultiByteToWideAlloc(std::uint32_t codePage, const char* text,
                                                   std::size_t length, std::size_t& outLength) {
    outLength = 0;
    if (text == nullptr || length == 0) {
        return std::nullopt;
    }
    auto wide = platform::codePageToUtf16(codePage, std::string_view(text, length),
                                          platform::InvalidInput::Fail);
    if (!wide || wide->empty()) {
        return std::nullopt;
    }
    outLength = wide->size();
    return wide;
}

int GetFileVersionText(std::span<char> buffer) {
    constexpr std::string_view version = TAVELO_FILE_VERSION;
    if (buffer.size() < version.size() + 1) {
        return kCtlVersionUnreadable;
    }
    std::memcpy(buffer.data(), version.data(), version.size());
    buffer[version.size()] = '\0';
    return kCtlOk;
}

} // namespace tavelo
