#include "platform/pcsc/Pcsc.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace platform::pcsc {

namespace {

std::mutex hookMutex;
std::shared_ptr<const LogHook> currentHook;

std::string_view baseName(const char* path) {
    const std::string_view text(path);
    const auto slash = text.rfind('/');
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

void report(const char* call, const Where& where, Result result) noexcept {
    std::shared_ptr<const LogHook> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = currentHook;
    }
    if (!hook || !*hook) {
        return;
    }
    try {
        const std::string_view file = baseName(where.file_name());
        char tail[64];
        std::snprintf(tail, sizeof tail, " %u %s 0x%X", static_cast<unsigned>(where.line()), call,
                      static_cast<unsigned>(result));
        std::string line(file);
        line += tail;
        (*hook)(line);
    } catch (...) {
        // A hook that fails loses its line, never the call's result.
    }
}

struct PlannedFailure {
    std::string call;
    Result result;
};

std::mutex failureMutex;
std::vector<PlannedFailure> plannedFailures;
// Spares every call the lock while no test plans a failure.
std::atomic<bool> failuresPlanned{false};

bool takePlannedFailure(const char* call, Result& result) noexcept {
    if (!failuresPlanned.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard lock(failureMutex);
    const auto found = std::find_if(plannedFailures.begin(), plannedFailures.end(),
                                    [&](const PlannedFailure& f) { return f.call == call; });
    if (found == plannedFailures.end()) {
        return false;
    }
    result = found->result;
    plannedFailures.erase(found);
    failuresPlanned.store(!plannedFailures.empty(), std::memory_order_release);
    return true;
}

// The one way into pcsc-lite: runs the call, reports it and gives its result
// as the 32-bit code Windows callers read.
template <class Call>
Result choke(const char* call, const Where& where, Call&& body) noexcept {
    Result result = kSuccess;
    if (!takePlannedFailure(call, result)) {
        const LONG rv = body();
        result = static_cast<Result>(static_cast<std::uint32_t>(rv));
    }
    report(call, where, result);
    return result;
}

// A length coming in from a caller: kInfinite would ask pcsc-lite to
// allocate, which these calls do not offer.
bool lengthIn(const std::uint32_t* length, DWORD& out) {
    if (length == nullptr) {
        return true;
    }
    if (*length == kInfinite) {
        return false;
    }
    out = *length;
    return true;
}

void lengthOut(std::uint32_t* length, DWORD value) {
    if (length != nullptr) {
        *length = static_cast<std::uint32_t>(value);
    }
}

} // namespace

namespace seam {

void failNextCall(std::string_view call, Result result) {
    std::lock_guard lock(failureMutex);
    plannedFailures.push_back({std::string(call), result});
    failuresPlanned.store(true, std::memory_order_release);
}

void clearFailures() {
    std::lock_guard lock(failureMutex);
    plannedFailures.clear();
    failuresPlanned.store(false, std::memory_order_release);
}

} // namespace seam

void setPcscLogHook(LogHook hook) noexcept {
    std::shared_ptr<const LogHook> shared;
    try {
        if (hook) {
            shared = std::make_shared<const LogHook>(std::move(hook));
        }
    } catch (...) {
        return; // no memory for the hook: the one before stays
    }
    std::lock_guard lock(hookMutex);
    currentHook = std::move(shared);
}

const IoRequest* pciForProtocol(std::uint32_t protocol) noexcept {
    switch (protocol) {
    case kProtocolT0:
        return &kPciT0;
    case kProtocolT1:
        return &kPciT1;
    case kProtocolRaw:
        return &kPciRaw;
    default:
        return nullptr;
    }
}

std::uint32_t cardStateOrdinal(std::uint32_t pcscliteState,
                               std::uint32_t pcscliteProtocol) noexcept {
    const std::uint32_t mask = pcscliteState & 0xFFFF;
    const bool negotiated =
        (pcscliteProtocol & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW)) != 0;
    if ((mask & SCARD_SPECIFIC) != 0 || ((mask & SCARD_POWERED) != 0 && negotiated)) {
        return kStateSpecific;
    }
    if ((mask & SCARD_NEGOTIABLE) != 0) {
        return kStateNegotiable;
    }
    if ((mask & SCARD_POWERED) != 0) {
        return kStatePowered;
    }
    if ((mask & SCARD_SWALLOWED) != 0) {
        return kStateSwallowed;
    }
    if ((mask & SCARD_PRESENT) != 0) {
        return kStatePresent;
    }
    if ((mask & SCARD_ABSENT) != 0) {
        return kStateAbsent;
    }
    return kStateUnknown;
}

std::uint32_t windowsProtocols(std::uint32_t pcscliteProtocols) noexcept {
    std::uint32_t out = pcscliteProtocols & ~static_cast<std::uint32_t>(SCARD_PROTOCOL_RAW);
    if ((pcscliteProtocols & SCARD_PROTOCOL_RAW) != 0) {
        out |= kProtocolRaw;
    }
    return out;
}

std::uint32_t pcscliteProtocols(std::uint32_t windowsProtocols) noexcept {
    std::uint32_t out = windowsProtocols & ~kProtocolRaw;
    if ((windowsProtocols & kProtocolRaw) != 0) {
        out |= SCARD_PROTOCOL_RAW;
    }
    return out;
}

// ---- The calls -------------------------------------------------------------------

Result SCardEstablishContext(std::uint32_t scope, ContextHandle* context, Where where) noexcept {
    SCARDCONTEXT handle = 0;
    const Result result = choke("SCardEstablishContext", where, [&] {
        return ::SCardEstablishContext(scope, nullptr, nullptr, &handle);
    });
    if (context != nullptr) {
        *context = result == kSuccess ? static_cast<ContextHandle>(handle) : 0;
    }
    return result;
}

Result SCardReleaseContext(ContextHandle context, Where where) noexcept {
    return choke("SCardReleaseContext", where,
                 [&] { return ::SCardReleaseContext(static_cast<SCARDCONTEXT>(context)); });
}

Result SCardIsValidContext(ContextHandle context, Where where) noexcept {
    return choke("SCardIsValidContext", where,
                 [&] { return ::SCardIsValidContext(static_cast<SCARDCONTEXT>(context)); });
}

Result SCardListReadersA(ContextHandle context, const char* groups, char* readers,
                         std::uint32_t* length, Where where) noexcept {
    DWORD size = 0;
    if (!lengthIn(length, size)) {
        return kInvalidParameter;
    }
    const Result result = choke("SCardListReaders", where, [&] {
        return ::SCardListReaders(static_cast<SCARDCONTEXT>(context), groups, readers,
                                  length != nullptr ? &size : nullptr);
    });
    lengthOut(length, size);
    return result;
}

Result SCardGetStatusChangeA(ContextHandle context, std::uint32_t timeoutMs, ReaderState* states,
                             std::uint32_t count, Where where) noexcept {
    std::vector<SCARD_READERSTATE> native;
    try {
        native.resize(count);
    } catch (...) {
        return kNoMemory;
    }
    for (std::uint32_t i = 0; i < count && states != nullptr; ++i) {
        native[i].szReader = states[i].reader.c_str();
        native[i].dwCurrentState = states[i].currentState;
        native[i].dwEventState = states[i].eventState;
    }
    const Result result = choke("SCardGetStatusChange", where, [&] {
        return ::SCardGetStatusChange(static_cast<SCARDCONTEXT>(context), timeoutMs,
                                      states != nullptr ? native.data() : nullptr, count);
    });
    for (std::uint32_t i = 0; i < count && states != nullptr; ++i) {
        states[i].eventState = static_cast<std::uint32_t>(native[i].dwEventState);
        const std::size_t atr =
            std::min<std::size_t>({native[i].cbAtr, sizeof native[i].rgbAtr, kMaxAtrSize});
        states[i].atrLength = static_cast<std::uint32_t>(atr);
        std::fill(states[i].atr.begin(), states[i].atr.end(), 0);
        std::memcpy(states[i].atr.data(), native[i].rgbAtr, atr);
    }
    return result;
}

Result SCardCancel(ContextHandle context, Where where) noexcept {
    return choke("SCardCancel", where,
                 [&] { return ::SCardCancel(static_cast<SCARDCONTEXT>(context)); });
}

Result SCardConnectA(ContextHandle context, const char* reader, std::uint32_t shareMode,
                     std::uint32_t preferredProtocols, CardHandle* card,
                     std::uint32_t* activeProtocol, Where where) noexcept {
    SCARDHANDLE handle = 0;
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    const Result result = choke("SCardConnect", where, [&] {
        return ::SCardConnect(static_cast<SCARDCONTEXT>(context), reader, shareMode,
                              pcscliteProtocols(preferredProtocols), &handle, &active);
    });
    if (card != nullptr) {
        *card = result == kSuccess ? static_cast<CardHandle>(handle) : 0;
    }
    if (activeProtocol != nullptr) {
        *activeProtocol = result == kSuccess ? windowsProtocols(static_cast<std::uint32_t>(active))
                                             : kProtocolUndefined;
    }
    return result;
}

Result SCardReconnect(CardHandle card, std::uint32_t shareMode, std::uint32_t preferredProtocols,
                      std::uint32_t initialization, std::uint32_t* activeProtocol,
                      Where where) noexcept {
    DWORD active = SCARD_PROTOCOL_UNDEFINED;
    const Result result = choke("SCardReconnect", where, [&] {
        return ::SCardReconnect(static_cast<SCARDHANDLE>(card), shareMode,
                                pcscliteProtocols(preferredProtocols), initialization, &active);
    });
    if (activeProtocol != nullptr) {
        *activeProtocol = result == kSuccess ? windowsProtocols(static_cast<std::uint32_t>(active))
                                             : kProtocolUndefined;
    }
    return result;
}

Result SCardDisconnect(CardHandle card, std::uint32_t disposition, Where where) noexcept {
    return choke("SCardDisconnect", where,
                 [&] { return ::SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition); });
}

Result SCardBeginTransaction(CardHandle card, Where where) noexcept {
    return choke("SCardBeginTransaction", where,
                 [&] { return ::SCardBeginTransaction(static_cast<SCARDHANDLE>(card)); });
}

Result SCardEndTransaction(CardHandle card, std::uint32_t disposition, Where where) noexcept {
    return choke("SCardEndTransaction", where, [&] {
        return ::SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition);
    });
}

Result SCardStatusA(CardHandle card, char* readerNames, std::uint32_t* readerLength,
                    std::uint32_t* state, std::uint32_t* protocol, std::uint8_t* atr,
                    std::uint32_t* atrLength, Where where) noexcept {
    DWORD nameSize = 0;
    DWORD atrSize = 0;
    if (!lengthIn(readerLength, nameSize) || !lengthIn(atrLength, atrSize)) {
        return kInvalidParameter;
    }
    DWORD nativeState = 0;
    DWORD nativeProtocol = 0;
    const Result result = choke("SCardStatus", where, [&] {
        return ::SCardStatus(static_cast<SCARDHANDLE>(card), readerNames,
                             readerLength != nullptr ? &nameSize : nullptr, &nativeState,
                             &nativeProtocol, atr, atrLength != nullptr ? &atrSize : nullptr);
    });
    Result out = result;
    // pcsc-lite gives the name with one zero byte; Windows callers read a
    // multi-string, which ends with a second one.
    if (result == kSuccess && readerLength != nullptr) {
        if (readerNames != nullptr && nameSize + 1 > *readerLength) {
            out = kInsufficientBuffer;
        } else if (readerNames != nullptr) {
            readerNames[nameSize] = '\0';
        }
        ++nameSize;
    }
    lengthOut(readerLength, nameSize);
    lengthOut(atrLength, atrSize);
    if (state != nullptr) {
        *state = out == kSuccess ? cardStateOrdinal(static_cast<std::uint32_t>(nativeState),
                                                    static_cast<std::uint32_t>(nativeProtocol))
                                 : kStateUnknown;
    }
    if (protocol != nullptr) {
        *protocol = out == kSuccess ? windowsProtocols(static_cast<std::uint32_t>(nativeProtocol))
                                    : kProtocolUndefined;
    }
    return out;
}

Result SCardTransmit(CardHandle card, const IoRequest* sendPci, const std::uint8_t* send,
                     std::uint32_t sendLength, IoRequest* receivePci, std::uint8_t* receive,
                     std::uint32_t* receiveLength, Where where) noexcept {
    SCARD_IO_REQUEST nativeSend{};
    if (sendPci != nullptr) {
        nativeSend.dwProtocol = pcscliteProtocols(sendPci->protocol);
        nativeSend.cbPciLength = sizeof nativeSend;
    }
    SCARD_IO_REQUEST nativeReceive{};
    DWORD size = 0;
    if (!lengthIn(receiveLength, size)) {
        return kInvalidParameter;
    }
    const Result result = choke("SCardTransmit", where, [&] {
        return ::SCardTransmit(static_cast<SCARDHANDLE>(card),
                               sendPci != nullptr ? &nativeSend : nullptr, send, sendLength,
                               receivePci != nullptr ? &nativeReceive : nullptr, receive,
                               receiveLength != nullptr ? &size : nullptr);
    });
    lengthOut(receiveLength, size);
    if (receivePci != nullptr && result == kSuccess) {
        receivePci->protocol =
            windowsProtocols(static_cast<std::uint32_t>(nativeReceive.dwProtocol));
        receivePci->length = sizeof(IoRequest);
    }
    return result;
}

// ---- Owners -------------------------------------------------------------------------

Context::Context(Context&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), valid_(std::exchange(other.valid_, false)) {}

Context& Context::operator=(Context&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, 0);
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

Result Context::establish(std::uint32_t scope, Context& out, Where where) noexcept {
    out.release(where);
    ContextHandle handle = 0;
    const Result result = SCardEstablishContext(scope, &handle, where);
    if (result == kSuccess) {
        out.handle_ = handle;
        out.valid_ = true;
    }
    return result;
}

Result Context::release(Where where) noexcept {
    if (!valid_) {
        return kSuccess;
    }
    valid_ = false;
    return SCardReleaseContext(std::exchange(handle_, 0), where);
}

Result Context::listReaders(std::vector<std::string>& readers, Where where) const noexcept {
    readers.clear();
    // The list can grow between asking its length and reading it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint32_t length = 0;
        Result result = SCardListReadersA(handle_, nullptr, nullptr, &length, where);
        if (result != kSuccess) {
            return result;
        }
        std::string buffer;
        try {
            buffer.resize(length);
        } catch (...) {
            return kNoMemory;
        }
        result = SCardListReadersA(handle_, nullptr, buffer.data(), &length, where);
        if (result == kInsufficientBuffer) {
            continue;
        }
        if (result != kSuccess) {
            return result;
        }
        try {
            buffer.resize(std::min<std::size_t>(length, buffer.size()));
            std::size_t start = 0;
            while (start < buffer.size() && buffer[start] != '\0') {
                const std::size_t end = buffer.find('\0', start);
                const std::size_t stop = end == std::string::npos ? buffer.size() : end;
                readers.emplace_back(buffer, start, stop - start);
                start = stop + 1;
            }
        } catch (...) {
            readers.clear();
            return kNoMemory;
        }
        return kSuccess;
    }
    return kInsufficientBuffer;
}

Card::Card(Card&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)),
      protocol_(std::exchange(other.protocol_, kProtocolUndefined)),
      valid_(std::exchange(other.valid_, false)) {}

Card& Card::operator=(Card&& other) noexcept {
    if (this != &other) {
        disconnect(kDispositionLeave);
        handle_ = std::exchange(other.handle_, 0);
        protocol_ = std::exchange(other.protocol_, kProtocolUndefined);
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

Result Card::connect(const Context& context, const std::string& reader, std::uint32_t shareMode,
                     std::uint32_t preferredProtocols, Card& out, Where where) noexcept {
    out.disconnect(kDispositionLeave, where);
    CardHandle handle = 0;
    std::uint32_t active = kProtocolUndefined;
    const Result result = SCardConnectA(context.get(), reader.c_str(), shareMode,
                                        preferredProtocols, &handle, &active, where);
    if (result == kSuccess) {
        out.handle_ = handle;
        out.protocol_ = active;
        out.valid_ = true;
    }
    return result;
}

Result Card::disconnect(std::uint32_t disposition, Where where) noexcept {
    if (!valid_) {
        return kSuccess;
    }
    valid_ = false;
    protocol_ = kProtocolUndefined;
    return SCardDisconnect(std::exchange(handle_, 0), disposition, where);
}

Result Card::reconnect(std::uint32_t shareMode, std::uint32_t preferredProtocols,
                       std::uint32_t initialization, Where where) noexcept {
    std::uint32_t active = kProtocolUndefined;
    const Result result =
        SCardReconnect(handle_, shareMode, preferredProtocols, initialization, &active, where);
    if (result == kSuccess) {
        protocol_ = active;
    }
    return result;
}

Result Card::status(CardStatus& out, Where where) const noexcept {
    char name[256] = {};
    std::uint32_t nameLength = sizeof name;
    std::uint8_t atr[kMaxAtrSize] = {};
    std::uint32_t atrLength = sizeof atr;
    std::uint32_t state = kStateUnknown;
    std::uint32_t protocol = kProtocolUndefined;
    const Result result =
        SCardStatusA(handle_, name, &nameLength, &state, &protocol, atr, &atrLength, where);
    if (result != kSuccess) {
        return result;
    }
    try {
        out.reader.assign(name, strnlen(name, std::min<std::size_t>(nameLength, sizeof name)));
        out.state = state;
        out.protocol = protocol;
        out.atr.assign(atr, atr + std::min<std::size_t>(atrLength, sizeof atr));
    } catch (...) {
        return kNoMemory;
    }
    return kSuccess;
}

Result Card::transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& response,
                      std::size_t capacity, Where where) const noexcept {
    try {
        response.resize(capacity);
    } catch (...) {
        return kNoMemory;
    }
    auto length = static_cast<std::uint32_t>(capacity);
    const Result result = SCardTransmit(handle_, pciForProtocol(protocol_), command.data(),
                                        static_cast<std::uint32_t>(command.size()), nullptr,
                                        response.data(), &length, where);
    response.resize(result == kSuccess ? std::min<std::size_t>(length, capacity) : 0);
    return result;
}

Transaction::Transaction(Transaction&& other) noexcept
    : card_(std::exchange(other.card_, 0)), active_(std::exchange(other.active_, false)) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
    if (this != &other) {
        end(kDispositionLeave);
        card_ = std::exchange(other.card_, 0);
        active_ = std::exchange(other.active_, false);
    }
    return *this;
}

Result Transaction::begin(const Card& card, Transaction& out, Where where) noexcept {
    out.end(kDispositionLeave, where);
    const Result result = SCardBeginTransaction(card.get(), where);
    if (result == kSuccess) {
        out.card_ = card.get();
        out.active_ = true;
    }
    return result;
}

Result Transaction::end(std::uint32_t disposition, Where where) noexcept {
    if (!active_) {
        return kSuccess;
    }
    active_ = false;
    return SCardEndTransaction(std::exchange(card_, 0), disposition, where);
}

} // namespace platform::pcsc
