#include "control/CardMethods.h"

#include "control/ControlLogLine.h"
#include "control/card/QxSCApdu.h"
#include "control/card/QxSCUtil.h"
#include "control/crypto/QxCAPICoder.h"
#include "control/crypto/QxXCAPI.h"
#include "control/ui/QxDetect.h"
#include "control/ui/UI.h"
#include "control/ui/UIConfirm.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace tavelo {

namespace {

namespace pcsc = platform::pcsc;

constexpr std::size_t kMinPin = 6;
constexpr std::size_t kMaxPin = 12;
constexpr std::uint16_t kAccountFile = 0x1001;
constexpr std::uint16_t kPinFile = 0x00C2;
constexpr std::size_t kRecordHeader = 2;
constexpr std::size_t kEf1080Skipped = 2;
constexpr std::size_t kEf1080Tail = 8;

// The keypad-reader list's secret, kept in pieces that are joined only when
// a list is read.
constexpr std::string_view kListPieceA = "c3VuLXZvbmRlbC10YXZlbG8ta2V5cGFkLTE2";
constexpr std::string_view kListPieceB = "rdr-list/2f9c61";
constexpr std::string_view kListJoint = "Qx";
static_assert(kListPieceA.size() == 36 && kListPieceB.size() == 15);

// Frees what the crypto library allocated, wiping it first.
struct CryptoFree {
    std::size_t size = 0;
    void operator()(std::uint8_t* data) const noexcept {
        secureWipe(data, size);
        qxxCAPIFree(data);
    }
};
using CryptoBytes = std::unique_ptr<std::uint8_t, CryptoFree>;

std::string hexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHexDigit(char c) {
    return qxxCAPIHexDigitValue(c) >= 0;
}

// One exchange: the exchange's own code (0, 5001, 17-20, 5005) with the
// answer.
int exchange(QxSCCard* card, const ApduCommand& command, ApduResponse& response) {
    return sendRawAPDU(card, command, response);
}

int exchange(QxSCCard* card, const ApduCommand& command) {
    ApduResponse response;
    return sendRawAPDU(card, command, response);
}

// The short mapping of an exchange: an answer's status word is mapped, an
// exchange without one gives its own code.
int mapShort(int rc, std::uint16_t sw) {
    return sw != 0 ? QxSCMapStatusShort(sw) : rc;
}

// The data of GetTAC and the serial-number TAC: hex text under 0x1000000
// (a last 00 byte of it dropped), else the text's own bytes.
int tacData(const OptionalText& text, int iFlags, Bytes& out) {
    const std::string_view data = text ? std::string_view(*text) : std::string_view();
    if ((iFlags & kFlagHex) == 0) {
        out.assign(data.begin(), data.end());
        return kCtlOk;
    }
    std::uint8_t* decoded = nullptr;
    std::uint32_t length = 0;
    const int rc =
        QxXCAPI_HexDecode(data.data(), static_cast<std::uint32_t>(data.size()), &decoded, &length);
    const CryptoBytes owner(decoded, CryptoFree{length});
    if (rc != kCtlOk) {
        CTL_LOG(kLogDebug, "QxXCAPI_HexDecode End %d", rc);
        return rc;
    }
    out.assign(decoded, decoded + length);
    if (!out.empty() && out.back() == 0x00) {
        out.pop_back();
    }
    return kCtlOk;
}

// Connects again, shared, to the reader of ConnectCard.
int reconnectShared(TaveloState& state) {
    const int rc = state.ReconnectCard();
    if (rc == kCtlOk) {
        return kCtlOk;
    }
    return rc == kCtlConnectFailed ? kCtlCardAbsent : kCtlConnectionFailed;
}

// Whether PC/SC lists a reader of exactly this name.
bool readerListed(std::string_view name) {
    QxSCMemory list;
    std::uint32_t length = 0;
    if (QxSCListReaders(nullptr, list, length) != kCtlOk) {
        return false;
    }
    std::string_view rest(list.get(), length);
    while (!rest.empty() && rest.front() != '\0') {
        const std::size_t end = rest.find('\0');
        if (rest.substr(0, end) == name) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    return false;
}

// The readers PC/SC lists, joined with "|"; empty when listing fails.
std::string joinedReaders() {
    QxSCMemory list;
    std::uint32_t length = 0;
    if (QxSCListReaders(nullptr, list, length) != kCtlOk) {
        return {};
    }
    std::string joined(list.get(), length);
    while (!joined.empty() && joined.back() == '\0') {
        joined.pop_back();
    }
    std::replace(joined.begin(), joined.end(), '\0', '|');
    return joined;
}

std::vector<std::string_view> entriesOf(std::string_view plain) {
    std::vector<std::string_view> entries;
    while (!plain.empty()) {
        const std::size_t end = plain.find(';');
        if (end != 0) {
            entries.push_back(plain.substr(0, end));
        }
        if (end == std::string_view::npos) {
            break;
        }
        plain.remove_prefix(end + 1);
    }
    return entries;
}

int decodeList(std::string_view list, std::string& plain) {
    QxBlob blob{0, nullptr};
    const int rc =
        QxXCAPI_Decode(list.data(), static_cast<std::uint32_t>(list.size()), &blob, nullptr);
    const CryptoBytes owner(blob.pbData, CryptoFree{blob.cbData});
    if (rc != kCtlOk) {
        CTL_LOG(kLogDebug, "QxXCAPI_Decode rtn %d", rc);
        return rc;
    }
    return DecryptAdvReaderList(kListPieceA, kListPieceB, blob.pbData, blob.cbData, plain);
}

// Whether a reader holds a card: 0 and the answer, 10 or 12.
int readerHoldsCard(const std::string& reader, bool& present) {
    pcsc::Context context;
    if (pcsc::Context::establish(pcsc::kScopeUser, context) != pcsc::kSuccess) {
        return kCtlContextFailed;
    }
    pcsc::ReaderState state;
    state.reader = reader;
    state.currentState = pcsc::kReaderStateUnaware;
    if (pcsc::SCardGetStatusChangeA(context.get(), pcsc::kInfinite, &state, 1) != pcsc::kSuccess) {
        return kCtlStatusChangeFailed;
    }
    present = (state.eventState & pcsc::kReaderStatePresent) != 0;
    return kCtlOk;
}

// The membership check that VerifyPIN, VerifyPINEx and DetectAdvReader
// share: sets isAdvReader for a listed reader whose name holds an entry,
// and adjusts the flags.
int checkMembership(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                    int& iFlags) {
    state.isAdvReader = false;
    state.m_szAdvReaderTested = reader.value_or(std::string());
    if (!list || list->empty()) {
        return kCtlOk;
    }
    std::string plain;
    if (const int rc = decodeList(*list, plain); rc != kCtlOk) {
        return rc;
    }
    const std::string_view name = reader ? std::string_view(*reader) : std::string_view();
    if (!name.empty() && readerListed(name)) {
        for (const auto entry : entriesOf(plain)) {
            if (name.find(entry) != std::string_view::npos) {
                state.isAdvReader = true;
                break;
            }
        }
    }
    secureWipe(plain.data(), plain.size());
    std::optional<std::string_view> given;
    if (reader) {
        given = *reader;
    }
    return QxCrypto_CheckFlag(kListPieceA, kListPieceB, 0, given, *list, iFlags);
}

// The captcha and the remove-and-insert prompt of VerifyPIN, VerifyPINEx and
// DetectAdvReader.
int verifyCodeAndReplug(const OptionalText& reader, int iFlags, int iReplugTime, int replugFlags) {
    if ((iFlags & kFlagVerifyCode) != 0) {
        if (const int rc = UI_VerifyCodeDlg(iFlags & QX_UI_FLAG_VERIFYCODE_SHUFFLE, 1);
            rc != kCtlOk) {
            return rc;
        }
    }
    if ((iFlags & kFlagNoPrompts) == 0 && (iFlags & kFlagReplugMask) != 0) {
        return QxCrypto_DetectRemoveAndInsert(nullptr, reader ? reader->c_str() : nullptr,
                                              iReplugTime, replugFlags);
    }
    return kCtlOk;
}

// The keypad PIN dialog with the procedure given.
int askPin(UI_PasswdDlgProcType procedure, bool bigKeys, SecretString& pin) {
    if (const int rc = UI_SetPasswdDlgProc(procedure); rc != kCtlOk) {
        return rc;
    }
    if (bigKeys) {
        UI_SetKeyFontSize(18);
    }
    const int rc = UI_PasswdDlg(0, 0, pin);
    CTL_LOG(kLogDebug, "UI_PasswdDlg rtn = %d", rc);
    return rc;
}

int checkPin(std::string_view pin) {
    if (pin.size() < kMinPin || pin.size() > kMaxPin) {
        return kCtlPinLength;
    }
    return allDigits(pin) ? kCtlOk : kCtlPinNotDigits;
}

// PIN dialog and VERIFY under the short mapping, for the methods that then
// ask for a TAC; a reader's keypad takes the PIN itself.
int verifyBeforeTac(TaveloState& state) {
    if (state.keypadReader()) {
        return kCtlOk;
    }
    SecretString pin;
    if (const int rc = askPin(UI_ATMPasswdDlg, false, pin); rc != kCtlOk) {
        return rc;
    }
    PinBlock block;
    if (const int rc = block.set(pin.view()); rc != kCtlOk) {
        return rc;
    }
    ApduResponse response;
    const int rc = exchange(state.m_pCard.get(), verifyCommand(block), response);
    CTL_LOG(kLogDebug, "rtn %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    // Without a status word the PIN was not checked: the exchange's failure.
    return mapShort(rc, response.sw);
}

// A record of the current file: 5005 for a number outside 1..254.
int readRecord(QxSCCard* card, std::int32_t index, ApduResponse& response) {
    if (index < 1 || index > 254) {
        return kCtlBadArgument;
    }
    return exchange(card, readRecordCommand(static_cast<std::uint8_t>(index)), response);
}

// An EF 1080 record after its header: field 1, field 2, two skipped bytes,
// 8 bytes.
int splitEf1080(std::span<const std::uint8_t> rest, bool hex, std::string& out) {
    std::array<std::span<const std::uint8_t>, 3> parts;
    for (std::size_t i = 0; i < 2; ++i) {
        if (rest.empty() || rest[0] > rest.size() - 1) {
            return kCtlFailed;
        }
        parts[i] = rest.subspan(1, rest[0]);
        rest = rest.subspan(1 + rest[0]);
    }
    if (rest.size() < kEf1080Skipped + kEf1080Tail) {
        return kCtlFailed;
    }
    parts[2] = rest.subspan(kEf1080Skipped, kEf1080Tail);
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            text.push_back('|');
        }
        text += hex ? hexText(parts[i]) : std::string(parts[i].begin(), parts[i].end());
    }
    out = std::move(text);
    return kCtlOk;
}

// The fixed record whose TAC VerifyPINEx asks for: "259", seventeen zeros,
// 28 EBCDIC characters and 16 ASCII digits.
std::array<std::uint8_t, 64> pinCheckRecord() {
    static constexpr std::string_view kEbcdicText = "PINCHECK0000000000VONDEL0001";
    static_assert(kEbcdicText.size() == 28);
    const auto ebcdic = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') {
            return static_cast<std::uint8_t>(0xF0 + (c - '0'));
        }
        if (c >= 'A' && c <= 'I') {
            return static_cast<std::uint8_t>(0xC1 + (c - 'A'));
        }
        if (c >= 'J' && c <= 'R') {
            return static_cast<std::uint8_t>(0xD1 + (c - 'J'));
        }
        return static_cast<std::uint8_t>(0xE2 + (c - 'S'));
    };
    std::array<std::uint8_t, 64> record{};
    std::size_t at = 0;
    for (const char c : std::string_view("259")) {
        record[at++] = static_cast<std::uint8_t>(c);
    }
    for (int i = 0; i < 17; ++i) {
        record[at++] = '0';
    }
    for (const char c : kEbcdicText) {
        record[at++] = ebcdic(c);
    }
    for (const char c : std::string_view("0000000000000001")) {
        record[at++] = static_cast<std::uint8_t>(c);
    }
    return record;
}

int verifyPin(TaveloState& state, const OptionalText& reader, const OptionalText& list,
              const SecretString& given, int iFlags, int iReplugTime) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    if (const int rc = checkMembership(state, reader, list, iFlags); rc != kCtlOk) {
        return rc;
    }
    // The replug is watched on this object's own reader, whatever the page names.
    if (const int rc = verifyCodeAndReplug(OptionalText(state.m_szReaderName), iFlags, iReplugTime,
                                           iFlags & kFlagReplugMask);
        rc != kCtlOk) {
        return rc;
    }
    if (const int rc = reconnectShared(state); rc != kCtlOk) {
        return rc;
    }
    if (exchange(state.m_pCard.get(), selectApplicationCommand()) != kCtlOk) {
        return kCtlSelectFailed;
    }
    const bool keypad = state.keypadReader();
    CTL_LOG(kLogDebug, "VerifyPIN - isAdvReader = %d", keypad ? 1 : 0);
    PinBlock block;
    if (keypad) {
        if ((iFlags & kFlagNoPrompts) == 0) {
            UI_StartReaderPrompt();
        }
        if (!given.empty()) {
            if (const int rc = block.set(given.view()); rc != kCtlOk) {
                return rc;
            }
        }
    } else {
        SecretString typed;
        const SecretString* pin = &given;
        if (given.empty()) {
            if (const int rc = askPin(PasswdDlg_CountDown, true, typed); rc != kCtlOk) {
                return rc;
            }
            pin = &typed;
        }
        if (const int rc = checkPin(pin->view()); rc != kCtlOk) {
            return rc;
        }
        if (const int rc = block.set(pin->view()); rc != kCtlOk) {
            return rc;
        }
    }
    ApduResponse response;
    int rc = exchange(state.m_pCard.get(), verifyCommand(block), response);
    CTL_LOG(kLogDebug, "rtn %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    rc = QxSCMapExchangeFull(rc, response.sw);
    if (rc == kCtlOk) {
        state.VerifyPINFlag = true;
        CTL_LOG(kLogDebug, "VerifyPINFlag = %d", 1);
    }
    return rc;
}

int changePin(TaveloState& state, const SecretString& givenOld, const SecretString& givenNew) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    CTL_LOG(kLogDebug, "isAdvReader = %d", state.keypadReader() ? 1 : 0);
    const bool fromDialog = givenOld.empty() && givenNew.empty();
    SecretString typedOld;
    SecretString typedNew;
    if (fromDialog) {
        CTL_LOG(kLogDebug, "enter no pin + UI");
        UI_SetCHPasswdDlgProc(CHPasswdDlg_CountDown);
        if (const int rc = UI_CHPasswdDlg(0, typedOld, typedNew); rc != kCtlOk) {
            return rc;
        }
    } else {
        CTL_LOG(kLogDebug, "enter pin + no UI");
    }
    const SecretString& oldPin = fromDialog ? typedOld : givenOld;
    const SecretString& newPin = fromDialog ? typedNew : givenNew;
    for (const SecretString* pin : {&oldPin, &newPin}) {
        if (pin->size() < kMinPin || pin->size() > kMaxPin) {
            return kCtlPinLength;
        }
    }
    for (const SecretString* pin : {&oldPin, &newPin}) {
        if (!allDigits(pin->view())) {
            return kCtlPinNotDigits;
        }
    }
    PinBlock oldBlock;
    PinBlock newBlock;
    if (const int rc = oldBlock.set(oldPin.view()); rc != kCtlOk) {
        return rc;
    }
    if (const int rc = newBlock.set(newPin.view()); rc != kCtlOk) {
        return rc;
    }
    QxSCCard* card = state.m_pCard.get();
    ApduResponse response;
    int rc = exchange(card, selectApplicationCommand(), response);
    CTL_LOG(kLogDebug, "SelectAID End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    if (rc != kCtlOk) {
        return rc;
    }
    rc = exchange(card, verifyCommand(oldBlock), response);
    CTL_LOG(kLogDebug, "VerifyPIN End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    if (!fromDialog && rc != kCtlOk) {
        return rc;
    }
    // An answer without a status word says nothing of the old PIN.
    if (fromDialog) {
        if (const int mapped = QxSCMapExchangeFull(rc, response.sw); mapped != kCtlOk) {
            return mapped;
        }
    }
    rc = exchange(card, selectFileCommand(kPinFile), response);
    CTL_LOG(kLogDebug, "SelectEF End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    if (rc != kCtlOk) {
        return rc;
    }
    rc = exchange(card, writeRecordCommand(newBlock), response);
    CTL_LOG(kLogDebug, "WriteRecord End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    return QxSCMapExchangeFull(rc, response.sw);
}

} // namespace

// ---- The keypad-reader list ------------------------------------------------------

int DecryptAdvReaderList(std::string_view pieceA, std::string_view pieceB, const std::uint8_t* data,
                         std::uint32_t length, std::string& out) {
    SecretString joined;
    joined.append(pieceA);
    joined.append(kListJoint);
    joined.append(pieceB);
    QxCAPIHandle* hash = nullptr;
    int rc = QxXCAPI_HashInit(&hash, kQxHashSha1);
    if (rc == kCtlOk) {
        rc = QxXCAPI_HashUpdate(hash, reinterpret_cast<const std::uint8_t*>(joined.c_str()),
                                static_cast<std::uint32_t>(joined.size()));
    }
    QxBlob digest{0, nullptr};
    if (rc == kCtlOk) {
        rc = QxXCAPI_HashFinal(hash, 0, &digest);
    }
    const CryptoBytes digestOwner(digest.pbData, CryptoFree{digest.cbData});
    if (rc != kCtlOk) {
        return rc;
    }
    QxBlob password{0, nullptr};
    rc = QxXCAPI_Encode(digest.pbData, digest.cbData, &password, nullptr);
    const CryptoBytes passwordOwner(password.pbData, CryptoFree{password.cbData});
    if (rc != kCtlOk) {
        return rc;
    }
    // The encoder ends its line with a line feed: the password is the 28
    // Base64 characters.
    std::uint32_t passwordLength = password.cbData;
    while (passwordLength > 0 && (password.pbData[passwordLength - 1] == '\n' ||
                                  password.pbData[passwordLength - 1] == '\r')) {
        password.pbData[--passwordLength] = 0;
    }
    std::array<std::uint8_t, 8> salt{};
    for (std::size_t i = 0; i < salt.size(); ++i) {
        salt[i] = static_cast<std::uint8_t>(pieceA[i] ^ pieceB[pieceB.size() - 1 - i]);
    }
    std::uint8_t* plain = nullptr;
    std::uint32_t plainLength = 0;
    rc = QxXCAPI_Decrypt(reinterpret_cast<const char*>(password.pbData), data, length, salt.data(),
                         static_cast<std::uint32_t>(salt.size()), 1, nullptr, kQxCipher3Des,
                         kQxModeCbc, &plain, &plainLength);
    secureWipe(salt.data(), salt.size());
    const CryptoBytes plainOwner(plain, CryptoFree{plainLength});
    if (rc != kCtlOk) {
        CTL_LOG(kLogDebug, "QxXCAPI_Decrypt rtn %d", rc);
        return rc;
    }
    out.assign(reinterpret_cast<const char*>(plain), plainLength);
    return kCtlOk;
}

int QxCrypto_CheckFlag(std::string_view pieceA, std::string_view pieceB, int addFlags,
                       const std::optional<std::string_view>& reader, std::string_view list,
                       int& flags) {
    flags |= addFlags;
    if (list.empty()) {
        return kCtlOk;
    }
    QxBlob blob{0, nullptr};
    int rc = QxXCAPI_Decode(list.data(), static_cast<std::uint32_t>(list.size()), &blob, nullptr);
    const CryptoBytes owner(blob.pbData, CryptoFree{blob.cbData});
    if (rc != kCtlOk) {
        return rc;
    }
    std::string plain;
    if (rc = DecryptAdvReaderList(pieceA, pieceB, blob.pbData, blob.cbData, plain); rc != kCtlOk) {
        return rc;
    }
    if (plain.empty()) {
        return kCtlOk;
    }
    // A name that PC/SC does not list is no reader at all.
    const bool listed = reader && readerListed(*reader);
    std::string readers;
    if (!reader) {
        readers = joinedReaders();
    } else if (listed) {
        readers = std::string(*reader);
    }
    for (const auto entry : entriesOf(plain)) {
        bool matched = false;
        if (const std::size_t at = readers.find(entry); at != std::string::npos) {
            // The whole name the entry was found in: PC/SC knows no part of one.
            const std::size_t bar = at == 0 ? std::string::npos : readers.rfind('|', at - 1);
            const std::size_t from = bar == std::string::npos ? 0 : bar + 1;
            readers = readers.substr(from, readers.find('|', at) - from);
            bool present = false;
            if (rc = readerHoldsCard(readers, present); rc != kCtlOk) {
                return rc;
            }
            matched = present;
        }
        if (!matched && listed && reader->starts_with(entry)) {
            matched = true;
        }
        if (matched) {
            flags &= ~kFlagsClearedByKeypadReader;
            break;
        }
    }
    return kCtlOk;
}

ControlErrorCode CHPasswdDlg_CountDown(int iFlags, SecretString& oldPin, SecretString& newPin) {
    UI_CHPasswdDlgInit(iFlags);
    if (UI_GetError() == kCtlOk) {
        const auto result = UI_DialogBox(kUiChangePinDialog, UI_CHPasswdDlgCallBack_CountDown);
        CTL_LOG(kLogDebug, "## UI_CHPasswdDlgCallBack_CountDown = %d", static_cast<int>(result));
        if (result == kCtlTimedOut) {
            SecretString none;
            UI_CHPasswdDlgFinal(iFlags, none, none);
            return kCtlTimedOut;
        }
    }
    const ControlErrorCode rc = UI_CHPasswdDlgFinal(iFlags, oldPin, newPin);
    CTL_LOG(kLogDebug, "## UI_CHPasswdDlgFinal = %d", static_cast<int>(rc));
    return rc;
}

// ---- The methods ---------------------------------------------------------------------

int CardVerifyPIN(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                  const SecretString& pin, int iFlags, int iReplugTime) {
    const int rc = verifyPin(state, reader, list, pin, iFlags, iReplugTime);
    UI_FinishReaderPrompt();
    return rc;
}

int CardVerifyPINEx(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                    int iFlags, int iReplugTime) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    if (const int rc = checkMembership(state, reader, list, iFlags); rc != kCtlOk) {
        return rc;
    }
    // The replug is watched on this object's own reader, whatever the page names.
    if (const int rc = verifyCodeAndReplug(OptionalText(state.m_szReaderName), iFlags, iReplugTime,
                                           iFlags & kFlagReplugMask);
        rc != kCtlOk) {
        return rc;
    }
    if (const int rc = reconnectShared(state); rc != kCtlOk) {
        return rc;
    }
    if (const int rc = exchange(state.m_pCard.get(), selectApplicationCommand()); rc != kCtlOk) {
        return rc;
    }
    if (const int rc = verifyBeforeTac(state); rc != kCtlOk) {
        return rc;
    }
    const auto record = pinCheckRecord();
    const auto command = getTacCommand(record);
    ApduResponse response;
    const int rc = exchange(state.m_pCard.get(), *command, response);
    CTL_LOG(kLogDebug, "GetTAC End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    return rc;
}

int CardGetTAC(TaveloState& state, const OptionalText& data, int iFlags, std::string& out) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    // A keypad reader asks for the PIN itself only from a card that was
    // reset: no PIN verified before signs this TAC.
    if (state.keypadReader()) {
        if (const int rc = reconnectShared(state); rc != kCtlOk) {
            return rc;
        }
    }
    if (const int rc = exchange(state.m_pCard.get(), selectApplicationCommand()); rc != kCtlOk) {
        return rc;
    }
    Bytes bytes;
    if (const int rc = tacData(data, iFlags, bytes); rc != kCtlOk) {
        return rc;
    }
    // Before the PIN is asked for a command that could not be sent.
    const auto command = getTacCommand(bytes);
    if (!command) {
        return kCtlBadArgument;
    }
    if (const int rc = verifyBeforeTac(state); rc != kCtlOk) {
        return rc;
    }
    ApduResponse response;
    int rc = exchange(state.m_pCard.get(), *command, response);
    CTL_LOG(kLogDebug, "GetTAC End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    rc = mapShort(rc, response.sw);
    if (rc == kCtlOk && !response.data.empty()) {
        out = hexText(response.data);
    }
    return rc;
}

int CardSelectEF(TaveloState& state, const OptionalText& efid) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    state.m_bEF1080 = false;
    if (!efid || efid->size() != 4 || !std::all_of(efid->begin(), efid->end(), isHexDigit)) {
        return kCtlBadArgument;
    }
    const auto id = static_cast<std::uint16_t>(std::stoul(*efid, nullptr, 16));
    QxSCCard* card = state.m_pCard.get();
    if (const int rc = exchange(card, selectApplicationCommand()); rc != kCtlOk) {
        return rc;
    }
    if (const int rc = exchange(card, selectFileCommand(id)); rc != kCtlOk) {
        return rc;
    }
    state.m_bEF1080 = *efid == "1080";
    return kCtlOk;
}

int CardGetAccount(TaveloState& state, std::int32_t index, std::string& out) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    QxSCCard* card = state.m_pCard.get();
    if (const int rc = exchange(card, selectApplicationCommand()); rc != kCtlOk) {
        return rc;
    }
    if (const int rc = exchange(card, selectFileCommand(kAccountFile)); rc != kCtlOk) {
        return rc;
    }
    ApduResponse response;
    if (const int rc = readRecord(card, index, response); rc != kCtlOk) {
        return rc;
    }
    out = hexText(response.data);
    return kCtlOk;
}

namespace {

// SELECT of the application, then one command whose answer comes back as
// upper-case hex text.
int selectAndRead(TaveloState& state, const ApduCommand& command, std::string& out) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    QxSCCard* card = state.m_pCard.get();
    if (const int rc = exchange(card, selectApplicationCommand()); rc != kCtlOk) {
        return rc;
    }
    ApduResponse response;
    if (const int rc = exchange(card, command, response); rc != kCtlOk) {
        return rc;
    }
    out = hexText(response.data);
    return kCtlOk;
}

} // namespace

int CardGenRandom(TaveloState& state, std::string& out) {
    return selectAndRead(state, cardRandomCommand(), out);
}

int CardGetSN(TaveloState& state, std::string& out) {
    return selectAndRead(state, readBinaryCommand(), out);
}

int CardReadRecord(TaveloState& state, std::int32_t index, int iFlags, std::string& out) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    ApduResponse response;
    if (const int rc = readRecord(state.m_pCard.get(), index, response); rc != kCtlOk) {
        return rc;
    }
    if (response.data.size() < kRecordHeader) {
        return kCtlFailed;
    }
    const std::span<const std::uint8_t> rest =
        std::span<const std::uint8_t>(response.data).subspan(kRecordHeader);
    const bool hex = (iFlags & kFlagHex) != 0;
    if (state.m_bEF1080) {
        return splitEf1080(rest, hex, out);
    }
    out = hex ? hexText(rest) : std::string(rest.begin(), rest.end());
    return kCtlOk;
}

int CardChangePIN(TaveloState& state, const SecretString& oldPin, const SecretString& newPin) {
    return changePin(state, oldPin, newPin);
}

int CardDetectAdvReader(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                        int iFlags, int iReplugTime) {
    CTL_LOG(kLogDebug, "QxCrypto_CheckFlag Begin cstrReader %s cstrAdvReaderList %s iFlags %X",
            reader ? reader->c_str() : "", list ? list->c_str() : "",
            static_cast<unsigned>(iFlags));
    if (const int rc = checkMembership(state, reader, list, iFlags); rc != kCtlOk) {
        return rc;
    }
    CTL_LOG(kLogDebug, "QxCrypto_CheckFlag End iFlags %X", static_cast<unsigned>(iFlags));
    return verifyCodeAndReplug(reader, iFlags, iReplugTime, iFlags);
}

int CardWriteRecordWithSerialTac(TaveloState& state, const OptionalText& data, int iFlags,
                                 std::string& out) {
    if (!state.m_pCard) {
        return kCtlNoCard;
    }
    Bytes bytes;
    if (const int rc = tacData(data, iFlags, bytes); rc != kCtlOk) {
        return rc;
    }
    const auto command = getTacWithSerialCommand(bytes);
    if (!command) {
        return kCtlBadArgument;
    }
    ApduResponse response;
    const int rc = exchange(state.m_pCard.get(), *command, response);
    CTL_LOG(kLogDebug, "GetTAC End %d uiSW12 0x%X", rc, static_cast<unsigned>(response.sw));
    if (response.sw == 0) {
        return kCtlFailed;
    }
    const int mapped = QxSCMapStatusShort(response.sw);
    if (mapped == kCtlOk && !response.data.empty()) {
        out = hexText(response.data);
    }
    return mapped;
}

} // namespace tavelo
