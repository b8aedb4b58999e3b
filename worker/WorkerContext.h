#pragma once

// What the worker's tasks share for the one run of the program.

#include <atomic>
#include <filesystem>
#include <string>

struct WorkerContext {
    std::filesystem::path programFolder;
    // "CorvantixWorker-<id>": the log identity and the sender name of
    // uninstall detection's message.
    std::string identity;
    // Set by a task that removes the product; the worker then deletes its
    // own program file at its end.
    bool selfDelete = false;
    // Whether logging is on; the watchdog's debug-state thread switches it.
    std::atomic<bool> logging{false};
};
