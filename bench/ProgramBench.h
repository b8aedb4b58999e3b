#pragma once

// What the benchmarks that measure the real service program from outside
// share: the program in a sandbox of its own with the real adapter and the
// fake card control registered, a bare libmicrohttpd TLS server with a
// certificate of the same kind as the baseline, and the statistics of
// interleaved rounds.

#include "service/CorvantixSession.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace program_bench {

inline constexpr int kServicePort = 56417;
// The service's session table: with this many open, every new one evicts.
inline constexpr int kOpenSessions = kSessionSlotCount;
using service_program::kPage;
using service_program::kPathId;

using Clock = std::chrono::steady_clock;

// Which card control the sandbox registers for the real adapter.
enum class Control {
    Fake, // the fake control of the adapter tests
    Real, // the real card control, registered as its installer does
};

// Whether the service's fixed ports are shared with the tests (taken under
// their lock) or private to a network namespace of the benchmark's own.
enum class Ports { Shared, Private };

// The service program on its real ports, started from a sandbox that holds
// it, the real adapter and the registration of a card control.
class ServiceUnderBench {
public:
    explicit ServiceUnderBench(Control control = Control::Fake, Ports ports = Ports::Shared);
    ~ServiceUnderBench();
    ServiceUnderBench(const ServiceUnderBench&) = delete;
    ServiceUnderBench& operator=(const ServiceUnderBench&) = delete;

    // Starts the program and waits until it answers; false when it does not.
    bool start();
    const std::filesystem::path& root() const { return box_.root(); }
    pid_t pid() const { return pid_; }
    // The real card control's library as registered.
    static std::filesystem::path controlLibrary();
    // The adapter as the service finds it installed.
    std::filesystem::path installedAdapter() const;

private:
    std::optional<testing_support::ServicePortsLock> ports_;
    testing_support::Sandbox box_;
    std::filesystem::path program_;
    pid_t pid_ = -1;
};

// A libmicrohttpd TLS daemon in a process of its own on a free loopback
// port, with the daemon flags
// and TLS priorities of the service and a certificate of the kind the
// service chooses, that answers every POST with a fixed body and the
// service's reply headers, doing nothing else.
class BareServer {
public:
    explicit BareServer(std::string body);
    ~BareServer();
    BareServer(const BareServer&) = delete;
    BareServer& operator=(const BareServer&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = -1;
};

// Keeps this process, and the programs and servers it starts afterwards, on
// the one CPU it runs on now, unless the arguments hold "--spread". On a
// virtual machine a server thread woken on another, idle CPU can wait tens of
// microseconds for it, and where each thread lands changes from run to run:
// on one CPU the rounds compare the work the two servers do. Says which.
void placeProcesses(int argc, char** argv);

using service_program::decodeReply;
using service_program::encodeParameter;
// A form POST of the JSON request as the page sends it, on a kept-alive
// connection.
std::string pagePost(const std::string& json);

double elapsedMicros(Clock::time_point since);
double median(std::vector<double> values);

// Round medians of two contenders measured in interleaved rounds.
struct RoundPair {
    std::vector<double> measured;
    std::vector<double> baseline;
    double ratio() const { return median(measured) / median(baseline); }
};

// The ratio a benchmark aims at: at most the value when lower is better
// (times), at least it when higher is better (rates).
struct Target {
    double ratio = 0;
    bool higherIsBetter = false;
    bool met(double value) const { return higherIsBetter ? value >= ratio : value <= ratio; }
};

// " (target <= 1.05, met)" for a ratio against its target.
std::string targetText(double ratio, Target target);

// Prints one run's line and keeps it for the summary.
// what names the rounds' values ("round medians" of times, "round rates").
void reportRun(const char* name, int run, const RoundPair& rounds, const char* unit,
               const char* what = "round medians");
// The median over the runs' ratios, with the target, and the best rounds of
// all runs (the lowest times, or the highest rates).
void reportSummary(const char* name, const std::vector<RoundPair>& runs, const char* unit,
                   Target target);

// One round of a contender on its own connection: its median, nullopt when
// an answer was wrong or missing.
using Round = std::function<std::optional<double>(testing_support::TlsClient&)>;
// Runs of interleaved rounds, the service's and the baseline's in turns
// (who goes first alternates, so neither always follows the other), each run
// on fresh connections, each reported; false when a round failed.
bool interleavedRuns(const char* name, int runs, int rounds, int barePort, Target target,
                     const Round& service, const Round& baseline);

} // namespace program_bench
