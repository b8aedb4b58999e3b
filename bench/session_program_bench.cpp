// A page's first Echo as the service program answers it, with 32 sessions
// already open: a new session (the adapter copied and loaded, unlocked, its
// version read, the fake card control created through COM and the registry)
// and the oldest session released, its copy unloaded and deleted. The
// baseline in the same run does by hand what cannot be avoided: copy the
// same adapter file, dlopen it as the service does, look up its two entry
// points, dlclose it, and one HTTPS echo from a bare libmicrohttpd server.

#include "adapter/AdapterExports.h"
#include "bench/ProgramBench.h"

#include <cstdio>
#include <dlfcn.h>
#include <vector>

namespace {

using namespace program_bench;
namespace fs = std::filesystem;

constexpr int kRuns = 5;
constexpr int kRounds = 20;
constexpr int kPerRound = 50;

struct Baseline {
    fs::path installed;
    fs::path folder;
    int next = 0;
};

std::optional<double> serviceRound(testing_support::TlsClient& client, const std::string& request) {
    std::vector<double> samples;
    for (int i = 0; i < kPerRound; ++i) {
        const auto start = Clock::now();
        const auto reply = client.send(request);
        samples.push_back(elapsedMicros(start));
        const auto fields = reply ? decodeReply(reply->body) : std::map<std::string, std::string>{};
        if (!fields.contains("SessionID") || fields.at("result") != "0") {
            return std::nullopt;
        }
    }
    return median(std::move(samples));
}

std::optional<double> baselineRound(Baseline& baseline, testing_support::TlsClient& client,
                                    const std::string& request, const std::string& expected) {
    std::vector<double> samples;
    for (int i = 0; i < kPerRound; ++i) {
        // A path of its own each time, as each session's copy has.
        const fs::path copy = baseline.folder /
                              std::to_string(baseline.next++ % (kOpenSessions + 1)) /
                              baseline.installed.filename();
        fs::create_directories(copy.parent_path());
        const auto start = Clock::now();
        std::error_code ec;
        fs::copy_file(baseline.installed, copy, fs::copy_options::none, ec);
        void* module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        const bool bound = module != nullptr && dlsym(module, kCallMethodName) != nullptr &&
                           dlsym(module, kCallJsonMapMethodName) != nullptr;
        if (module != nullptr) {
            dlclose(module);
        }
        const auto reply = client.send(request);
        samples.push_back(elapsedMicros(start));
        fs::remove(copy, ec);
        if (!bound || !reply || reply->body != expected) {
            return std::nullopt;
        }
    }
    return median(std::move(samples));
}

int copiesIn(const fs::path& folder) {
    int n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        n += it->is_regular_file(ec);
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    placeProcesses(argc, argv);
    ServiceUnderBench service;
    if (!service.start()) {
        std::fprintf(stderr, "session_program_bench: the service did not start\n");
        return 1;
    }
    const std::string opening = pagePost(
        R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId + "\"}");
    std::string firstBody;
    {
        testing_support::TlsClient client(kServicePort);
        for (int i = 0; i < kOpenSessions; ++i) {
            const auto reply = client.send(opening);
            if (!reply || decodeReply(reply->body)["result"] != "0") {
                std::fprintf(stderr, "session_program_bench: a session did not open\n");
                return 1;
            }
            firstBody = reply->body;
        }
    }
    BareServer bare(firstBody);
    if (!bare.running()) {
        std::fprintf(stderr, "session_program_bench: the bare server did not start\n");
        return 1;
    }
    Baseline baseline{service.installedAdapter(), service.root() / "Baseline"};

    const bool done = interleavedRuns(
        "new session service/raw", kRuns, kRounds, bare.port(), Target{1.3},
        [&](testing_support::TlsClient& client) { return serviceRound(client, opening); },
        [&](testing_support::TlsClient& client) {
            return baselineRound(baseline, client, opening, firstBody);
        });
    if (!done) {
        std::fprintf(stderr, "session_program_bench: a step failed\n");
        return 1;
    }
    std::printf("adapter copies left in the service's Tempfile: %d (32 expected)\n",
                copiesIn(service.root() / "ProgramData" / "VondelCorvantix" / "Tempfile"));
    return 0;
}
