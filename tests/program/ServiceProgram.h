#pragma once

// The service as a real process on its real ports, in a sandbox of its own,
// reached over HTTPS as a page reaches it. The fixture copies the program
// and an adapter (a stand-in, or the real adapter library with the fake card
// control registered) into the sandbox, starts it and ends it.

#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace service_program {

inline constexpr int kPorts[] = {56417, 56517, 56617};
inline const std::string kPage = "https://www.corvantix-bank.test";
inline const std::string kPathId = "7C3E9A15D2B84F60A1E5C7D93B2F4E86";

// Base64 with "+", "/" and "=" escaped as a form would carry them.
std::string encodeParameter(const std::string& json);

// An answer's keys with their values decoded; nullopt when the service
// closed the connection without one.
using Reply = std::map<std::string, std::string>;
// An answer's body, decoded so.
Reply decodeReply(const std::string& body);
std::optional<Reply> postReply(int port, bool ipv6, const std::string& json,
                               const std::string& origin = kPage);
// The decoded "result" of an answer (empty when it has none), or nullopt.
// The "result" of an answer as text: "<closed>" when the service closed the
// connection without one, "<none>" when the answer has none.
std::string resultOf(const std::optional<Reply>& reply);
std::optional<std::string> post(int port, bool ipv6, const std::string& json,
                                const std::string& origin = kPage);
// An Echo that opens a session (under the id when one is given).
std::optional<Reply> echoReply(const std::string& sessionId = "", const std::string& origin = kPage,
                               int port = kPorts[0]);
std::optional<std::string> echo(int port = kPorts[0], bool ipv6 = false);

enum class Adapter {
    StandIn,     // the stand-in library: unlocks for any page, counts its calls
    Real,        // the real adapter library with the fake card control
    RealControl, // the real adapter library with the real card control registered
};

class ServiceProgram : public ::testing::Test {
protected:
    explicit ServiceProgram(Adapter adapter = Adapter::StandIn);
    void TearDown() override;

    void enableLog();
    std::string log() const;
    // openFiles, when not 0, is the program's soft limit of open files at its
    // start (through util-linux's prlimit; the hard limit stays).
    pid_t start(const std::string& argument = "0", unsigned openFiles = 0);
    // Until the service answers an Echo on the address, or the time is up.
    bool ready(int port = kPorts[0], bool ipv6 = false);
    // The exit code, or -1 when it did not end in time.
    int waitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10));
    int adapterCopies() const;

    testing_support::ServicePortsLock ports;
    testing_support::Sandbox box;
    std::filesystem::path program;
    std::filesystem::path logFile;
    std::vector<pid_t> running;
};

} // namespace service_program
