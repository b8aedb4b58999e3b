#pragma once

// The worker program: started with one option on its command line, it does
// one task and ends. The option is the argument text (the command line
// without the program name): eight options match the whole text in any
// letter case, three ("-uninstalldetect", "-delete", "-KeyToByte") need only
// begin it, written exactly, and take further arguments.

#include <string>
#include <string_view>

inline constexpr std::string_view kMonitorProgram = "VondelCorvantixMonitor.exe";
inline constexpr std::string_view kWorkerServiceProgram = "VondelCorvantix.exe";
inline constexpr std::string_view kWorkerMutexName = "CorvantixWorker";
inline constexpr std::string_view kWatchdogCommand = "VondelCorvantixWorker.exe -watchdog";
inline constexpr std::string_view kResetCommand = "VondelCorvantixWorker.exe -reset";

// Exit codes besides the result codes (61005 for a wrong argument count; a
// caller on Linux sees its low eight bits, 77).
enum WorkerExitCode : int {
    kWorkerSuccess = 0,
    // The task could not be done: the worker mutex not had in time, a root
    // certificate not imported, a key file not read, a file not deleted.
    kWorkerFailed = 1,
};

// Start-up, the option's task, the end; the exit code.
int workerMain(std::string_view argumentText);
int workerMain(int argc, char** argv);

// The program's arguments as one text, joined by blanks; an argument that
// holds a blank (or is empty) is put in double quotes, as a command line
// would carry it.
std::string argumentText(int argc, char** argv);
