#pragma once

// The card control's object state and the routines that work on it: what
// the COM class holds (its fields keep the names the class gives them) and
// calls down to. Everything runs on the caller's one thread; nothing locks.

#include "control/SecretString.h"
#include "control/card/QxSCUtil.h"
#include "control/card/Secret.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavelo {

class TaveloState {
public:
    TaveloState() = default;
    ~TaveloState() = default; // the card record releases its connection
    TaveloState(const TaveloState&) = delete;
    TaveloState& operator=(const TaveloState&) = delete;

    // ---- Interface methods (the result also goes to m_lErrorCode) ----------

    // Connects exclusively to the card in the named reader (UTF-16, as the
    // BSTR brings it; nullopt for a null one) and keeps the name in
    // m_szReaderName. A card still held is released first, and
    // VerifyPINFlag with it. 0; 5005 for a missing or empty name or one that
    // is no valid UTF-16; 3005 when no card can be connected there; 3999 for
    // any other failure.
    std::int32_t ConnectCard(std::optional<std::u16string_view> readerName);
    // Releases the card, if any, and the flags that went with its
    // connection (VerifyPINFlag, the keypad-reader test): 0.
    std::int32_t DisconnectCard();

    // ---- The connection -------------------------------------------------------

    // Ends the connection (the card is reset) and connects again, shared, to
    // m_szReaderName: the connect result (0; 14 when no card can be
    // connected there). VerifyPINFlag goes with the old connection;
    // m_pCard is empty after a failure.
    int ReconnectCard();
    // Whether the reader takes the PIN itself: the keypad-reader test counts
    // only for the reader it tested while that is the connected one.
    bool keypadReader() const;

    // ---- Routines of the transaction methods --------------------------------

    // Verifies the PIN (nullopt or empty: asks for it with pinDialog) with
    // VERIFY on card. A keypad reader (keypadReader()) takes the PIN itself:
    // 0 and nothing is sent. 32 unless the PIN has 6 to 12 characters, 33
    // unless they are digits (both before anything is sent), else the full
    // status-word mapping or the transmit failure.
    int DoVerifyPIN(QxSCCard* card, std::optional<std::string_view> pin);
    // Sends the GET TAC command that the caller built (header, Lc, dataLength
    // data bytes, Le) and keeps the TAC and the TSN of its answer. 5005 for a
    // data length above 255 or a command shorter than it says, before
    // anything is sent; else the full mapping or the transmit failure, and
    // keepTacAnswer's result.
    int DoGetTAC(QxSCCard* card, std::span<const std::uint8_t> command, std::size_t dataLength);
    // Keeps the TAC and the TSN of the data of a GET TAC answered 90 00 (see
    // parseTacAnswer). Data too short for a TAC give 5001 and leave both
    // empty, so that no earlier TAC is taken for this one.
    int keepTacAnswer(std::span<const std::uint8_t> data);

    // Runs the PIN dialog (its countdown procedure, key font height 18, at
    // most 12 digits) and gives its result and the typed PIN. While none is
    // set, no dialog can be created: 5001.
    std::function<int(SecretString& pin)> pinDialog;

    // ---- Fields ---------------------------------------------------------------

    std::uint32_t m_uiResultCodePage = 0;
    std::int32_t m_lErrorCode = 0;
    QxSCCardPtr m_pCard;
    // The reader ConnectCard connected (code page 950, at most 255
    // characters): the reconnects, the replug prompt and the card watcher
    // of this object follow it, never another object's.
    std::string m_szReaderName;
    std::string m_szServerM;
    std::string m_szServerM1;
    std::string m_szTSAC; // the last TAC, 16 upper-case hex digits
    std::string m_szTSN;  // the last TSN
    std::string m_szVerifyURL;
    bool m_bAuthorized = false;
    bool m_bEF1080 = false;
    bool isAdvReader = false;
    // The reader whose name the last keypad-reader check tested.
    std::string m_szAdvReaderTested;
    // Set by a verified PIN; ends with the connection it was verified on.
    bool VerifyPINFlag = false;
};

} // namespace tavelo
