#pragma once

// The monitor's side of the signed messages: it sends only the quit
// instruction (to the service, or to the watchdog when it ends), and it
// receives by lock mode alone on the tray window's channel.

#include "common/Message.h"

#include <optional>
#include <string_view>

inline constexpr std::string_view kMonitorSenderName = "VondelCorvantixMonitor.exe";

// The quit instruction from the monitor to the receiver; nullopt without one.
std::optional<CorvantixMessage> createSuicideIPCMsg(std::optional<std::string_view> to);

// Sends the quit instruction both ways (window message, then the mutex held
// for 100 ms). True, unless the receiver is missing for sendIPCMsg.
bool sendIPCMsgWin(std::optional<std::string_view> to);
bool sendIPCMsg(std::optional<std::string_view> to);

// The lock-mode receiver alone on "VondelCorvantixMonitor.exe", running as
// long as the process; false when it cannot start.
bool startMonitorLockReceiver();
