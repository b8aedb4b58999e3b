#pragma once

// The PC/SC interface as its Windows-shaped callers read it, over pcsc-lite.
// Only this library sees pcsc-lite's headers. There, DWORD and LONG are 64
// bits wide, the card state is a bit mask with an event count above bit 16,
// and the raw protocol has another number; here every value is 32 bits, a
// card state is an ordinal (1 absent ... 6 specific), protocols carry their
// Windows numbers, and result codes pass through unchanged.
//
// Every call into pcsc-lite goes through one choke point that reports the
// call's name, the caller's file and line and the result to the log hook.
// Nothing here throws; a resource manager that is not running gives
// kNoService at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::pcsc {

using Result = std::uint32_t;
using ContextHandle = std::uintptr_t;
using CardHandle = std::uintptr_t;

// ---- Result codes ----------------------------------------------------------

inline constexpr Result kSuccess = 0;
inline constexpr Result kInternalError = 0x80100001;
inline constexpr Result kCancelled = 0x80100002;
inline constexpr Result kInvalidHandle = 0x80100003;
inline constexpr Result kInvalidParameter = 0x80100004;
inline constexpr Result kNoMemory = 0x80100006;
inline constexpr Result kInsufficientBuffer = 0x80100008;
inline constexpr Result kUnknownReader = 0x80100009;
inline constexpr Result kTimeout = 0x8010000A;
inline constexpr Result kSharingViolation = 0x8010000B;
inline constexpr Result kNoSmartcard = 0x8010000C;
inline constexpr Result kProtocolMismatch = 0x8010000F;
inline constexpr Result kNotReady = 0x80100010;
inline constexpr Result kInvalidValue = 0x80100011;
inline constexpr Result kCommError = 0x80100013;
inline constexpr Result kNotTransacted = 0x80100016;
inline constexpr Result kReaderUnavailable = 0x80100017;
inline constexpr Result kNoService = 0x8010001D;
inline constexpr Result kServiceStopped = 0x8010001E;
inline constexpr Result kNoReadersAvailable = 0x8010002E;
inline constexpr Result kUnsupportedCard = 0x80100065;
inline constexpr Result kUnresponsiveCard = 0x80100066;
inline constexpr Result kUnpoweredCard = 0x80100067;
inline constexpr Result kResetCard = 0x80100068;
inline constexpr Result kRemovedCard = 0x80100069;

// ---- Arguments ---------------------------------------------------------------

inline constexpr std::uint32_t kScopeUser = 0;
inline constexpr std::uint32_t kScopeTerminal = 1;
inline constexpr std::uint32_t kScopeSystem = 2;

inline constexpr std::uint32_t kShareExclusive = 1;
inline constexpr std::uint32_t kShareShared = 2;
inline constexpr std::uint32_t kShareDirect = 3;

inline constexpr std::uint32_t kProtocolUndefined = 0;
inline constexpr std::uint32_t kProtocolT0 = 1;
inline constexpr std::uint32_t kProtocolT1 = 2;
inline constexpr std::uint32_t kProtocolRaw = 0x10000;

// What disconnecting or ending a transaction does to the card.
inline constexpr std::uint32_t kDispositionLeave = 0;
inline constexpr std::uint32_t kDispositionReset = 1;
inline constexpr std::uint32_t kDispositionUnpower = 2;
inline constexpr std::uint32_t kDispositionEject = 3;

// Card states, as ordinals.
inline constexpr std::uint32_t kStateUnknown = 0;
inline constexpr std::uint32_t kStateAbsent = 1;
inline constexpr std::uint32_t kStatePresent = 2;
inline constexpr std::uint32_t kStateSwallowed = 3;
inline constexpr std::uint32_t kStatePowered = 4;
inline constexpr std::uint32_t kStateNegotiable = 5;
inline constexpr std::uint32_t kStateSpecific = 6;

// Reader state bits of SCardGetStatusChangeA; the upper 16 bits of an event
// state count the reader's events.
inline constexpr std::uint32_t kReaderStateUnaware = 0x0000;
inline constexpr std::uint32_t kReaderStateIgnore = 0x0001;
inline constexpr std::uint32_t kReaderStateChanged = 0x0002;
inline constexpr std::uint32_t kReaderStateUnknown = 0x0004;
inline constexpr std::uint32_t kReaderStateUnavailable = 0x0008;
inline constexpr std::uint32_t kReaderStateEmpty = 0x0010;
inline constexpr std::uint32_t kReaderStatePresent = 0x0020;
inline constexpr std::uint32_t kReaderStateAtrMatch = 0x0040;
inline constexpr std::uint32_t kReaderStateExclusive = 0x0080;
inline constexpr std::uint32_t kReaderStateInUse = 0x0100;
inline constexpr std::uint32_t kReaderStateMute = 0x0200;

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr std::size_t kMaxAtrSize = 36;
// The reader that SCardGetStatusChangeA watches for readers coming and going.
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

// Protocol control information of a transmit.
struct IoRequest {
    std::uint32_t protocol = kProtocolUndefined;
    std::uint32_t length = sizeof(IoRequest);
};

inline constexpr IoRequest kPciT0{kProtocolT0, sizeof(IoRequest)};
inline constexpr IoRequest kPciT1{kProtocolT1, sizeof(IoRequest)};
inline constexpr IoRequest kPciRaw{kProtocolRaw, sizeof(IoRequest)};

// The PCI that sends with an active protocol; nullptr for any other.
const IoRequest* pciForProtocol(std::uint32_t protocol) noexcept;

// One reader watched by SCardGetStatusChangeA.
struct ReaderState {
    std::string reader;
    std::uint32_t currentState = kReaderStateUnaware;
    std::uint32_t eventState = 0;
    std::uint32_t atrLength = 0;
    std::array<std::uint8_t, kMaxAtrSize> atr{};
};

// ---- Log hook ------------------------------------------------------------------

// Receives one line per call into pcsc-lite: "<file> <line> <call> 0x<result>".
// An empty hook (the default) logs nothing. The hook may be called from any
// thread that uses this library.
using LogHook = std::function<void(std::string_view line)>;
void setPcscLogHook(LogHook hook) noexcept;

// ---- Test seam ---------------------------------------------------------------

// (Not "testing": tests that use this namespace also use GoogleTest's.)
namespace seam {
// The next call of the named function (named as the log hook names it, e.g.
// "SCardTransmit") does not reach pcsc-lite: it gives result, is reported to
// the hook like any call, and its outputs are those of a failed call. One
// failure per call of this, taken in the order they were added.
void failNextCall(std::string_view call, Result result);
// Forgets every failure still waiting.
void clearFailures();
} // namespace seam

// ---- The calls, Windows-shaped -----------------------------------------------------
// Lengths are in and out as on Windows: a null buffer asks for the length;
// kInfinite as a length (automatic allocation) is refused with
// kInvalidParameter.

// Where a call comes from: the caller's file and line, taken by the default
// argument at each call. (The fuzz build's clang has no
// std::source_location; this is its shape.)
class Where {
public:
    static constexpr Where current(const char* file = __builtin_FILE(),
                                   std::uint_least32_t line = __builtin_LINE()) noexcept {
        return Where(file, line);
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }

private:
    constexpr Where(const char* file, std::uint_least32_t line) noexcept
        : file_(file), line_(line) {}

    const char* file_;
    std::uint_least32_t line_;
};

Result SCardEstablishContext(std::uint32_t scope, ContextHandle* context,
                             Where where = Where::current()) noexcept;
Result SCardReleaseContext(ContextHandle context, Where where = Where::current()) noexcept;
Result SCardIsValidContext(ContextHandle context, Where where = Where::current()) noexcept;
// Readers as a multi-string: names each ending in a zero byte, one more at
// the end.
Result SCardListReadersA(ContextHandle context, const char* groups, char* readers,
                         std::uint32_t* length, Where where = Where::current()) noexcept;
Result SCardGetStatusChangeA(ContextHandle context, std::uint32_t timeoutMs, ReaderState* states,
                             std::uint32_t count, Where where = Where::current()) noexcept;
Result SCardCancel(ContextHandle context, Where where = Where::current()) noexcept;
Result SCardConnectA(ContextHandle context, const char* reader, std::uint32_t shareMode,
                     std::uint32_t preferredProtocols, CardHandle* card,
                     std::uint32_t* activeProtocol, Where where = Where::current()) noexcept;
Result SCardReconnect(CardHandle card, std::uint32_t shareMode, std::uint32_t preferredProtocols,
                      std::uint32_t initialization, std::uint32_t* activeProtocol,
                      Where where = Where::current()) noexcept;
Result SCardDisconnect(CardHandle card, std::uint32_t disposition,
                       Where where = Where::current()) noexcept;
Result SCardBeginTransaction(CardHandle card, Where where = Where::current()) noexcept;
Result SCardEndTransaction(CardHandle card, std::uint32_t disposition,
                           Where where = Where::current()) noexcept;
// state receives the ordinal, protocol the Windows number.
Result SCardStatusA(CardHandle card, char* readerNames, std::uint32_t* readerLength,
                    std::uint32_t* state, std::uint32_t* protocol, std::uint8_t* atr,
                    std::uint32_t* atrLength, Where where = Where::current()) noexcept;
Result SCardTransmit(CardHandle card, const IoRequest* sendPci, const std::uint8_t* send,
                     std::uint32_t sendLength, IoRequest* receivePci, std::uint8_t* receive,
                     std::uint32_t* receiveLength, Where where = Where::current()) noexcept;

// ---- Value mapping --------------------------------------------------------------

// pcsc-lite's card state mask (its event count above bit 16 ignored) and its
// active protocol as the ordinal state. pcsc-lite never sets its "specific"
// bit: a powered card with a negotiated protocol is specific.
std::uint32_t cardStateOrdinal(std::uint32_t pcscliteState,
                               std::uint32_t pcscliteProtocol) noexcept;
std::uint32_t windowsProtocols(std::uint32_t pcscliteProtocols) noexcept;
std::uint32_t pcscliteProtocols(std::uint32_t windowsProtocols) noexcept;

// ---- Owners ------------------------------------------------------------------------

// A resource manager context, released when its owner goes.
class Context {
public:
    Context() noexcept = default;
    ~Context() { release(); }
    Context(Context&& other) noexcept;
    Context& operator=(Context&& other) noexcept;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Establishes a context into out, releasing what out held first.
    static Result establish(std::uint32_t scope, Context& out,
                            Where where = Where::current()) noexcept;

    bool valid() const noexcept { return valid_; }
    ContextHandle get() const noexcept { return handle_; }
    // Releases now; later calls, and the destructor, do nothing.
    Result release(Where where = Where::current()) noexcept;

    // The reader names; kNoReadersAvailable (with none) when there are none.
    Result listReaders(std::vector<std::string>& readers,
                       Where where = Where::current()) const noexcept;

private:
    ContextHandle handle_ = 0;
    bool valid_ = false;
};

// What SCardStatusA tells of a connected card.
struct CardStatus {
    std::string reader;
    std::uint32_t state = kStateUnknown;
    std::uint32_t protocol = kProtocolUndefined;
    std::vector<std::uint8_t> atr;
};

// A connection to a card, disconnected (leaving the card as it is) when its
// owner goes.
class Card {
public:
    // What a transmit may receive at most: 256 data bytes and the status word.
    static constexpr std::size_t kMaxResponse = 258;

    Card() noexcept = default;
    ~Card() { disconnect(kDispositionLeave); }
    Card(Card&& other) noexcept;
    Card& operator=(Card&& other) noexcept;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Connects to the card in the reader into out, disconnecting what out
    // held first.
    static Result connect(const Context& context, const std::string& reader,
                          std::uint32_t shareMode, std::uint32_t preferredProtocols, Card& out,
                          Where where = Where::current()) noexcept;

    bool valid() const noexcept { return valid_; }
    CardHandle get() const noexcept { return handle_; }
    std::uint32_t protocol() const noexcept { return protocol_; }

    Result disconnect(std::uint32_t disposition, Where where = Where::current()) noexcept;
    Result reconnect(std::uint32_t shareMode, std::uint32_t preferredProtocols,
                     std::uint32_t initialization, Where where = Where::current()) noexcept;
    Result status(CardStatus& out, Where where = Where::current()) const noexcept;
    // Sends the command with the PCI of the active protocol; response
    // receives at most capacity bytes (status word included).
    Result transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& response,
                    std::size_t capacity = kMaxResponse,
                    Where where = Where::current()) const noexcept;

private:
    CardHandle handle_ = 0;
    std::uint32_t protocol_ = kProtocolUndefined;
    bool valid_ = false;
};

// A transaction on a card, ended (leaving the card as it is) when its owner
// goes. The card's connection must outlive it.
class Transaction {
public:
    Transaction() noexcept = default;
    ~Transaction() { end(kDispositionLeave); }
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&& other) noexcept;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Begins a transaction on the card into out, ending what out held first.
    static Result begin(const Card& card, Transaction& out,
                        Where where = Where::current()) noexcept;

    bool active() const noexcept { return active_; }
    Result end(std::uint32_t disposition, Where where = Where::current()) noexcept;

private:
    CardHandle card_ = 0;
    bool active_ = false;
};

} // namespace platform::pcsc
