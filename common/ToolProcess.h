#pragma once

// Programs found and ended by name, and the kill sequence that the monitor
// and the worker run on a program: first the quit instruction, then the
// forced end of the exact name, then the task-kill command for the name in
// any letter case. Only this user's processes in this sandbox are seen
// (platform/process/ProcessList.h).

#include <functional>
#include <optional>
#include <string_view>

// Whether a process of that program name runs, in any letter case.
bool isProcessRunning(std::optional<std::string_view> name);

// Ends every process of exactly that name (SIGKILL, the signal numbered as
// the exit code 9 the original gives). Always true.
bool terminateProcessByName(std::optional<std::string_view> name);

// Sends the quit instruction to the program's channel.
using QuitSender = std::function<void(std::string_view channel)>;

// The kill sequence for the program name, its log lines tagged with the
// caller's name; true when no process of the name is left.
bool killProgramByName(std::string_view name, std::string_view tag, const QuitSender& sendQuit);
