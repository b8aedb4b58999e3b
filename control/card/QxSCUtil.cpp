#include "control/card/QxSCUtil.h"

#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"

#include <cerrno>
#include <mutex>
#include <new>

namespace {

namespace pcsc = platform::pcsc;

// The PC/SC layer's line for every call goes into the control log.
void routePcscLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        pcsc::setPcscLogHook([](std::string_view line) {
            Log_Write(kLogDebug, "%.*s", static_cast<int>(line.size()), line.data());
        });
    });
}

int transmitCode(pcsc::Result result) {
    switch (result) {
    case pcsc::kNotTransacted:
        return kCtlNotTransacted;
    case pcsc::kResetCard:
        return kCtlCardReset;
    case pcsc::kRemovedCard:
        return kCtlCardRemoved;
    default:
        return kCtlTransmitFailed;
    }
}

// VERIFY and WRITE RECORD carry PIN blocks: their bytes after the header
// are shown as "*".
bool carriesPin(std::span<const std::uint8_t> command) {
    return command.size() > 5 && (command[1] == 0x20 || command[1] == 0xD2);
}

void logCommand(std::span<const std::uint8_t> command) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t shown = carriesPin(command) ? 5 : command.size();
    std::string text;
    text.reserve(2 * command.size());
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (i < shown) {
            text += kDigits[command[i] >> 4];
            text += kDigits[command[i] & 0x0F];
        } else {
            text += "**";
        }
    }
    Log_Write(kLogDebug, "%s %zu %s", "SEND", command.size(), text.c_str());
}

} // namespace

QxSCCard::~QxSCCard() {
    // The card forgets its PIN verification with the connection.
    card.disconnect(pcsc::kDispositionReset);
    context.release();
    tavelo::secureWipe(bAtr.data(), bAtr.size());
    tavelo::secureWipe(szReader.data(), szReader.size());
    dwActiveProtocol = 0;
    dwAtrLen = 0;
    dwReaderLen = 0;
    dwState = 0;
    pioSendPci = nullptr;
}

QxSCMemory QxSCMalloc(std::size_t size) noexcept {
    return QxSCMemory(static_cast<char*>(std::calloc(size == 0 ? 1 : size, 1)));
}

int QxSCListReaders(const char* groups, QxSCMemory& list, std::uint32_t& length) {
    routePcscLog();
    list.reset();
    length = 0;
    pcsc::Context context;
    pcsc::Result result = pcsc::Context::establish(pcsc::kScopeUser, context);
    if (result != pcsc::kSuccess) {
        CTL_LOG(kLogError, "SCardEstablishContext fail: %X", result);
        return kCtlContextFailed;
    }
    // Readers can come or go between asking the length and reading the
    // list: a list that grew is asked for again.
    std::uint32_t size = 0;
    QxSCMemory buffer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        size = 0;
        result = pcsc::SCardListReadersA(context.get(), groups, nullptr, &size);
        if (result != pcsc::kSuccess) {
            break;
        }
        buffer = QxSCMalloc(size);
        if (!buffer) {
            CTL_LOG(kLogError, "QxSCMalloc(%d) fail: %X", static_cast<int>(size), errno);
            return kCtlNoMemory;
        }
        result = pcsc::SCardListReadersA(context.get(), groups, buffer.get(), &size);
        if (result != pcsc::kInsufficientBuffer) {
            break;
        }
    }
    if (result == pcsc::kNoReadersAvailable) {
        // One zero byte is the empty text; a second makes it an empty
        // multi-string for readers of either form.
        size = 1;
        buffer = QxSCMalloc(2);
        if (!buffer) {
            CTL_LOG(kLogError, "QxSCMalloc(%d) fail: %X", 2, errno);
            return kCtlNoMemory;
        }
    } else if (result != pcsc::kSuccess) {
        CTL_LOG(kLogError, "SCardListReaders fail: %X", result);
        return kCtlListReadersFailed;
    }
    list = std::move(buffer);
    length = size;
    return kCtlOk;
}

int QxSCScanCardInReader(const std::string& readerName, bool exclusive, QxSCCardPtr& out) {
    routePcscLog();
    // The held connection goes first: an exclusive one would keep the new
    // connection from the card.
    QxSCReleaseCard(out);
    QxSCCardPtr card(new (std::nothrow) QxSCCard);
    if (!card) {
        return kCtlNoMemory;
    }
    pcsc::Result result = pcsc::Context::establish(pcsc::kScopeUser, card->context);
    if (result != pcsc::kSuccess) {
        return kCtlContextFailed;
    }
    result = pcsc::Card::connect(card->context, readerName,
                                 exclusive ? pcsc::kShareExclusive : pcsc::kShareShared,
                                 pcsc::kProtocolT0 | pcsc::kProtocolT1, card->card);
    if (result != pcsc::kSuccess) {
        CTL_LOG(kLogDebug, "SCardConnect '%s' fail: %X", readerName.c_str(), result);
        return kCtlConnectFailed;
    }
    card->dwAtrLen = kQxSCAtrSize;
    card->dwReaderLen = kQxSCReaderNameSize;
    result = pcsc::SCardStatusA(card->card.get(), card->szReader.data(), &card->dwReaderLen,
                                &card->dwState, &card->dwActiveProtocol, card->bAtr.data(),
                                &card->dwAtrLen);
    if (result != pcsc::kSuccess) {
        CTL_LOG(kLogDebug, "SCardStatus fail: %X", result);
        return kCtlConnectFailed;
    }
    if (card->dwState == pcsc::kStateAbsent) {
        return kCtlConnectFailed;
    }
    card->pioSendPci = pcsc::pciForProtocol(card->dwActiveProtocol);
    out = std::move(card);
    return kCtlOk;
}

void QxSCReleaseCard(QxSCCardPtr& card) noexcept {
    card.reset();
}

int sendRawAPDU(QxSCCard* card, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, std::uint32_t& responseLength,
                std::uint32_t& statusWord) {
    // A failed exchange must never read as the last one's 90 00.
    statusWord = 0;
    if (card == nullptr || command.empty() || command.size() > kQxSCMaxCommand ||
        responseLength > response.size()) {
        CTL_LOG(kLogDebug, "bad exchange: card %d command %zu response %u of %zu", card != nullptr,
                command.size(), responseLength, response.size());
        responseLength = 0;
        return kCtlBadArgument;
    }
    std::uint32_t length = responseLength;
    const pcsc::Result result = pcsc::SCardTransmit(
        card->card.get(), card->pioSendPci, command.data(),
        static_cast<std::uint32_t>(command.size()), nullptr, response.data(), &length);
    if (result != pcsc::kSuccess) {
        CTL_LOG(kLogDebug, "lResult %X", result);
        CTL_LOG(kLogDebug, "SCardTransmit fail: %X", result);
        responseLength = 0;
        return transmitCode(result);
    }
    // A card pulled out mid-command answers nothing, with success: without
    // two bytes there is no status word, and nothing of the answer counts.
    int code = kCtlFailed;
    if (length >= 2 && length <= responseLength) {
        statusWord = static_cast<std::uint32_t>(response[length - 2] << 8 | response[length - 1]);
        length -= 2;
        code = statusWord == 0x9000 ? kCtlOk : kCtlFailed;
    } else {
        length = 0;
    }
    responseLength = length;
    logCommand(command);
    Log_HexDump(kLogDebug, "RECV", response.data(), length);
    CTL_LOG(kLogDebug, "uiSW12 %X", statusWord);
    return code;
}

int sendRawAPDU(QxSCCard* card, const tavelo::ApduCommand& command,
                tavelo::ApduResponse& response) {
    std::array<std::uint8_t, kQxSCResponseBufferSize> buffer{};
    std::uint32_t length = kQxSCResponseUsable;
    std::uint32_t statusWord = 0;
    const int code = sendRawAPDU(card, command.bytes(), buffer, length, statusWord);
    response.data.assign(buffer.begin(), buffer.begin() + length);
    response.sw = static_cast<std::uint16_t>(statusWord);
    return code;
}

int QxSCMapStatusFull(std::uint32_t statusWord) noexcept {
    switch (statusWord) {
    case 0x9000:
        return kCtlOk;
    case 0x6608:
    case 0x6610:
        return kCtlStatus6608;
    case 0x6620:
        return kCtlStatus6620;
    case 0x69F0:
        return kCtlCancelled;
    case 0x6E00:
        return kCtlCardAbsent;
    default:
        return kCtlFailed;
    }
}

int QxSCMapStatusShort(std::uint32_t statusWord) noexcept {
    return statusWord == 0x6E00 ? kCtlFailed : QxSCMapStatusFull(statusWord);
}

int QxSCMapExchangeFull(int exchangeResult, std::uint32_t statusWord) noexcept {
    if (exchangeResult != kCtlOk && exchangeResult != kCtlFailed) {
        return exchangeResult;
    }
    return QxSCMapStatusFull(statusWord);
}

bool QxSCIsTransmitFailure(int exchangeResult) noexcept {
    return exchangeResult >= kCtlCardRemoved && exchangeResult <= kCtlTransmitFailed;
}
