#pragma once

// Processes found and ended by program name, as the original platform's
// process list serves the programs. Only this user's processes that run in
// this sandbox are ever seen: the same effective user, and the same
// CORVANTIX_ROOT in their environment as in this process (both unset counts
// as the same), so programs of other users or of other sandboxes are never
// found nor ended.
//
// A process is named by the base name of its program file (without the
// " (deleted)" mark of a replaced file) or, when that cannot be read, by the
// base name of its argv[0]. Names compare with a trailing ".exe" removed on
// both sides.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

struct ProcessEntry {
    pid_t pid = 0;
    std::string name;
};

// The live processes seen (zombies left out); nullopt when /proc cannot be read.
std::optional<std::vector<ProcessEntry>> listProcesses();

enum class NameCase { Exact, Ignore };

bool programNameMatches(std::string_view processName, std::string_view wanted, NameCase nameCase);

// Sends the signal to every process seen whose name matches; a process whose
// pid was reused in between is left alone. The number of processes signalled.
int signalProcessesByName(std::string_view name, NameCase nameCase, int signal);

// Shell commands the programs run, done natively instead of through a shell:
//   taskkill [/F] /IM <name> [/F]   ends the processes of the name in any
//                                   letter case (SIGKILL with /F, else
//                                   SIGTERM); 0 when one was found, 128 when
//                                   none, 1 for a command it cannot read
// The exit code, or nullopt when the command is none of these.
std::optional<int> runNativeCommand(const std::vector<std::string>& words);

} // namespace platform
