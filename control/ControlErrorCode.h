#pragma once

// The outcome of every routine and method of the card-payment control: a
// method returns S_OK to COM and reports one of these in its [out,retval]
// number (where that is a number) and through GetErrorCode.

#include <cstdint>

enum ControlErrorCode : std::int32_t {
    kCtlOk = 0,
    // SCardEstablishContext failed (reader listing, connection, advanced-reader
    // presence check).
    kCtlContextFailed = 10,
    // SCardListReadersA failed with anything but SCARD_E_NO_READERS_AVAILABLE.
    kCtlListReadersFailed = 11,
    // SCardGetStatusChangeA failed (advanced-reader presence check, card
    // watcher, detection).
    kCtlStatusChangeFailed = 12,
    // The method needs a connected card and none is connected.
    kCtlNoCard = 13,
    // Connection routine: connect or status query failed, or the card is
    // absent. Methods report it as kCtlCardAbsent, except the first reconnect
    // of DoPayTaxTAC and, without the remove-and-insert prompt, of GenerateTAC
    // on its 2561-2564 road, which pass 14 (or 10) on unchanged.
    kCtlConnectFailed = 14,
    // Transmit failed: card removed (SCARD_W_REMOVED_CARD).
    kCtlCardRemoved = 17,
    // Transmit failed: card reset (SCARD_W_RESET_CARD).
    kCtlCardReset = 18,
    // Transmit failed: not transacted (SCARD_E_NOT_TRANSACTED).
    kCtlNotTransacted = 19,
    // Transmit failed for any other reason.
    kCtlTransmitFailed = 20,
    // Status word 66 08 or 66 10 under the full or short status-word mapping.
    kCtlStatus6608 = 30,
    // Status word 66 20 under the full or short status-word mapping.
    kCtlStatus6620 = 31,
    // PIN (or, in ChangePIN, old or new PIN) shorter than 6 or longer than 12
    // characters; in the change-PIN dialog an empty old PIN or one of the
    // wrong length.
    kCtlPinLength = 32,
    // The PIN holds a character that is not a decimal digit.
    kCtlPinNotDigits = 33,
    // VerifyPIN and the transaction methods: SELECT of the card application
    // failed (a status word other than 90 00, or a transmit failure; other
    // methods report that as kCtlFailed or 17-20). In the transaction methods
    // also: the card read again after the confirmation dialog has another
    // serial number or answers 6E 00 to that read.
    kCtlSelectFailed = 3002,
    // Card absent or not usable: connection routine result 14, status word
    // 6E 00 under the full mapping, or (GetCardStatus) a card state below
    // SCARD_SPECIFIC.
    kCtlCardAbsent = 3005,
    // Connection failed for another reason (no context could be established).
    kCtlConnectionFailed = 3999,
    // General failure: a status word other than 90 00 where no other code
    // applies, a failed element store into a result array, a dialog that could
    // not be created; also the crypto library's own general failure.
    kCtlFailed = 5001,
    // Memory could not be allocated (also passed on from the crypto library).
    kCtlNoMemory = 5002,
    // Unsupported function or option: an unknown bPCode of GenerateTAC, an
    // unknown dialog language.
    kCtlUnsupported = 5004,
    // Bad argument: missing or empty text argument, failed argument
    // conversion, missing callback (also passed on from the crypto library).
    kCtlBadArgument = 5005,
    // Smart-card service check: the service control manager or the smart-card
    // service could not be opened. No method returns it: the remove-and-insert
    // prompt acts on kCtlReplugNeeded alone.
    kCtlServiceUnavailable = 5006,
    // From the crypto library: the advanced-reader list is not valid Base64.
    kCtlBadBase64 = 5008,
    // From the crypto library: a text decoded as hexadecimal (an EFID, bData
    // under 0x1000000, the digits of a PIN block) holds a non-hex character.
    kCtlBadHex = 5009,
    // A typed verification code did not match.
    kCtlCodeMismatch = 5038,
    // From the crypto library: the advanced-reader list cannot be decrypted.
    kCtlDecryptFailed = 5064,
    // Status word 69 F0 under the full or short mapping, or the user
    // cancelled a dialog.
    kCtlCancelled = 5070,
    // A dialog timed out.
    kCtlTimedOut = 5073,
    // Remove-and-insert prompt: the smart-card service was not running (a
    // start has been requested) or stopped during the wait, a token device is
    // disabled, or device notifications could not be registered.
    kCtlReplugNeeded = 5074,
    // From the crypto library: no cryptographic provider could be acquired
    // for the advanced-reader list.
    kCtlNoProvider = 5203,
    // A text conversion between wide and multi-byte text failed.
    kCtlTextConversion = 5901,
    // Smart-card service check: access denied while querying the service's
    // status. No method returns it.
    kCtlServiceAccessDenied = 5906,
    // Caller not authorised: the server response or page check failed.
    kCtlNotAuthorised = 5907,
    // PIN dialogs: an empty PIN, an empty new PIN or confirmation, a new PIN
    // and confirmation that differ, or a PIN that fails the strength rule.
    kCtlPinRejected = 5909,
    // GetVersion: the version resource could not be read; the remove-and-
    // insert prompt could not create its dialog even in English (passed on by
    // the methods that run it).
    kCtlVersionUnreadable = -1,
};

// What a method reports for a result of the control's crypto library. Only
// the library codes whose meaning the table above shares pass unchanged.
// Decision: every other library code, including those whose number equals a
// row above (5004, 5006, 5070, 5909 among them) and those no row has, becomes
// the general failure, so no library meaning ever leaks out as a control
// outcome.
constexpr ControlErrorCode controlCodeFromCrypto(int libraryCode) {
    switch (libraryCode) {
    case kCtlOk:
    case kCtlFailed:
    case kCtlNoMemory:
    case kCtlBadArgument:
    case kCtlBadBase64:
    case kCtlBadHex:
    case kCtlDecryptFailed:
    case kCtlNoProvider:
        return static_cast<ControlErrorCode>(libraryCode);
    default:
        return kCtlFailed;
    }
}
