#pragma once

// What the message tests share: a sandbox whose log INI turns logging on,
// and a reader that hands out the log lines written since the last look.

#include "tests/support/Sandbox.h"

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace message_test {

class LoggedSandbox {
public:
    LoggedSandbox() {
        std::filesystem::create_directories(box.root() / "logs");
        box.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (box.root() / "logs" / "m.log").string() +
                      "\nLog Level=5\n");
    }

    // Every line of every log file, in file order.
    std::vector<std::string> allLines() const {
        std::vector<std::string> lines;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(box.root() / "logs", ec)) {
            std::istringstream in(testing_support::Sandbox::read(entry.path()));
            for (std::string line; std::getline(in, line);) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // The lines written since the previous call.
    std::vector<std::string> newLines() {
        auto lines = allLines();
        const std::size_t from = std::min(seen_, lines.size());
        seen_ = lines.size();
        return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
    }

    // Waits until a line holding the text has been written.
    bool waitForLine(const std::string& text, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            for (const auto& line : allLines()) {
                if (line.find(text) != std::string::npos) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    testing_support::Sandbox box;

private:
    std::size_t seen_ = 0;
};

// True when some line ends with the text (its severity tag included, e.g.
// "[Normal] Receive UNKNOW message: ").
inline bool hasLineEnding(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.ends_with(text)) {
            return true;
        }
    }
    return false;
}

// True when the texts occur in these lines in this order (each in a line
// after the previous one's).
inline bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts) {
    std::size_t next = 0;
    for (const auto& line : lines) {
        if (next < texts.size() && line.find(texts[next]) != std::string::npos) {
            ++next;
        }
    }
    return next == texts.size();
}

inline bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return inOrder(lines, {text});
}

} // namespace message_test
