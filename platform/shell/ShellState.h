#pragma once

// The shell's shared state, for the shell's own files only: a folder of the
// user's run folder with one lock for every change, the journal every
// operation is appended to, and small JSON files written whole.

#include "platform/ui/JsonLine.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <sys/types.h>

namespace platform::shell::detail {

using platform::ui::JsonValue;

// <run>/shell, made (0700) when missing.
std::filesystem::path shellFolder();

// Held while the state is read and changed; every process of the user takes
// the same lock.
class StateLock {
public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd_;
};

// Appends one line {"op": op, "pid": <this process>, ...fields}.
void journal(std::string_view op, const JsonValue& fields = JsonValue());

// A JSON file of the shell folder, or nullopt when it is missing or broken.
std::optional<JsonValue> readState(std::string_view name);
// Writes it whole (a new file renamed into place); false when it cannot.
bool writeState(std::string_view name, const JsonValue& value);
void removeState(std::string_view name);

// A process as the shell remembers it: its id and its start time, so that
// a later process with the same id is not taken for it.
struct ProcessId {
    pid_t pid = 0;
    std::uint64_t started = 0;
};
ProcessId thisProcess();
bool processLives(const ProcessId& process);
JsonValue processJson(const ProcessId& process);
ProcessId processFromJson(const JsonValue* value);

// Small readers of JSON members.
std::uint32_t member32(const JsonValue& object, std::string_view key);
std::int64_t memberNumber(const JsonValue& object, std::string_view key);
std::string memberText(const JsonValue& object, std::string_view key);

} // namespace platform::shell::detail
