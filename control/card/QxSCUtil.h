#pragma once

// The control's card layer over the PC/SC stand-in: reader listing, one card
// connection with its own context, release, the one exchange of a command
// and its answer, and what a card's status word means to the control.
// Every routine returns a ControlErrorCode and logs through the control log;
// the PC/SC layer's own line for each call is routed there too.

#include "control/card/QxSCApdu.h"
#include "platform/pcsc/Pcsc.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

inline constexpr std::size_t kQxSCAtrSize = 60;
inline constexpr std::size_t kQxSCReaderNameSize = 256;
// Every exchange answers into a buffer of 256 bytes, of which callers offer
// 255.
inline constexpr std::size_t kQxSCResponseBufferSize = 256;
inline constexpr std::uint32_t kQxSCResponseUsable = 255;
// The longest short command: header, Lc, 255 data bytes, Le.
inline constexpr std::size_t kQxSCMaxCommand = 4 + 1 + tavelo::kMaxCommandData + 1;

// One card connection. Its context is its own; the connection is closed
// with a card reset, so no PIN verified on it outlives it, the context
// released and every field wiped when the record goes.
struct QxSCCard {
    std::uint32_t dwActiveProtocol = platform::pcsc::kProtocolUndefined;
    std::array<std::uint8_t, kQxSCAtrSize> bAtr{};
    std::uint32_t dwAtrLen = kQxSCAtrSize;
    std::array<char, kQxSCReaderNameSize> szReader{};
    std::uint32_t dwReaderLen = kQxSCReaderNameSize;
    std::uint32_t dwState = platform::pcsc::kStateUnknown;
    platform::pcsc::Context context;
    platform::pcsc::Card card;
    // The PCI of the active protocol; none for a protocol without one.
    const platform::pcsc::IoRequest* pioSendPci = nullptr;

    QxSCCard() = default;
    ~QxSCCard();
    QxSCCard(const QxSCCard&) = delete;
    QxSCCard& operator=(const QxSCCard&) = delete;
};

using QxSCCardPtr = std::unique_ptr<QxSCCard>;

// The card layer's allocations, zero-filled; freed by their owner.
struct QxSCFree {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
using QxSCMemory = std::unique_ptr<char[], QxSCFree>;
// None when the memory cannot be had.
QxSCMemory QxSCMalloc(std::size_t size) noexcept;

// The readers as a multi-string (each name ends with a zero byte, the list
// with one more), with its length. No reader: an empty list of length 1 and
// 0. 10 when no context can be established, 11 when the listing fails, 5002
// when its memory cannot be had.
int QxSCListReaders(const char* groups, QxSCMemory& list, std::uint32_t& length);

// Connects to the card in the reader (exclusively or shared, T=0 or T=1) and
// reads its status into a new record. A card held in out is released first.
// 0; 10 when no context can be established; 14 when the connection or the
// status query fails or the card is absent; 5002 without memory. On failure
// out is empty.
int QxSCScanCardInReader(const std::string& readerName, bool exclusive, QxSCCardPtr& out);

// Closes the connection (resetting the card), releases its context and
// wipes and frees the record; out is empty after it. Nothing happens without a record.
void QxSCReleaseCard(QxSCCardPtr& card) noexcept;

// One exchange. responseLength is in: what may be received (at most the
// buffer's size; callers offer 255 of 256), out: the answer's data without
// the status word. statusWord is set to 0 first and receives SW1 SW2 only
// from an answer that carries them.
//   0     the status word is 90 00
//   5001  another status word, or an answer of fewer than two bytes
//   17    the card was removed        18  the card was reset
//   19    not transacted              20  any other transmit failure
//   5005  no card, or a command that is empty or longer than a short one
// VERIFY and WRITE RECORD data never reach the log: their bytes are masked.
int sendRawAPDU(QxSCCard* card, std::span<const std::uint8_t> command,
                std::span<std::uint8_t> response, std::uint32_t& responseLength,
                std::uint32_t& statusWord);
// The same exchange with values: 255 bytes offered.
int sendRawAPDU(QxSCCard* card, const tavelo::ApduCommand& command, tavelo::ApduResponse& response);

// What a status word gives. Full: 90 00 0, 66 08 and 66 10 30, 66 20 31,
// 69 F0 5070, 6E 00 3005, any other 5001. Short: the same but 6E 00 5001.
int QxSCMapStatusFull(std::uint32_t statusWord) noexcept;
int QxSCMapStatusShort(std::uint32_t statusWord) noexcept;
// An exchange's result under the full mapping: an answer's status word is
// mapped (an answer without one gives 5001); any other result (a transmit
// failure, a bad argument) stays as it is.
int QxSCMapExchangeFull(int exchangeResult, std::uint32_t statusWord) noexcept;
// True for the results 17 to 20, where no status word came back.
bool QxSCIsTransmitFailure(int exchangeResult) noexcept;
