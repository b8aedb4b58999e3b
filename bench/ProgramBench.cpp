#include "bench/ProgramBench.h"

#include "common/Json.h"
#include "common/Tool.h"
#include "common/ToolSystem.h"
#include "service/Corvantix.h"
#include "service/Key.h"
#include "tests/adapter/FakeTavelo.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace program_bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

MHD_Result bareHandler(void* cls, MHD_Connection* connection, const char*, const char*, const char*,
                       const char*, size_t* uploadSize, void** state) {
    if (*state == nullptr) {
        *state = connection;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    const auto* body = static_cast<const std::string*>(cls);
    MHD_Response* response = MHD_create_response_from_buffer(
        body->size(), const_cast<char*>(body->data()), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", kPage.c_str());
    MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

} // namespace

ServiceUnderBench::ServiceUnderBench(Control control, Ports ports) {
    if (ports == Ports::Shared) {
        ports_.emplace();
    }
    program_ = box_.root() / "Program" / "VondelCorvantix";
    fs::create_directories(program_.parent_path() / "Vondel");
    fs::copy_file(SERVICE_PROGRAM, program_);
    fs::copy_file(ADAPTER_LIBRARY, installedAdapter());
    // The registry lives in the sandbox: the program sees the registration.
    if (control == Control::Real) {
        if (testing_support::runProgram({TAVELO_REGISTER, TAVELO_LIBRARY}) != 0) {
            std::fprintf(stderr, "bench: the card control did not register\n");
        }
    } else if (fake_tavelo::registerControl() != S_OK) {
        std::fprintf(stderr, "bench: the fake control did not register\n");
    }
}

ServiceUnderBench::~ServiceUnderBench() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

fs::path ServiceUnderBench::controlLibrary() {
    return TAVELO_LIBRARY;
}

fs::path ServiceUnderBench::installedAdapter() const {
    return program_.parent_path() / "Vondel" / "VondelTaveloZynAdapter.so";
}

bool ServiceUnderBench::start() {
    pid_ = testing_support::startProgram({program_.string(), "0"}, true);
    if (pid_ < 0) {
        return false;
    }
    const std::string closing = pagePost(R"({"FunctionName":"CorvantixClose"})");
    const auto until = Clock::now() + 20s;
    while (Clock::now() < until) {
        testing_support::TlsClient client(kServicePort);
        if (client.connected() && client.send(closing)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

BareServer::BareServer(std::string body) {
    // A process of its own, as the service is: the scheduler places both
    // servers' threads alike against the client.
    int ready[2];
    if (pipe(ready) != 0) {
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        const auto kind = chooseServerKeyKind(getOsFlags());
        const auto cert = serverCertificate(kind);
        const auto key = releaseServerKey(kind);
        int port = -1;
        if (cert && key) {
            const std::string priorities = tlsPriorities();
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            MHD_Daemon* daemon = MHD_start_daemon(
                kDaemonFlagsIpv4, 0, nullptr, nullptr, bareHandler, &body, MHD_OPTION_SOCK_ADDR,
                &address, MHD_OPTION_HTTPS_MEM_CERT, cert->c_str(), MHD_OPTION_HTTPS_MEM_KEY,
                reinterpret_cast<const char*>(key->data()), MHD_OPTION_HTTPS_PRIORITIES,
                priorities.c_str(), MHD_OPTION_END);
            if (daemon != nullptr) {
                port = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
            }
        }
        (void)!write(ready[1], &port, sizeof port);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    if (pid_ < 0 || read(ready[0], &port_, sizeof port_) != sizeof port_) {
        port_ = -1;
    }
    close(ready[0]);
}

BareServer::~BareServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void placeProcesses(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--spread") {
            std::printf("placement: the scheduler's, on every CPU\n");
            return;
        }
    }
    const int cpu = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (cpu >= 0 && sched_setaffinity(0, sizeof one, &one) == 0) {
        std::printf("placement: client, service and bare server on CPU %d (--spread for all)\n",
                    cpu);
    } else {
        std::printf("placement: the scheduler's (the process could not be pinned)\n");
    }
}

std::string pagePost(const std::string& json) {
    return testing_support::formPost(encodeParameter(json),
                                     "localhost:" + std::to_string(kServicePort),
                                     {{"Origin", kPage}, {"Connection", "keep-alive"}});
}

double elapsedMicros(Clock::time_point since) {
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void reportRun(const char* name, int run, const RoundPair& rounds, const char* unit,
               const char* what) {
    std::printf("%s run %d: median of %zu %s: %.1f %s against %.1f %s, ratio %.3f\n", name, run,
                rounds.measured.size(), what, median(rounds.measured), unit,
                median(rounds.baseline), unit, rounds.ratio());
    std::fflush(stdout);
}

std::string targetText(double ratio, Target target) {
    char text[64];
    std::snprintf(text, sizeof text, " (target %s %.2f, %s)",
                  target.higherIsBetter ? ">=" : "<=", target.ratio,
                  target.met(ratio) ? "met" : "NOT met");
    return text;
}

void reportSummary(const char* name, const std::vector<RoundPair>& runs, const char* unit,
                   Target target) {
    const auto better = [&](double a, double b) {
        return target.higherIsBetter ? std::max(a, b) : std::min(a, b);
    };
    std::vector<double> ratios;
    double bestMeasured = 0;
    double bestBaseline = 0;
    for (const auto& run : runs) {
        ratios.push_back(run.ratio());
        for (const double m : run.measured) {
            bestMeasured = bestMeasured == 0 ? m : better(bestMeasured, m);
        }
        for (const double b : run.baseline) {
            bestBaseline = bestBaseline == 0 ? b : better(bestBaseline, b);
        }
    }
    std::printf("%s best round: %.1f %s against %.1f %s, ratio %.3f\n", name, bestMeasured, unit,
                bestBaseline, unit, bestBaseline > 0 ? bestMeasured / bestBaseline : 0.0);
    const double ratio = median(ratios);
    std::printf("%s ratio, median over %zu runs: %.3f%s\n", name, runs.size(), ratio,
                targetText(ratio, target).c_str());
    std::fflush(stdout);
}

bool interleavedRuns(const char* name, int runs, int rounds, int barePort, Target target,
                     const Round& service, const Round& baseline) {
    std::vector<RoundPair> results;
    for (int run = 1; run <= runs; ++run) {
        testing_support::TlsClient serviceClient(kServicePort);
        testing_support::TlsClient bareClient(barePort);
        RoundPair pair;
        for (int r = 0; r < rounds; ++r) {
            std::optional<double> s;
            std::optional<double> b;
            if (r % 2 == 0) {
                s = service(serviceClient);
                b = baseline(bareClient);
            } else {
                b = baseline(bareClient);
                s = service(serviceClient);
            }
            if (!s || !b) {
                return false;
            }
            pair.measured.push_back(*s);
            pair.baseline.push_back(*b);
        }
        reportRun(name, run, pair, "us");
        results.push_back(std::move(pair));
    }
    reportSummary(name, results, "us", target);
    return true;
}

} // namespace program_bench
