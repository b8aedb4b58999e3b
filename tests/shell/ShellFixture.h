#pragma once

// What the shell's tests share: a sandbox, the desktop-session tool run as
// another process, the shell's journal, and a tray window whose procedure a
// test chooses and whose messages it records.

#include "platform/shell/Shell.h"
#include "platform/ui/JsonLine.h"
#include "platform/window/MessageWindow.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace shell_test {

using namespace std::chrono_literals;
using platform::ui::JsonValue;

inline constexpr const char* kTrayClass = "VondelCorvantixMonitor.exe";
inline constexpr std::uint32_t kTrayMessage = 0x0401;

// Runs the session tool with the test's environment.
inline testing_support::ProgramRun runTool(const std::vector<std::string>& args) {
    std::vector<std::string> words = {CORVANTIX_SESSION_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    return testing_support::runProgramCapture(words);
}

// Every entry of the journal, in order.
inline std::vector<JsonValue> journal() {
    std::vector<JsonValue> entries;
    std::ifstream in(platform::shell::journalPath());
    for (std::string line; std::getline(in, line);) {
        auto parsed = platform::ui::parseJson(line);
        EXPECT_TRUE(parsed.value.has_value()) << line;
        if (parsed.value) {
            entries.push_back(std::move(*parsed.value));
        }
    }
    return entries;
}

inline std::string text(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr && value->asString() != nullptr ? *value->asString() : std::string();
}

inline std::int64_t number(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr ? value->asNumber().value_or(-1) : -1;
}

inline bool flag(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr && value->asBool().value_or(false);
}

// The journal's entries of the operations whose names begin with prefix.
inline std::vector<JsonValue> journalOf(std::string_view prefix) {
    std::vector<JsonValue> chosen;
    for (auto& entry : journal()) {
        if (text(entry, "op").starts_with(prefix)) {
            chosen.push_back(std::move(entry));
        }
    }
    return chosen;
}

// A message as the tray window saw it.
struct Seen {
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
    std::string data;
};

// A message window on a loop thread of its own. Its procedure is the test's
// (called after the message is recorded); without one it answers 0.
class TrayWindow {
public:
    using Proc = std::function<std::uint32_t(const platform::WindowMessage&)>;

    explicit TrayWindow(Proc proc = {}, const char* className = kTrayClass)
        : proc_(std::move(proc)) {
        window_ = platform::MessageWindow::create(className, [this](const auto& m) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back({m.message, m.wParam, m.lParam, std::string(m.data)});
                changed_.notify_all();
            }
            return proc_ ? proc_(m) : 0u;
        });
    }
    ~TrayWindow() {
        if (window_) {
            window_->stop();
        }
    }
    bool start() { return window_ && window_->start(); }
    platform::MessageWindow& window() { return *window_; }

    // Waits until a message of the kind was seen count times; all seen.
    std::vector<Seen> waitFor(std::uint32_t message, std::size_t count = 1,
                              std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return countLocked(message) >= count; });
        return seen_;
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<Seen> seenOf(std::uint32_t message) {
        std::vector<Seen> chosen;
        for (const auto& s : seen()) {
            if (s.message == message) {
                chosen.push_back(s);
            }
        }
        return chosen;
    }

private:
    std::size_t countLocked(std::uint32_t message) const {
        std::size_t n = 0;
        for (const auto& s : seen_) {
            n += s.message == message ? 1 : 0;
        }
        return n;
    }

    Proc proc_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
    std::unique_ptr<platform::MessageWindow> window_;
};

// Waits until the condition holds, at most the limit.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 5s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace shell_test
