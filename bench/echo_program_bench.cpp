// The service program as a page meets it: Echo on an open session (the real
// adapter, the fake card control registered in the sandbox) over one
// kept-alive TLS connection, against a bare libmicrohttpd TLS server that
// answers the same reply with the same headers and a certificate of the same
// kind, driven by the same client. Rounds alternate between the two so that
// the machine's other load falls on both alike.

#include "bench/ProgramBench.h"

#include <cstdio>
#include <vector>

namespace {

using namespace program_bench;

constexpr int kRuns = 5;
constexpr int kRounds = 20;
constexpr int kPerRound = 1000;

// The median of one round's round trips; nullopt when an answer was not the
// expected one.
std::optional<double> round(testing_support::TlsClient& client, const std::string& request,
                            const std::string& expected) {
    std::vector<double> samples;
    samples.reserve(kPerRound);
    for (int i = 0; i < kPerRound; ++i) {
        const auto start = Clock::now();
        const auto reply = client.send(request);
        samples.push_back(elapsedMicros(start));
        if (!reply || reply->status != 200 || reply->body != expected) {
            return std::nullopt;
        }
    }
    return median(std::move(samples));
}

} // namespace

int main(int argc, char** argv) {
    placeProcesses(argc, argv);
    ServiceUnderBench service;
    if (!service.start()) {
        std::fprintf(stderr, "echo_program_bench: the service did not start\n");
        return 1;
    }
    testing_support::TlsClient opener(kServicePort);
    const auto opened = opener.send(pagePost(
        R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId + "\"}"));
    const auto fields = opened ? decodeReply(opened->body) : std::map<std::string, std::string>{};
    const auto id = fields.find("SessionID");
    if (id == fields.end() || fields.at("result") != "0") {
        std::fprintf(stderr, "echo_program_bench: no session\n");
        return 1;
    }
    const std::string echo =
        pagePost(R"({"FunctionName":"Echo","SessionId":")" + id->second + "\"}");
    const auto first = opener.send(echo);
    if (!first || decodeReply(first->body)["result"] != "0") {
        std::fprintf(stderr, "echo_program_bench: the session does not answer\n");
        return 1;
    }
    BareServer bare(first->body);
    if (!bare.running()) {
        std::fprintf(stderr, "echo_program_bench: the bare server did not start\n");
        return 1;
    }

    const auto body = first->body;
    const bool done = interleavedRuns(
        "echo service/bare", kRuns, kRounds, bare.port(), Target{1.05},
        [&](testing_support::TlsClient& client) { return round(client, echo, body); },
        [&](testing_support::TlsClient& client) { return round(client, echo, body); });
    if (!done) {
        std::fprintf(stderr, "echo_program_bench: an answer was wrong or missing\n");
        return 1;
    }
    return 0;
}
