#pragma once

// Hidden key sequences. While the monitor's About box is open a poll of the
// keyboard records the keys pressed, and when the latest keys equal one of
// the registered sequences that sequence's callback runs, on the poll's
// thread. The monitor registers three sequences; each switches debug mode.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// The longest sequence, the keys remembered, and the poll's intervals.
inline constexpr std::uint32_t kCheatCodeMaxKeys = 63;
inline constexpr std::size_t kCheatCodeHistory = 16;
inline constexpr std::chrono::milliseconds kCheatCodeIdlePause{200};
inline constexpr std::chrono::milliseconds kCheatCodeKeyPause{50};

struct CheatCode {
    std::array<std::uint32_t, kCheatCodeMaxKeys + 1> keys{}; // in typing order, then a zero
    std::uint32_t length = 0;
    std::function<void()> callback;
};

// A record of the codes in order, until count codes or a zero code; its
// callback is toggleDebugMode. Null for a null array, and for more than
// kCheatCodeMaxKeys codes (both logged). With no code copied the length is
// 1 and the record never matches.
std::unique_ptr<CheatCode> initCheatCode(const std::uint32_t* codes, std::uint32_t count);

// The About box calls this each time it opens. The first call registers the
// three sequences and starts the poll thread, which runs for the rest of
// the process.
void registerCheatCodes();

// The sequences registered, in order; empty before registerCheatCodes().
std::vector<const CheatCode*> cheatCodeTable();

// The three sequences the monitor registers (13, 7 and 11 keys), built from
// the program's constants.
std::vector<std::vector<std::uint32_t>> cheatCodeSequences();

// The process's poll; never returns.
[[noreturn]] void cheatCodeThread();

// What the poll needs from the monitor: whether an About box is open, and
// how debug mode is switched. Until they are set no box counts as open and
// nothing is switched.
void setAboutBoxOpenTest(std::function<bool()> aboutBoxOpen);
void setDebugModeSwitch(std::function<void()> toggle);

// Switches debug mode (off when on, else on) through the switch set.
void toggleDebugMode();

// The poll itself, apart from the process's thread so that it can also run
// (and be stopped) on its own.
class CheatCodePoll {
public:
    struct Hooks {
        std::function<bool()> aboutBoxOpen;
        // High bit set while the key is down.
        std::function<std::int16_t(std::uint32_t)> keyState;
        // Sleeps; false when the poll is to end.
        std::function<bool(std::chrono::milliseconds)> pause;
    };

    CheatCodePoll(std::vector<const CheatCode*> table, Hooks hooks);

    // Polls until a pause answers false.
    void run();

private:
    // One round: a pause while no box is open, else one scan of the keys and
    // the pause after it. False when the poll is to end.
    bool round();
    // Whether the latest keys, oldest first, are the sequence.
    bool matches(const CheatCode& code) const;

    std::vector<const CheatCode*> table_;
    Hooks hooks_;
    std::deque<std::uint32_t> history_;
};
