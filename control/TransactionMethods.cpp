#include "control/TransactionMethods.h"

#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"
#include "control/TaveloText.h"
#include "control/card/QxSCUtil.h"
#include "control/ui/QxDetect.h"
#include "control/ui/UI.h"
#include "control/ui/UIConfirm.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace tavelo {

namespace {

constexpr std::size_t kMinPin = 6;
constexpr std::size_t kMaxPin = 12;
constexpr std::size_t kAmountDigits = 12;
constexpr std::size_t kInquiryKeyLength = 24;
constexpr int kReplugSeconds = 60;
constexpr std::uint16_t kSwClassNotSupported = 0x6E00;

enum class Member { Inquiry, Transfer, Tax, Fee };

const char* nameOf(Member member) {
    switch (member) {
    case Member::Inquiry:
        return "DoInquiryTAC";
    case Member::Transfer:
        return "DoTransferTAC";
    case Member::Tax:
        return "DoPayTaxTAC";
    case Member::Fee:
        return "DoPayFeeTAC";
    }
    return "";
}

// What the road needs once the arguments are checked.
struct Transaction {
    Member member = Member::Transfer;
    SecretString pin;
    std::string record;
    // The confirmation dialog's texts, from the converted arguments.
    std::u16string outAccount;
    std::u16string inAccount;
    std::u16string payKind;
    std::u16string amount;
};

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::u16string wideOf(const std::string& text) {
    std::size_t length = 0;
    auto wide = MultiByteToWideAlloc(kArgumentCodePage, text.data(), text.size(), length);
    return wide ? wide->substr(0, length) : std::u16string();
}

std::u16string accountText(const std::string& bank, const std::string& account) {
    return wideOf(bank) + u"／" + wideOf(account);
}

// The confirmation shows the accounts whole or not at all: a text cut at its
// field would show an account other than the one the record signs.
bool accountsFit(const Transaction& tx) {
    const bool fit = tx.outAccount.size() < decltype(g_szOutAccount)::kCapacity &&
                     tx.inAccount.size() < decltype(g_szInAccount)::kCapacity;
    if (!fit) {
        CTL_LOG(kLogDebug, "account texts of %zu and %zu units do not fit", tx.outAccount.size(),
                tx.inAccount.size());
    }
    return fit;
}

// The member's status-word mapping: the fee payment knows no 3005 in its
// VERIFY and GET TAC exchanges.
int mapStatus(Member member, int exchangeResult, std::uint16_t sw) {
    if (member == Member::Fee && exchangeResult == kCtlFailed && sw == kSwClassNotSupported) {
        return kCtlFailed;
    }
    return QxSCMapExchangeFull(exchangeResult, sw);
}

// Converts the texts in order; the first that does not convert ends it.
bool convertAll(std::initializer_list<std::pair<BSTR, std::optional<std::string>*>> texts,
                int& code) {
    for (const auto& [text, out] : texts) {
        if (!TxConvertArgument(text, *out, code)) {
            return false;
        }
    }
    return true;
}

bool anyMissing(std::initializer_list<const std::optional<std::string>*> texts) {
    return std::any_of(texts.begin(), texts.end(),
                       [](const std::optional<std::string>* t) { return !*t || (*t)->empty(); });
}

// The PIN dialog of these methods: the keypad without countdown.
int askPin(SecretString& pin) {
    if (const int rc = UI_SetPasswdDlgProc(UI_ATMPasswdDlg); rc != kCtlOk) {
        return rc;
    }
    UI_SetKeyFontSize(18);
    UI_SetPasswdMaxLen(static_cast<int>(kMaxPin));
    const int rc = UI_PasswdDlg(0, 0, pin);
    CTL_LOG(kLogDebug, "UI_PasswdDlg rtn = %d", rc);
    return rc;
}

int sendVerify(const Transaction& tx, QxSCCard* card, const PinBlock& block) {
    ApduResponse response;
    const int rc = sendRawAPDU(card, verifyCommand(block), response);
    CTL_LOG(kLogDebug, "VerifyPIN End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    return mapStatus(tx.member, rc, response.sw);
}

int readFirstSerial(QxSCCard* card, Bytes& serial) {
    std::uint16_t sw = 0;
    const int rc = TxReadSerial(card, serial, sw);
    return QxSCMapExchangeFull(rc, sw);
}

int getTac(TaveloState& state, const Transaction& tx) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(tx.record.data());
    const auto command = getTacCommand(std::span(data, tx.record.size()));
    if (!command || tx.record.size() > kMaxTacRecord) {
        return kCtlBadArgument;
    }
    ApduResponse response;
    int rc = sendRawAPDU(state.m_pCard.get(), *command, response);
    CTL_LOG(kLogDebug, "GetTAC End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    rc = mapStatus(tx.member, rc, response.sw);
    if (rc == kCtlOk) {
        rc = state.keepTacAnswer(response.data);
    }
    return rc;
}

// The confirmation, the card pulled and put back, and the same card again.
int confirm(TaveloState& state, const Transaction& tx, int iFlags, const Bytes& firstSerial) {
    g_szOutAccount.set(tx.outAccount);
    g_szAmount.set(tx.amount);
    int rc = kCtlOk;
    if (tx.member == Member::Transfer) {
        g_szReaderPrompt.set(u"轉帳交易確認");
        g_szInAccount.set(tx.inAccount);
        rc = UI_TransferConfirmDlg(state.m_szReaderName);
    } else {
        g_szReaderPrompt.set(tx.member == Member::Tax ? u"繳費稅確認" : u"全國繳費稅確認");
        g_szPayType.set(tx.payKind);
        rc = UI_PayConfirmDlg(state.m_szReaderName);
    }
    CTL_LOG(kLogDebug, "confirmation rtn %d", rc);
    if (rc != kCtlOk) {
        return rc;
    }
    rc = TxReconnectCard(state);
    if (rc != kCtlOk) {
        // The tax payment passes its first reconnect's own result on.
        return tx.member == Member::Tax ? rc : TxReconnectCode(rc);
    }
    if ((iFlags & kFlagNoPrompts) == 0 && (iFlags & kFlagReplugMask) != 0) {
        const int mode = tx.member == Member::Transfer ? kFlagReplugMask : QX_DETECT_FLAG_INSERT;
        rc = QxCrypto_DetectRemoveAndInsert(nullptr, state.m_szReaderName.c_str(), kReplugSeconds,
                                            mode);
        CTL_LOG(kLogDebug, "QxCrypto_DetectRemoveAndInsert rtn %d", rc);
        if (rc != kCtlOk) {
            return rc;
        }
        if (tx.member == Member::Transfer) {
            if (rc = TxReconnectCard(state); rc != kCtlOk) {
                return TxReconnectCode(rc);
            }
        }
    }
    if (rc = TxReconnectCard(state); rc != kCtlOk) {
        return TxReconnectCode(rc);
    }
    return TxCheckSameCard(state, firstSerial);
}

// Steps from SELECT to the PIN and the confirmation; 0 when GET TAC may go.
int prepareCard(TaveloState& state, Transaction& tx, int iFlags, bool& promptStarted) {
    const bool keypad = state.keypadReader();
    // The keypad road rides on no PIN verified before: from a reset card
    // only the reader's own PIN entry gets a TAC.
    if (keypad) {
        if (const int rc = TxReconnectCard(state); rc != kCtlOk) {
            return TxReconnectCode(rc);
        }
    }
    QxSCCard* card = state.m_pCard.get();
    if (ApduResponse selected; sendRawAPDU(card, selectApplicationCommand(), selected) != kCtlOk) {
        return kCtlSelectFailed;
    }
    CTL_LOG(kLogDebug, "%s - isAdvReader = %d", nameOf(tx.member), keypad ? 1 : 0);
    if (keypad) {
        // The reader takes the PIN during GET TAC.
        if ((iFlags & kFlagNoPrompts) == 0) {
            g_szReaderPrompt.set(tx.member == Member::Inquiry    ? u"餘額查詢 Balance Inquary"
                                 : tx.member == Member::Transfer ? u"轉帳確認"
                                 : tx.member == Member::Tax      ? u"繳費稅確認"
                                                                 : u"全國繳費稅確認");
            UI_StartReaderPrompt();
            promptStarted = true;
        }
        return kCtlOk;
    }
    if (tx.pin.empty()) {
        if (const int rc = askPin(tx.pin); rc != kCtlOk) {
            return rc;
        }
    }
    if (tx.pin.size() < kMinPin || tx.pin.size() > kMaxPin) {
        return kCtlPinLength;
    }
    if (!allDigits(tx.pin.view())) {
        return kCtlPinNotDigits;
    }
    PinBlock block;
    if (const int rc = block.set(tx.pin.view()); rc != kCtlOk) {
        return rc;
    }
    Bytes firstSerial;
    if (tx.member == Member::Tax) {
        if (const int rc = readFirstSerial(card, firstSerial); rc != kCtlOk) {
            return rc;
        }
    }
    if (const int rc = sendVerify(tx, card, block); rc != kCtlOk) {
        return rc;
    }
    if (tx.member == Member::Inquiry) {
        return kCtlOk;
    }
    if (tx.member != Member::Tax) {
        if (const int rc = readFirstSerial(card, firstSerial); rc != kCtlOk) {
            return rc;
        }
    }
    if (const int rc = confirm(state, tx, iFlags, firstSerial); rc != kCtlOk) {
        return rc;
    }
    return sendVerify(tx, state.m_pCard.get(), block);
}

// The road after the arguments: card test, record, card, GET TAC.
int runRoad(TaveloState& state, Transaction& tx, int iFlags, std::size_t area,
            bool& promptStarted) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    // The record fills its area but for the terminating zero.
    if (tx.record.size() > area - 1 || tx.record.size() > kMaxTacRecord) {
        CTL_LOG(kLogDebug, "record of %zu bytes does not fit", tx.record.size());
        return kCtlBadArgument;
    }
    if (!state.VerifyPINFlag) {
        if (const int rc = prepareCard(state, tx, iFlags, promptStarted); rc != kCtlOk) {
            return rc;
        }
    }
    return getTac(state, tx);
}

// Every road ends here: isFinish is set (closing the keypad prompt) and the
// code logged.
int finish(Member member, int rc, bool promptStarted) {
    if (promptStarted) {
        UI_FinishReaderPrompt();
    }
    isFinish = 1;
    CTL_LOG(kLogDebug, "%s rtn %d", nameOf(member), rc);
    return rc;
}

int logCardTest(TaveloState& state, Member member, std::string_view fields) {
    CTL_LOG(kLogDebug, "%s %.*s", nameOf(member), static_cast<int>(fields.size()), fields.data());
    return state.m_pCard ? kCtlOk : kCtlNoCard;
}

int pinArgument(BSTR text, SecretString& pin, int& code) {
    std::optional<std::string> converted;
    if (!TxConvertArgument(text, converted, code)) {
        return code;
    }
    if (converted) {
        pin = SecretString(std::move(*converted));
    }
    return kCtlOk;
}

// The payment members share all but their fields.
struct PaymentTexts {
    std::optional<std::string> deviceId, checkId, outBankNo, outAccountNo, amount, pCode,
        serverTime;
};

int paymentRoad(TaveloState& state, Transaction& tx, PaymentTexts& t,
                std::initializer_list<const std::optional<std::string>*> others,
                std::string_view recordTail, int iFlags) {
    bool promptStarted = false;
    int rc = kCtlOk;
    if (anyMissing({&t.deviceId, &t.checkId, &t.outBankNo, &t.outAccountNo, &t.amount, &t.pCode,
                    &t.serverTime}) ||
        anyMissing(others)) {
        rc = kCtlBadArgument;
    } else if (rc = logCardTest(state, tx.member,
                                "DeviceID " + *t.deviceId + " CheckID " + *t.checkId + " OutBank " +
                                    *t.outBankNo + " OutAccount " + *t.outAccountNo + " Amount " +
                                    *t.amount + " PCode " + *t.pCode + " Time " + *t.serverTime);
               rc == kCtlOk) {
        const auto amount = TxAmountField(*t.amount);
        if (!amount) {
            rc = kCtlBadArgument;
        } else {
            tx.record = *t.pCode + *amount + *t.deviceId + *t.checkId + *t.serverTime +
                        std::string(recordTail);
            tx.outAccount = accountText(*t.outBankNo, *t.outAccountNo);
            tx.amount = wideOf(*t.amount);
            rc = accountsFit(tx) ? runRoad(state, tx, iFlags, kPaymentRecordArea, promptStarted)
                                 : int{kCtlBadArgument};
        }
    }
    return finish(tx.member, rc, promptStarted);
}

} // namespace

// ---- Shared steps ---------------------------------------------------------------------

bool TxConvertArgument(BSTR text, std::optional<std::string>& out, int& code) {
    std::size_t length = 0;
    int rc = kCtlOk;
    out = BstrToMultiByte(kArgumentCodePage, text, -1, length, rc);
    if (rc != kCtlOk) {
        code = rc;
        return false;
    }
    if (out) {
        out->resize(length);
    }
    return true;
}

std::optional<std::string> TxAmountField(std::string_view amount) {
    if (amount.empty() || amount.size() > kAmountDigits || !allDigits(amount)) {
        return std::nullopt;
    }
    return std::string(kAmountDigits - amount.size(), '0') + std::string(amount) + "00";
}

int TxReconnectCard(TaveloState& state) {
    return state.ReconnectCard();
}

int TxReconnectCode(int connectResult) {
    return connectResult == kCtlConnectFailed ? kCtlCardAbsent : kCtlConnectionFailed;
}

int TxReadSerial(QxSCCard* card, Bytes& serial, std::uint16_t& sw) {
    ApduResponse response;
    const int rc = sendRawAPDU(card, readBinaryCommand(), response);
    CTL_LOG(kLogDebug, "ReadBinary End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    serial = std::move(response.data);
    sw = response.sw;
    return rc;
}

int TxCheckSameCard(TaveloState& state, std::span<const std::uint8_t> firstSerial) {
    ApduResponse selected;
    sendRawAPDU(state.m_pCard.get(), selectApplicationCommand(), selected);
    return TxCheckSameSerial(state.m_pCard.get(), firstSerial);
}

int TxCheckSameSerial(QxSCCard* card, std::span<const std::uint8_t> firstSerial) {
    Bytes serial;
    std::uint16_t sw = 0;
    const int rc = TxReadSerial(card, serial, sw);
    if (sw == kSwClassNotSupported) {
        return kCtlSelectFailed;
    }
    if (const int mapped = QxSCMapExchangeFull(rc, sw); mapped != kCtlOk) {
        return mapped;
    }
    // Two empty answers say nothing about the card.
    if (firstSerial.empty() ||
        !std::equal(serial.begin(), serial.end(), firstSerial.begin(), firstSerial.end())) {
        CTL_LOG(kLogDebug, "another card: serial of %zu bytes, %zu before", serial.size(),
                firstSerial.size());
        return kCtlSelectFailed;
    }
    return kCtlOk;
}

// ---- The methods -------------------------------------------------------------------------

int TxDoInquiryTAC(TaveloState& state, const InquiryArguments& args, int iFlags) {
    Transaction tx;
    tx.member = Member::Inquiry;
    std::optional<std::string> checkId, accountNo, pCode;
    bool promptStarted = false;
    int rc = kCtlOk;
    if (pinArgument(args.pin, tx.pin, rc) != kCtlOk ||
        !convertAll({{args.checkId, &checkId}, {args.accountNo, &accountNo}, {args.pCode, &pCode}},
                    rc)) {
        return finish(tx.member, rc, promptStarted);
    }
    if (anyMissing({&checkId, &accountNo, &pCode})) {
        rc = kCtlBadArgument;
    } else if (rc = logCardTest(state, tx.member,
                                "CheckID " + *checkId + " Account " + *accountNo + " PCode " +
                                    *pCode);
               rc == kCtlOk) {
        if (checkId->size() + accountNo->size() != kInquiryKeyLength) {
            rc = kCtlBadArgument;
        } else {
            tx.record = *pCode + *checkId + *accountNo;
            rc = runRoad(state, tx, iFlags, kInquiryRecordArea, promptStarted);
        }
    }
    return finish(tx.member, rc, promptStarted);
}

int TxDoTransferTAC(TaveloState& state, const TransferArguments& args, int iFlags) {
    Transaction tx;
    tx.member = Member::Transfer;
    PaymentTexts t;
    std::optional<std::string> inBankNo, inAccountNo;
    int rc = kCtlOk;
    if (pinArgument(args.pin, tx.pin, rc) != kCtlOk ||
        !convertAll({{args.deviceId, &t.deviceId},
                     {args.checkId, &t.checkId},
                     {args.outBankNo, &t.outBankNo},
                     {args.outAccountNo, &t.outAccountNo},
                     {args.inBankNo, &inBankNo},
                     {args.inAccountNo, &inAccountNo},
                     {args.amount, &t.amount},
                     {args.pCode, &t.pCode},
                     {args.serverTime, &t.serverTime}},
                    rc)) {
        return finish(tx.member, rc, false);
    }
    if (inBankNo && inAccountNo) {
        tx.inAccount = accountText(*inBankNo, *inAccountNo);
    }
    const std::string tail = inAccountNo.value_or("") + t.outAccountNo.value_or("");
    return paymentRoad(state, tx, t, {&inBankNo, &inAccountNo}, tail, iFlags);
}

int TxDoPayTaxTAC(TaveloState& state, const PayTaxArguments& args, int iFlags) {
    Transaction tx;
    tx.member = Member::Tax;
    PaymentTexts t;
    std::optional<std::string> writeOff, taxType, taxName;
    int rc = kCtlOk;
    if (pinArgument(args.pin, tx.pin, rc) != kCtlOk ||
        !convertAll({{args.deviceId, &t.deviceId},
                     {args.checkId, &t.checkId},
                     {args.outBankNo, &t.outBankNo},
                     {args.outAccountNo, &t.outAccountNo},
                     {args.writeOffAccountNo, &writeOff},
                     {args.taxType, &taxType},
                     {args.taxName, &taxName},
                     {args.amount, &t.amount},
                     {args.pCode, &t.pCode},
                     {args.serverTime, &t.serverTime}},
                    rc)) {
        return finish(tx.member, rc, false);
    }
    tx.payKind = taxName ? wideOf(*taxName) : std::u16string();
    const std::string tail =
        taxType.value_or("") + t.outAccountNo.value_or("") + writeOff.value_or("");
    return paymentRoad(state, tx, t, {&writeOff, &taxType, &taxName}, tail, iFlags);
}

int TxDoPayFeeTAC(TaveloState& state, const PayFeeArguments& args, int iFlags) {
    Transaction tx;
    tx.member = Member::Fee;
    PaymentTexts t;
    std::optional<std::string> feeType, feeName;
    int rc = kCtlOk;
    if (pinArgument(args.pin, tx.pin, rc) != kCtlOk ||
        !convertAll({{args.deviceId, &t.deviceId},
                     {args.checkId, &t.checkId},
                     {args.outBankNo, &t.outBankNo},
                     {args.outAccountNo, &t.outAccountNo},
                     {args.feeType, &feeType},
                     {args.feeName, &feeName},
                     {args.amount, &t.amount},
                     {args.pCode, &t.pCode},
                     {args.serverTime, &t.serverTime}},
                    rc)) {
        return finish(tx.member, rc, false);
    }
    tx.payKind = feeName ? wideOf(*feeName) : std::u16string();
    return paymentRoad(state, tx, t, {&feeType, &feeName}, t.outAccountNo.value_or(""), iFlags);
}

} // namespace tavelo
