#pragma once

// The card methods of the control's class on its state: PIN verification,
// TACs, file selection and reads, PIN change and the keypad-reader check.
// Texts come in converted from code page 950 (nullopt for a null BSTR) and
// text results go out as code-page text; each routine returns the method's
// code and leaves out untouched on failure.

#include "control/ControlErrorCode.h"
#include "control/ControlState.h"
#include "control/SecretString.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavelo {

using OptionalText = std::optional<std::string>;

// iFlags bits of the card methods.
inline constexpr int kFlagVerifyCode = 0x8000;     // the captcha dialog first
inline constexpr int kFlagReplugMask = 0x30000;    // remove and insert the card first
inline constexpr int kFlagReplugDevice = 0x200000; // passed on by DetectAdvReader only
inline constexpr int kFlagNoPrompts = 0x800000;    // no replug and no keypad prompt
inline constexpr int kFlagHex = 0x1000000;         // data in or result out as hex
inline constexpr int kFlagsClearedByKeypadReader = 0x38000;

int CardVerifyPIN(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                  const SecretString& pin, int iFlags, int iReplugTime);
int CardVerifyPINEx(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                    int iFlags, int iReplugTime);
int CardGetTAC(TaveloState& state, const OptionalText& data, int iFlags, std::string& out);
// 5005 unless the file identifier is exactly four hex digits.
int CardSelectEF(TaveloState& state, const OptionalText& efid);
// Record numbers outside 1..254 give 5005.
int CardGetAccount(TaveloState& state, std::int32_t index, std::string& out);
int CardGenRandom(TaveloState& state, std::string& out);
int CardGetSN(TaveloState& state, std::string& out);
// 5001 for a record shorter than its 2-byte header, or an EF 1080 record
// whose lengths point past its end.
int CardReadRecord(TaveloState& state, std::int32_t index, int iFlags, std::string& out);
// A missing PIN counts as an empty one; both empty: the change-PIN dialog.
int CardChangePIN(TaveloState& state, const SecretString& oldPin, const SecretString& newPin);
int CardDetectAdvReader(TaveloState& state, const OptionalText& reader, const OptionalText& list,
                        int iFlags, int iReplugTime);
int CardWriteRecordWithSerialTac(TaveloState& state, const OptionalText& data, int iFlags,
                                 std::string& out);

// The keypad-reader list: Base64 of 3DES-CBC under a key and IV derived with
// PBKDF2-HMAC-SHA1 (one iteration) from a password and salt that are built
// here from pieceA, pieceB and fixed parts. The plain text into out.
int DecryptAdvReaderList(std::string_view pieceA, std::string_view pieceB, const std::uint8_t* data,
                         std::uint32_t length, std::string& out);
// Adds addFlags to flags, then clears 0x38000 from them when an entry of
// the list names a keypad reader that PC/SC lists: one holding a card whose
// name contains the entry, or the given reader when its name begins with
// it. An empty list changes nothing.
int QxCrypto_CheckFlag(std::string_view pieceA, std::string_view pieceB, int addFlags,
                       const std::optional<std::string_view>& reader, std::string_view list,
                       int& flags);
// The change-PIN dialog with its 60-second countdown: 5073 when it ran
// out, else the result of its final step (which hands out both PINs).
ControlErrorCode CHPasswdDlg_CountDown(int iFlags, SecretString& oldPin, SecretString& newPin);

} // namespace tavelo
