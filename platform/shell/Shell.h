#pragma once

// What the shell stand-in shares between its parts and its readers.

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace platform::shell {

// The journal: every operation of the shell, one JSON object per line,
// {"op": ..., "pid": <the calling process>, ...}, appended by whichever
// process made the call.
std::filesystem::path journalPath();

// The message a restarted shell posts to every window registered for it.
inline constexpr std::string_view kTaskbarCreated = "TaskbarCreated";
std::uint32_t taskbarCreatedMessage();

// False after the driver marked the shell down, until it is restarted.
bool shellRunning();

} // namespace platform::shell
