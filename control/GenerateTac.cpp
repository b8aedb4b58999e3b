#include "control/GenerateTac.h"

#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"
#include "control/GenTacFields.h"
#include "control/TaveloText.h"
#include "control/TransactionMethods.h"
#include "control/card/QxSCApdu.h"
#include "control/card/QxSCUtil.h"
#include "control/ui/QxDetect.h"
#include "control/ui/UIConfirm.h"

#include <optional>
#include <string_view>

namespace tavelo {

namespace {

constexpr int kReplugSeconds = 60;
constexpr std::uint16_t kSwWrongInstruction = 0x6E00;

std::u16string_view keypadPrompt(TacRoad road) {
    switch (road) {
    case TacRoad::Inquiry:
        return u"餘額查詢 Balance Inquary";
    case TacRoad::PayTax:
    case TacRoad::PayFee:
        return u"繳費稅確認";
    case TacRoad::Transfer:
        return u"轉帳確認";
    }
    return {};
}

// One transaction's walk through its steps.
class Transaction {
public:
    Transaction(TaveloState& state, const SecretString& pin, TacRoad road, std::string_view genTac,
                const OptionalText& userData, std::int32_t iFlags)
        : state_(state), pin_(pin), road_(road), genTac_(genTac), userData_(userData),
          iFlags_(iFlags) {}

    int run() {
        ParseGenTAC(genTac_, fields_);
        int rc = kCtlOk;
        switch (road_) {
        case TacRoad::Inquiry:
        case TacRoad::PayTax:
            rc = first(&Transaction::select, &Transaction::message, &Transaction::record,
                       &Transaction::firstSerial);
            break;
        case TacRoad::PayFee:
            rc = first(&Transaction::select, &Transaction::firstSerial, &Transaction::message,
                       &Transaction::record);
            break;
        case TacRoad::Transfer:
            rc = first(&Transaction::message, &Transaction::record, &Transaction::select,
                       &Transaction::firstSerial);
            break;
        }
        if (rc != kCtlOk) {
            return rc;
        }
        if (rc = confirm(); rc != kCtlOk) {
            return rc;
        }
        if (road_ == TacRoad::Transfer) {
            if (rc = reconnectWithReplug(); rc != kCtlOk) {
                return rc;
            }
            select(); // its answer is not looked at here
        } else {
            if (rc = reconnect(); rc != kCtlOk) {
                return rc;
            }
            if (rc = select(); rc != kCtlOk) {
                return rc;
            }
        }
        if (rc = sameCard(); rc != kCtlOk) {
            return rc;
        }
        // The reconnect above reset the card: a keypad reader collects the
        // PIN itself, nothing verified before counts.
        const bool keypad = state_.keypadReader();
        if (!keypad) {
            if (rc = state_.DoVerifyPIN(state_.m_pCard.get(), pinText()); rc != kCtlOk) {
                return rc;
            }
        }
        const auto command = getTacCommand(
            std::span(reinterpret_cast<const std::uint8_t*>(record_.data()), record_.size()));
        if (!command) {
            return kCtlBadArgument;
        }
        if (keypad) {
            g_szReaderPrompt.set(keypadPrompt(road_));
            // Only the user's OK lets the reader ask for the PIN.
            rc = UI_ReaderInstructionDlg();
            CTL_LOG(kLogDebug, "UI_ReaderInstructionDlg rtn %d", rc);
            if (rc != kCtlOk) {
                return rc;
            }
        }
        return state_.DoGetTAC(state_.m_pCard.get(), command->bytes(), record_.size());
    }

private:
    // Runs the steps in order until one fails.
    template <class... Steps>
    int first(Steps... steps) {
        int rc = kCtlOk;
        ((rc = rc == kCtlOk ? (this->*steps)() : rc), ...);
        return rc;
    }

    int select() {
        ApduResponse response;
        const int rc = sendRawAPDU(state_.m_pCard.get(), selectApplicationCommand(), response);
        CTL_LOG(kLogDebug, "SelectAID End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
        return rc == kCtlOk ? int{kCtlOk} : int{kCtlSelectFailed};
    }
    // The confirmation text into the transaction message.
    int message() {
        if (!hasUserData()) {
            return kCtlOk;
        }
        std::string text;
        if (const int rc = BuildTacMessage(*userData_, text); rc != kCtlOk) {
            CTL_LOG(kLogDebug, "confirmation text of %zu bytes too long", userData_->size());
            return rc;
        }
        std::size_t length = 0;
        const auto wide = MultiByteToWideAlloc(kArgumentCodePage, text.data(), text.size(), length);
        g_szTACInfo.set(wide ? std::u16string_view(*wide).substr(0, length)
                             : std::u16string_view());
        return kCtlOk;
    }
    int record() {
        const int rc = BuildTacRecord(road_, fields_, record_);
        if (rc != kCtlOk) {
            CTL_LOG(kLogDebug, "fields %zu of %zu, rtn %d", fields_.filled, TacRoadFields(road_),
                    rc);
        }
        return rc;
    }
    // READ BINARY of the serial number as it was before the confirmation.
    int firstSerial() {
        std::uint16_t sw = 0;
        const int rc = TxReadSerial(state_.m_pCard.get(), serial_, sw);
        if (sw == kSwWrongInstruction) {
            return kCtlCardAbsent;
        }
        return QxSCMapExchangeFull(rc, sw);
    }
    int confirm() {
        if (!hasUserData()) {
            return kCtlOk;
        }
        const int rc = UI_GenerateTACINFODlg(state_.m_szReaderName);
        CTL_LOG(kLogDebug, "UI_GenerateTACINFODlg rtn %d", rc);
        return rc;
    }
    // Connects again to the reader of ConnectCard: the connect result
    // itself (0, 14 without a card, ...).
    int connectAgain() { return TxReconnectCard(state_); }
    int reconnect() {
        const int rc = connectAgain();
        return rc == kCtlOk ? rc : TxReconnectCode(rc);
    }
    int reconnectWithReplug() {
        const int rc = connectAgain();
        if ((iFlags_ & kFlagNoPrompts) != 0 || (iFlags_ & kFlagReplugMask) == 0) {
            return rc;
        }
        if (const int replug = QxCrypto_DetectRemoveAndInsert(
                nullptr, state_.m_szReaderName.c_str(), kReplugSeconds, kFlagReplugMask);
            replug != kCtlOk) {
            return replug;
        }
        return reconnect();
    }
    int sameCard() { return TxCheckSameSerial(state_.m_pCard.get(), serial_); }
    bool hasUserData() const { return userData_ && !userData_->empty(); }
    std::optional<std::string_view> pinText() const {
        if (pin_.empty()) {
            return std::nullopt;
        }
        return pin_.view();
    }

    TaveloState& state_;
    const SecretString& pin_;
    const TacRoad road_;
    const std::string_view genTac_;
    const OptionalText& userData_;
    const std::int32_t iFlags_;
    FieldList fields_;
    std::string record_;
    Bytes serial_;
};

} // namespace

int RunGenerateTAC(TaveloState& state, const SecretString& pin, std::int32_t processingCode,
                   const OptionalText& genTac, const OptionalText& userData, std::int32_t iFlags) {
    if (!genTac || genTac->empty()) {
        return kCtlBadArgument;
    }
    CTL_LOG(kLogDebug, "GenTAC %s", genTac->c_str());
    CTL_LOG(kLogDebug, "UserConirmData %s", userData ? userData->c_str() : "");
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    TacRoad road{};
    if (!TacRoadOf(processingCode, road)) {
        CTL_LOG(kLogDebug, "bPCode %d unsupported, iFlags 0x%X", processingCode,
                static_cast<unsigned>(iFlags));
        return kCtlUnsupported;
    }
    const int rc = Transaction(state, pin, road, *genTac, userData, iFlags).run();
    CTL_LOG(kLogDebug, "GenerateTAC rtn %d", rc);
    return rc;
}

} // namespace tavelo
