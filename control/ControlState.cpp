#include "control/ControlState.h"

#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"
#include "platform/codepage/CodePage.h"

#include <algorithm>
#include <array>

namespace tavelo {

namespace {

constexpr std::size_t kMinPinLength = 6;
constexpr std::size_t kMaxPinLength = 12;
constexpr std::size_t kReaderNameMax = kQxSCReaderNameSize - 1;

int connectCard(TaveloState& state, std::optional<std::u16string_view> readerName) {
    if (!readerName) {
        return kCtlBadArgument;
    }
    // A BSTR is read up to its first NUL, as its conversion does.
    const std::u16string_view wide = readerName->substr(0, readerName->find(u'\0'));
    // pcsc-lite names its readers in UTF-8.
    const auto name = wide.empty() ? std::nullopt
                                   : platform::utf16ToCodePage(platform::kCodePageUtf8, wide,
                                                               platform::InvalidInput::Fail);
    if (!name || name->empty()) {
        return kCtlBadArgument;
    }
    // Whatever was verified on the connection held goes with it.
    state.VerifyPINFlag = false;
    const int rc = QxSCScanCardInReader(*name, true, state.m_pCard);
    CTL_LOG(kLogDebug, "QxSCScanCardInReader '%s' rtn %d", name->c_str(), rc);
    if (rc == kCtlOk) {
        state.m_szReaderName = name->substr(0, kReaderNameMax);
        // The keypad-reader flag belongs to the reader that was tested.
        if (state.m_szReaderName != state.m_szAdvReaderTested) {
            state.isAdvReader = false;
        }
        return kCtlOk;
    }
    return rc == kCtlConnectFailed ? kCtlCardAbsent : kCtlConnectionFailed;
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::int32_t TaveloState::ConnectCard(std::optional<std::u16string_view> readerName) {
    m_lErrorCode = connectCard(*this, readerName);
    return m_lErrorCode;
}

std::int32_t TaveloState::DisconnectCard() {
    QxSCReleaseCard(m_pCard);
    VerifyPINFlag = false;
    isAdvReader = false;
    m_szAdvReaderTested.clear();
    m_lErrorCode = kCtlOk;
    return m_lErrorCode;
}

int TaveloState::ReconnectCard() {
    // Released first: the new connection finds the card reset.
    QxSCReleaseCard(m_pCard);
    VerifyPINFlag = false;
    const int rc = QxSCScanCardInReader(m_szReaderName, false, m_pCard);
    CTL_LOG(kLogDebug, "QxSCScanCardInReader '%s' shared rtn %d", m_szReaderName.c_str(), rc);
    return rc;
}

bool TaveloState::keypadReader() const {
    return isAdvReader && m_pCard && m_szAdvReaderTested == m_szReaderName;
}

int TaveloState::DoVerifyPIN(QxSCCard* card, std::optional<std::string_view> pin) {
    CTL_LOG(kLogDebug, "1 @ DoVerifyPIN @");
    CTL_LOG(kLogDebug, "2 ");
    if (keypadReader()) {
        CTL_LOG(kLogDebug, "finish PIN");
        return kCtlOk;
    }
    SecretString typed;
    std::string_view digits = pin.value_or(std::string_view());
    if (digits.empty()) {
        int rc = kCtlFailed;
        if (pinDialog) {
            try {
                rc = pinDialog(typed);
            } catch (...) {
                rc = kCtlFailed;
            }
        }
        CTL_LOG(kLogDebug, "UI_PasswdDlg rtn = %d", rc);
        if (rc != kCtlOk) {
            return rc;
        }
        digits = typed.view();
    }
    if (digits.size() < kMinPinLength || digits.size() > kMaxPinLength) {
        return kCtlPinLength;
    }
    if (!allDigits(digits)) {
        return kCtlPinNotDigits;
    }
    PinBlock block;
    if (const int rc = block.set(digits); rc != kCtlOk) {
        return rc;
    }
    ApduResponse response;
    int rc = sendRawAPDU(card, verifyCommand(block), response);
    CTL_LOG(kLogDebug, "rtn %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    rc = QxSCMapExchangeFull(rc, response.sw);
    if (rc == kCtlOk) {
        CTL_LOG(kLogDebug, "finish PIN");
    }
    return rc;
}

int TaveloState::DoGetTAC(QxSCCard* card, std::span<const std::uint8_t> command,
                          std::size_t dataLength) {
    // Lc is one byte: a longer record cannot be sent.
    if (dataLength > kMaxCommandData || command.size() < dataLength + 6) {
        CTL_LOG(kLogDebug, "GetTAC data length %zu command %zu", dataLength, command.size());
        return kCtlBadArgument;
    }
    std::array<std::uint8_t, kQxSCResponseBufferSize> buffer{};
    std::uint32_t length = kQxSCResponseUsable;
    std::uint32_t statusWord = 0;
    int rc = sendRawAPDU(card, command.first(dataLength + 6), buffer, length, statusWord);
    CTL_LOG(kLogDebug, "GetTAC End %d uiSW12 0x%X", rc, statusWord);
    rc = QxSCMapExchangeFull(rc, statusWord);
    if (rc == kCtlOk) {
        rc = keepTacAnswer(std::span<const std::uint8_t>(buffer.data(), length));
    }
    CTL_LOG(kLogDebug, "GetTAC Finish");
    return rc;
}

int TaveloState::keepTacAnswer(std::span<const std::uint8_t> data) {
    std::optional<TacAnswer> answer;
    const int rc = parseTacAnswer(data, answer);
    if (rc != kCtlOk || !answer) {
        CTL_LOG(kLogDebug, "TAC answer of %zu bytes rtn %d", data.size(), rc);
        // The card said 90 00 but gave no TAC: the one kept from an earlier
        // transaction must not pass for this one's.
        m_szTSAC.clear();
        m_szTSN.clear();
        return rc != kCtlOk ? rc : int{kCtlFailed};
    }
    m_szTSAC = std::move(answer->tac);
    m_szTSN = std::move(answer->tsn);
    CTL_LOG(kLogDebug, "QxXCAPI_HexEncode End TAClen %d TAC %s", static_cast<int>(m_szTSAC.size()),
            m_szTSAC.c_str());
    return kCtlOk;
}

} // namespace tavelo
