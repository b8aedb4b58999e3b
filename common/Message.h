#pragma once

// Signed instructions between the service, the monitor and the worker. A
// message travels two ways at once: as JSON in a copy-data message to the
// window named by the receiver's channel, and as a per-user named mutex
// "<channel><instruction>" that the sender holds for a moment. A receiver
// acts only on a message whose hash over the fields and a shared salt
// matches and whose time value is at most two seconds old.
//
// Receivers take the functions they call from one process-wide set of
// registrations, so a program may register before or after it starts them.

#include "platform/window/MessageWindow.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view kInstructionSuicide = "CorvantixInstruction_Suicide";
inline constexpr std::string_view kInstructionMonitorStart = "CorvantixInstruction_MonitorStart";
inline constexpr std::string_view kInstructionStart = "CorvantixInstruction_Start";
inline constexpr std::string_view kInstructionStop = "CorvantixInstruction_Stop";
inline constexpr std::string_view kInstructionRestart = "CorvantixInstruction_Restart";

inline constexpr std::string_view kChannelService = "VondelCorvantix.exe";
inline constexpr std::string_view kChannelMonitor = "VondelMonitor";
inline constexpr std::string_view kChannelMonitorTray = "VondelCorvantixMonitor.exe";
inline constexpr std::string_view kChannelWatchdog = "VondelCorvantixWatchdog";

inline constexpr std::int64_t kMessageMaxAgeSeconds = 2;

// Every field may be absent (its key missing from the JSON text). The time
// value's text is kept in four pieces of 3, 4, 4 and 5 characters.
struct CorvantixMessage {
    std::optional<std::string> from;
    std::optional<std::string> to;
    std::optional<std::string> instruction;
    std::optional<std::string> message;
    std::optional<std::string> t0;
    std::optional<std::string> t1;
    std::optional<std::string> t2;
    std::optional<std::string> t3;
    std::optional<std::string> hashValue;
};

// ---- Time values ---------------------------------------------------------

// (tm_year - 115) * S + ((tm_mday * 24 + tm_hour) * 60 + tm_min) * 60 + tm_sec
// of the local time, S being a leap or a common year in seconds. The month
// does not enter, so the value falls at every month's end.
std::int64_t computeTimeValue();
std::int64_t computeTimeValue(const std::tm& local);

// "%llx" of the value: 7 digits up to 2023, 8 from 2024.
std::string timeValueText(std::int64_t value);
// T0-T3 joined again; absent pieces count as empty.
std::string joinTimeValue(const CorvantixMessage& message);
// The time value the pieces stand for, read right-aligned in 16 places.
std::int64_t messageTimeValue(const CorvantixMessage& message);

// ---- Hash, parse, verify -------------------------------------------------

// SHA-512 of From, To, T0-T3, the salt, Instruction and Message as 128
// upper-case hexadecimal characters (absent fields count as empty); nullopt
// when memory fails.
std::optional<std::string> hashCorvantixMessage(const CorvantixMessage& message);

// Each field by its key, matched without regard to case; no text gives a
// message without fields.
CorvantixMessage parseCorvantixMessage(std::optional<std::string_view> json);

// Fresh (0 to 2 seconds before now) and signed by the exact hash. Logs the
// time values and "Replay attack" when stale, else the verify state.
bool verifyCorvantixMessage(const CorvantixMessage& message, std::int64_t now);
bool verifyCorvantixMessage(const CorvantixMessage& message);

// ---- Building and sending ------------------------------------------------

// A message with an empty Message field, stamped with the time value and hashed.
CorvantixMessage createCorvantixMessage(std::string_view from, std::string_view to,
                                        std::string_view instruction, std::int64_t timeValue);
CorvantixMessage createCorvantixMessage(std::string_view from, std::string_view to,
                                        std::string_view instruction);

// The one-line JSON form; nullopt when From, To, Message or HashValue is absent.
std::optional<std::string> corvantixMessageToJson(const CorvantixMessage& message);

struct CorvantixSendResult {
    bool windowReached = false; // the receiver's window procedure ran
    bool lockHeld = false;      // the instruction's mutex was held for 100 ms
};

// Sends the instruction both ways: the copy-data message to the window of
// class `to` (waiting until it is handled), then the mutex "<to><instruction>"
// held for 100 ms. Nothing is confirmed by the receiver beyond this.
CorvantixSendResult sendCorvantixMessage(std::string_view from, std::string_view to,
                                         std::string_view instruction,
                                         std::uint32_t windowTimeoutMs = 10000);

// ---- Receivers -----------------------------------------------------------

using IpcFunction = std::function<void()>;

// Empty functions or a null flag clear the registration. Registered
// functions may be called from either receiver's thread.
void registerFinalFunction(IpcFunction function);
void registerStartFunction(IpcFunction function);
void registerStopFunction(IpcFunction function);
void registerRestartFunction(IpcFunction function);
// Set on a lock or disconnect, cleared on an unlock or connect; while one is
// published those events never end the program.
void registerUserSwitchFlag(std::atomic<bool>* flag);

// Set by a quit instruction (or stopIpc); it ends the lock-mode receivers.
bool ipcStopFlag();

// Starts the window receiver and the lock-mode receiver on the channel, each
// on a thread of its own. false when receivers of this process run already.
bool startIpc(std::string_view channel = kChannelService);
// The lock-mode receiver alone, beside any that run.
bool startCrossPlatformReceiver(std::string_view channel);
// Ends every receiver of the process and waits for their threads. Not to be
// called from a registered function.
void stopIpc();

// Test seam: start-up steps of the receivers fail as the system can make
// them fail (a thread that cannot be made, a registration that cannot be
// written), which permissions cannot arrange for a test running as root.
struct ReceiverStartFaults {
    bool lockModeThread = false;
    bool sessionNotification = false;
};
void setReceiverStartFaults(ReceiverStartFaults faults);

// The receiver window's procedure.
std::uint32_t IPCMsgWndProc(const platform::WindowMessage& message);
