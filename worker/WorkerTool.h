#pragma once

// Helpers of the worker's commands.

#include <functional>
#include <optional>
#include <string_view>

inline constexpr std::string_view kWorkerTag = "CorvantixWorker";

// The kill sequence for any program (its log lines tagged "CorvantixWorker");
// true when no process of the name is left. No name is logged and gives false.
bool killProcess(std::optional<std::string_view> name);

// While a component uninstaller ("Au_.exe" or "Un_A.exe") runs, sleeps a
// second at a time, at most `rounds` times; onFirstWait runs before the
// first sleep.
void waitForUninstallers(int rounds, const std::function<void()>& onFirstWait = {});

// Deletes the worker's own program file about two seconds from now, from a
// process of its own, so the worker may end meanwhile.
void selfDelete();
