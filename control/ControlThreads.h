#pragma once

// The threads the control starts of its own (dialog followers, watchers,
// prompts) are counted while they run: the library may be unloaded only when
// none is left, as its code would vanish under them.

namespace tavelo {

// Counts one thread from its making to its destruction; a thread's entry
// holds one (moved into its callable) for as long as it runs.
class ControlThreadCount {
public:
    ControlThreadCount() noexcept;
    ~ControlThreadCount();
    ControlThreadCount(ControlThreadCount&& other) noexcept;
    ControlThreadCount& operator=(ControlThreadCount&&) = delete;
    ControlThreadCount(const ControlThreadCount&) = delete;
    ControlThreadCount& operator=(const ControlThreadCount&) = delete;

private:
    bool counted_ = true;
};

// Whether a counted thread still runs.
bool controlThreadsAlive() noexcept;

} // namespace tavelo
