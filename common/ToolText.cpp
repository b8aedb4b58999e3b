#include "common/ToolText.h"

#include "common/LogEscape.h"
#include "common/Message.h"
#include "common/QxLog.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "platform/codepage/CodePage.h"

#include <atomic>

namespace {

std::atomic<std::uint32_t> codePageInUse{platform::kCodePageUtf8};

} // namespace

std::uint32_t conversionCodePage() {
    return codePageInUse;
}

void setConversionCodePage(std::uint32_t codePage) {
    codePageInUse = codePage;
}

std::optional<std::u16string> multiByteToText(std::uint32_t codePage,
                                              std::optional<std::string_view> text) {
    if (!text) {
        return std::nullopt;
    }
    if (text->empty()) {
        return std::u16string();
    }
    return platform::codePageToUtf16(codePage, *text);
}

std::optional<std::string> textToMultiByte(std::uint32_t codePage, std::u16string_view text) {
    return platform::utf16ToCodePage(codePage, text);
}

std::u16string toTextObject(std::optional<std::string_view> text) {
    if (!text) {
        return {};
    }
    return multiByteToText(conversionCodePage(), text->substr(0, text->find('\0')))
        .value_or(std::u16string());
}

std::optional<std::u16string> replaceWString(std::u16string_view text, std::u16string_view pattern,
                                             std::u16string_view replacement) {
    const std::uint32_t codePage = conversionCodePage();
    const auto narrowText = textToMultiByte(codePage, text);
    const auto narrowPattern = textToMultiByte(codePage, pattern);
    const auto narrowReplacement = textToMultiByte(codePage, replacement);
    if (!narrowText || !narrowPattern || !narrowReplacement) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::nullopt;
    }
    const auto replaced =
        multiByteToText(codePage, replaceString(*narrowText, *narrowPattern, *narrowReplacement));
    if (!replaced) {
        CORVANTIX_ALLOCATION_FAILURE();
    }
    return replaced;
}

void logTextW(std::string_view message, std::optional<std::u16string_view> text) {
    const std::string narrow =
        text ? textToMultiByte(conversionCodePage(), *text).value_or(std::string()) : std::string();
    const std::string m(message);
    std::string value;
    appendLogEscaped(value, narrow);
    logPrint(5, 0, "%s%s", m.c_str(), value.c_str());
}

std::string getTimeValue() {
    return timeValueText(computeTimeValue());
}
