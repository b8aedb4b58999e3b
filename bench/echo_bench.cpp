// Echo round trips on an open session over one kept-alive TLS connection,
// against a bare libmicrohttpd TLS server that answers a fixed body with the
// same certificate, driven by the same client in the same run.

#include "common/Json.h"
#include "common/Tool.h"
#include "service/Corvantix.h"
#include "service/CorvantixQueue.h"
#include "service/CorvantixSession.h"
#include "service/Key.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr int kPerRound = 300;
const char* const kFixedBody = R"({"result": "MA=="})";

MHD_Result bareHandler(void*, MHD_Connection* connection, const char*, const char*, const char*,
                       const char*, size_t* uploadSize, void** state) {
    if (*state == nullptr) {
        *state = connection;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(kFixedBody), const_cast<char*>(kFixedBody), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

std::string parameter(const std::string& json) {
    std::string text = replaceString(base64Encode(json), "+", "%2B");
    text = replaceString(text, "/", "%2F");
    return replaceString(text, "=", "%3D");
}

double medianMicros(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

bool timeRound(testing_support::TlsClient& client, const std::string& request,
               std::vector<double>& samples) {
    for (int i = 0; i < kPerRound; ++i) {
        const auto start = Clock::now();
        const auto reply = client.send(request);
        const auto stop = Clock::now();
        if (!reply || reply->status != 200) {
            return false;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }
    return true;
}

} // namespace

int main() {
    testing_support::Sandbox box;
    const auto adapter = box.root() / "Program" / "Vondel" / "VondelTaveloZynAdapter.so";
    fs::create_directories(adapter.parent_path());
    fs::copy_file(ADAPTER_FOR_BENCH, adapter);
    setSessionProgramFolder(box.root() / "Program");
    initSessionArea();

    const auto cert = serverCertificate(ServerKeyKind::Ecdsa);
    const auto key = releaseServerKey(ServerKeyKind::Ecdsa);
    if (!cert || !key) {
        std::fprintf(stderr, "echo_bench: no certificate\n");
        return 1;
    }
    const std::string priorities = tlsPriorities();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    MHD_Daemon* service =
        startHttpsDaemon(kDaemonFlagsIpv4, reinterpret_cast<sockaddr*>(&address), cert->c_str(),
                         reinterpret_cast<const char*>(key->data()), priorities.c_str());
    MHD_Daemon* bare =
        MHD_start_daemon(kDaemonFlagsIpv4, 0, nullptr, nullptr, bareHandler, nullptr,
                         MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_HTTPS_MEM_CERT, cert->c_str(),
                         MHD_OPTION_HTTPS_MEM_KEY, reinterpret_cast<const char*>(key->data()),
                         MHD_OPTION_HTTPS_PRIORITIES, priorities.c_str(), MHD_OPTION_END);
    if (service == nullptr || bare == nullptr) {
        std::fprintf(stderr, "echo_bench: daemons did not start\n");
        return 1;
    }
    const int servicePort = MHD_get_daemon_info(service, MHD_DAEMON_INFO_BIND_PORT)->port;
    const int barePort = MHD_get_daemon_info(bare, MHD_DAEMON_INFO_BIND_PORT)->port;
    const std::map<std::string, std::string> headers = {
        {"Origin", "https://www.corvantix-bank.test"}, {"Connection", "keep-alive"}};

    testing_support::TlsClient serviceClient(servicePort);
    testing_support::TlsClient bareClient(barePort);
    const auto opened = serviceClient.send(testing_support::formPost(
        parameter(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" +
                  std::string(kCorvantixPathId) + "\"}"),
        "localhost:56417", headers));
    const JsonMapPtr reply = opened ? parseJsonMap(opened->body) : nullptr;
    const auto id = reply ? getJsonMapValue(reply.get(), "SessionID") : std::nullopt;
    if (!id) {
        std::fprintf(stderr, "echo_bench: no session\n");
        return 1;
    }
    const std::string echo = testing_support::formPost(
        parameter(R"({"FunctionName":"Echo","SessionId":")" + base64Decode(*id) + "\"}"),
        "localhost:56417", headers);

    std::vector<double> serviceSamples;
    std::vector<double> bareSamples;
    for (int round = 0; round < kRounds; ++round) {
        if (!timeRound(serviceClient, echo, serviceSamples) ||
            !timeRound(bareClient, echo, bareSamples)) {
            std::fprintf(stderr, "echo_bench: a request failed\n");
            return 1;
        }
    }
    const double s = medianMicros(serviceSamples);
    const double b = medianMicros(bareSamples);
    std::printf("echo round trip, median of %zu: service %.1f us, bare server %.1f us\n",
                serviceSamples.size(), s, b);
    constexpr double kTarget = 1.10;
    std::printf("echo_bench ratio service/bare: %.3f (target <= %.2f, %s)\n", s / b, kTarget,
                s / b <= kTarget ? "met" : "NOT met");

    MHD_stop_daemon(service);
    MHD_stop_daemon(bare);
    releaseAllAdapters();
    return 0;
}
