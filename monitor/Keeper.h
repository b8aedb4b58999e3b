#pragma once

// The keeper keeps the service running for the signed-in user: a thread that
// ends any service left over, then starts the service hidden, waits for it
// to end and starts it again, at most eight times in a row while the state
// is Keeper_Start and without limit after a restart. The start, stop,
// restart and final functions steer it through a state shared by every
// thread of the monitor; each item is one atomic word, and the keeper reads
// them by polling (100, 500 and 1000 ms sleeps), so no lock guards them.
//
// The keeper's calls into the tray go through hooks that the tray fills; a
// hook not set only writes a log line.

#include <cstdint>
#include <string>
#include <string_view>

enum KeeperState : std::int32_t {
    Keeper_Start = 1,   // keep the service running, at most eight runs in a row
    Keeper_Stop = 2,    // start nothing
    Keeper_Restart = 3, // keep the service running, without limit
};

inline constexpr std::string_view kServiceProgram = "VondelCorvantix.exe";
inline constexpr std::string_view kMonitorTag = "VondelCorvantixMonitor.exe";
inline constexpr int kKeeperAttempts = 8;

// ---- Shared state ----------------------------------------------------------

std::int32_t keeperState();
void setKeeperState(std::int32_t state);
// False while a restart is ending the service; the keeper then starts nothing.
bool keeperReady();
// Set by a restart; the running notice reads and clears it (it then tells of
// a restart), and while it is set the stopped notice shows no balloon.
bool restartNoticePending();
bool takeRestartNotice();
// True while the session is locked or disconnected. The keeper publishes it
// to the message receivers; it lives as long as the process.
bool keeperUserSwitched();

// "VondelCorvantix.exe <attempt>".
std::string serviceCommandLine(int attempt);

// ---- Hooks into the tray -----------------------------------------------------

using KeeperHook = void (*)();

struct KeeperHooks {
    KeeperHook notifyServiceRunning = nullptr; // icon 104, running balloon
    KeeperHook notifyServiceStopped = nullptr; // icon 105, stopped balloon
    KeeperHook refreshTrayIcons = nullptr;     // drops icons of ended programs
    KeeperHook removeTrayIcon = nullptr;       // the icon's image and the icon itself
    KeeperHook postQuit = nullptr;             // ends the calling thread's message loop
};
// Every hook at once; a null one falls back to its log line.
void setKeeperHooks(const KeeperHooks& hooks);

// ---- Operations --------------------------------------------------------------

// The keeper loop; 0 when it gives up after eight runs in a row.
int keeperThread();
// Runs keeperThread on a thread of its own that is never joined.
bool startKeeperThread();

void startMainProgram();
// True when no service is left running.
bool stopMainProgram();
void restartMainProgram();
// The monitor's end: stop the service, send the quit instruction to the
// watchdog, remove the tray icon, end the calling thread's message loop.
void MonitorFinal();
// The kill sequence for the service; true when no service is left.
bool killMainProgram();

// MonitorFinal, startMainProgram, stopMainProgram and restartMainProgram as
// the final, start, stop and restart functions of the message receivers.
void registerKeeperFunctions();
