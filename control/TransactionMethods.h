#pragma once

// The transaction methods of the control's class: the card authorises a
// balance inquiry, a transfer, a tax or a fee payment with GET TAC over a
// record built from the page's fields, after the PIN and, where the member
// asks for it, the user's confirmation with the card pulled out and put
// back. The TAC and TSN of a successful GET TAC are kept in the state for
// GetTSAC and GetTSN.
//
// Each routine takes the method's BSTR arguments as they came and gives the
// method's code. Every text is converted to code page 950 (5901 when it
// cannot be; 5005 when a text other than the PIN is missing or empty); no
// card gives 13; a field that would not fit its record (31 bytes for the
// inquiry, 127 for the others), a bank and account text that would not fit
// its confirmation field whole (127 units) or an amount that is not 1 to 12
// digits gives 5005 before anything is sent. isFinish is 1 after every call.

#include "control/CardMethods.h"
#include "control/ControlState.h"
#include "control/card/QxSCApdu.h"
#include "platform/com/OleAuto.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavelo {

// The record areas, the terminating zero included.
inline constexpr std::size_t kInquiryRecordArea = 32;
inline constexpr std::size_t kPaymentRecordArea = 128;

struct InquiryArguments {
    BSTR pin, checkId, accountNo, pCode;
};
struct TransferArguments {
    BSTR pin, deviceId, checkId, outBankNo, outAccountNo, inBankNo, inAccountNo, amount, pCode,
        serverTime;
};
struct PayTaxArguments {
    BSTR pin, deviceId, checkId, outBankNo, outAccountNo, writeOffAccountNo, taxType, taxName,
        amount, pCode, serverTime;
};
struct PayFeeArguments {
    BSTR pin, deviceId, checkId, outBankNo, outAccountNo, feeType, feeName, amount, pCode,
        serverTime;
};

int TxDoInquiryTAC(TaveloState& state, const InquiryArguments& args, int iFlags);
int TxDoTransferTAC(TaveloState& state, const TransferArguments& args, int iFlags);
int TxDoPayTaxTAC(TaveloState& state, const PayTaxArguments& args, int iFlags);
int TxDoPayFeeTAC(TaveloState& state, const PayFeeArguments& args, int iFlags);

// ---- Steps that other TAC routines share ----------------------------------------

// A BSTR as code-page 950 text up to its first NUL (nullopt for a null
// one); false with 5901 (or 5002) in code when it does not convert.
bool TxConvertArgument(BSTR text, std::optional<std::string>& out, int& code);

// The amount field: 1 to 12 digits, zeros before them up to 12, then "00";
// nullopt for anything else.
std::optional<std::string> TxAmountField(std::string_view amount);

// Releases the card (resetting it) and connects again, shared, to the one in
// the object's reader: 0, or the connect result (14 when no card can be
// connected). m_pCard is empty after a failure.
int TxReconnectCard(TaveloState& state);
// A failed reconnect as the methods report it: 14 gives 3005, any other 3999.
int TxReconnectCode(int connectResult);

// READ BINARY of the card's serial number into serial; the exchange's result
// (status words not mapped) and the status word in sw.
int TxReadSerial(QxSCCard* card, Bytes& serial, std::uint16_t& sw);

// After the card was pulled out and put back and the connection made again:
// SELECT of the application (its answer not read), READ BINARY of the serial
// number and the comparison with the one read before. 0 for the same card;
// 3002 for another serial number, an empty one on either read, or 6E 00;
// else the full status-word mapping or the transmit failure.
int TxCheckSameCard(TaveloState& state, std::span<const std::uint8_t> firstSerial);
// The same without the SELECT: READ BINARY and the comparison alone.
int TxCheckSameSerial(QxSCCard* card, std::span<const std::uint8_t> firstSerial);

} // namespace tavelo
