#pragma once

// Named events shared between processes. An event is a small file, named as
// a mutex of the same name would be (with ".event" in place of ".lock"),
// that every opener maps into memory. It holds a sequence word bumped by
// every pulse and set, a pulse count and the signalled flag; waiters sleep
// on the sequence word with a futex, so a pulse wakes every waiter that is
// waiting at that moment and none can miss it between two looks.
//
// Unlike the original platform, a pulse releases all current waiters of an
// auto-reset event too, not just one: every process that follows an event
// by waiting on it sees each pulse. A set of an auto-reset event releases
// exactly one waiter (or the next one to wait).

#include "platform/mutex/NamedMutex.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace platform {

enum class WaitResult { Signalled, TimedOut, Failed };

class NamedEvent {
public:
    // Creates the event, or opens it when it exists (then manualReset and
    // initiallySet are ignored and existed() is true). nullptr on failure.
    static std::unique_ptr<NamedEvent> create(std::string_view name, bool manualReset = false,
                                              bool initiallySet = false);
    // Opens an existing event; nullptr when there is none of that name.
    static std::unique_ptr<NamedEvent> open(std::string_view name);

    // The file that stands for a name.
    static std::filesystem::path eventFilePath(std::string_view name);

    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    ~NamedEvent();

    bool existed() const { return existed_; }
    bool manualReset() const;

    // Signalled until reset (manual-reset) or until one waiter is released.
    void set();
    void reset();
    // Releases whoever waits now and leaves the event unsignalled.
    void pulse();

    // Waits at most timeoutMs (kInfinite: without limit).
    WaitResult wait(std::uint32_t timeoutMs = kInfinite);

    // The pulses given so far.
    std::uint32_t pulseCount() const;
    // As wait(), but counted from the pulses already seen: returns at once
    // when a pulse came since, also one that came while the caller was not
    // waiting. `seen` becomes the count at the return.
    WaitResult waitForPulse(std::uint32_t& seen, std::uint32_t timeoutMs = kInfinite);

private:
    struct Shared;
    WaitResult waitFrom(std::uint32_t pulsesSeen, std::uint32_t timeoutMs);

    NamedEvent(Shared* shared, bool existed) : shared_(shared), existed_(existed) {}

    Shared* shared_;
    bool existed_;
};

} // namespace platform
