#pragma once

// Helpers of the worker's commands.

#include <optional>
#include <string_view>

inline constexpr std::string_view kWorkerTag = "CorvantixWorker";

// The kill sequence for any program (its log lines tagged "CorvantixWorker");
// true when no process of the name is left. No name is logged and gives false.
bool killProcess(std::optional<std::string_view> name);
