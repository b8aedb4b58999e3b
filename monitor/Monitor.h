#pragma once

// The monitor program: a single instance per user that keeps the service
// running through the keeper and owns a hidden tray window with the
// notification icon, its menu, the About box, debug mode and screenshots.

#include <cstdint>
#include <string_view>

inline constexpr std::string_view kMonitorClassName = "VondelCorvantixMonitor.exe";
// The tray icon's callback message, and the mouse messages it carries.
inline constexpr std::uint32_t kTrayMessage = 1025;
inline constexpr std::int64_t kTrayLeftDoubleClick = 515;
inline constexpr std::int64_t kTrayRightButtonDown = 516;

// Icon images: the program's, the service running, the service stopped.
inline constexpr std::uint32_t kIconProgram = 101;
inline constexpr std::uint32_t kIconRunning = 104;
inline constexpr std::uint32_t kIconStopped = 105;

// Menu command ids.
enum MonitorCommand : std::uint32_t {
    Command_Final = 40002,
    Command_Quit = 40003,
    Command_Stop = 61001,
    Command_Start = 61002,
    Command_Restart = 61003,
    Command_About = 61004,
    Command_DebugOn = 61005,
    Command_DebugOff = 61006,
    Command_TradChinese = 61007,
    Command_English = 61008,
    Command_SimpChinese = 61010,
    Command_SystemHint = 61011,
    Command_Screenshots = 61012,
    Command_Japanese = 61013,
    Command_DebugOnAlso = 61014,
    Command_DebugOffItem = 61015,
    Command_CheckUpdate = 61017,
    Command_AutoCheckUpdate = 61018,
};

// The whole program: start-up, the tray window's loop, the exit path.
int monitorMain();
