// The service program against gnutls-serv with the same certificate, in the
// same run: time from start to the first answered request, and full TLS
// handshakes per second with the ECDSA and with the RSA certificate.

#include "common/Tool.h"
#include "service/Key.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kServicePort = 56417;
constexpr int kBaselinePort = 56793;
constexpr int kStarts = 5;
constexpr int kHandshakes = 150;
// The service starts six daemons and releases its key before it answers;
// its handshakes are the same library's as gnutls-serv's.
constexpr double kStartTarget = 1.5;
constexpr double kRateTarget = 1.0;

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Until a request on the port is answered; the time it took, or -1.
double untilAnswered(int port, Clock::time_point since, bool post = true) {
    const std::string body =
        "Parameter=" +
        replaceString(base64Encode(R"({"FunctionName":"CorvantixClose"})"), "=", "%3D");
    const std::string request = "POST / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
                                "\r\nOrigin: https://www.corvantix-bank.test\r\n"
                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    while (Clock::now() - since < 20s) {
        testing_support::TlsClient client(port);
        if (client.connected() &&
            client.send(post ? request : "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")) {
            return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
        }
        std::this_thread::sleep_for(2ms);
    }
    return -1;
}

double handshakesPerSecond(int port) {
    const auto start = Clock::now();
    for (int i = 0; i < kHandshakes; ++i) {
        testing_support::TlsClient client(port);
        if (!client.connected()) {
            return -1;
        }
    }
    return kHandshakes / std::chrono::duration<double>(Clock::now() - start).count();
}

// " (target <= 1.50, met)"; rates are better higher, times lower.
std::string verdict(double ratio, double target, bool higherIsBetter) {
    const bool met = higherIsBetter ? ratio >= target : ratio <= target;
    char text[64];
    std::snprintf(text, sizeof text, " (target %s %.2f, %s)", higherIsBetter ? ">=" : "<=", target,
                  met ? "met" : "NOT met");
    return text;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    const testing_support::ServicePortsLock ports;
    testing_support::Sandbox box;
    const fs::path program = box.root() / "Program" / "VondelCorvantix";
    fs::create_directories(program.parent_path());
    fs::copy_file(SERVICE_PROGRAM, program);

    struct Kind {
        const char* name;
        ServerKeyKind kind;
        const char* osVersion;
    };
    const Kind kinds[] = {{"ECDSA", ServerKeyKind::Ecdsa, nullptr},
                          {"RSA", ServerKeyKind::Rsa, "5.1.2600 workstation x86"}};
    for (const auto& k : kinds) {
        // gnutls-serv reads its key from a file; it lives in the sandbox only
        // for this run.
        const auto cert =
            box.write(std::string("server-") + k.name + ".pem", *serverCertificate(k.kind));
        const auto key = releaseServerKey(k.kind);
        const auto keyFile = box.root() / (std::string("server-") + k.name + ".key");
        {
            std::ofstream out(keyFile);
            out.write(reinterpret_cast<const char*>(key->data()),
                      static_cast<std::streamsize>(key->size() - 1));
        }
        chmod(keyFile.c_str(), 0600);
        if (k.osVersion != nullptr) {
            setenv("CORVANTIX_OSVERSION", k.osVersion, 1);
        } else {
            unsetenv("CORVANTIX_OSVERSION");
        }
        const std::vector<std::string> baseline = {
            "gnutls-serv",
            "--http",
            "-q",
            "--priority=NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3",
            "--x509certfile=" + cert.string(),
            "--x509keyfile=" + keyFile.string(),
            "-p",
            std::to_string(kBaselinePort)};

        std::vector<double> serviceStart, baselineStart;
        for (int i = 0; i < kStarts; ++i) {
            auto began = Clock::now();
            pid_t pid = testing_support::startProgram({program.string(), "0"}, true);
            serviceStart.push_back(untilAnswered(kServicePort, began));
            stop(pid);
            began = Clock::now();
            pid = testing_support::startProgram(baseline, true);
            baselineStart.push_back(untilAnswered(kBaselinePort, began, false));
            stop(pid);
        }
        const pid_t service = testing_support::startProgram({program.string(), "0"}, true);
        const pid_t reference = testing_support::startProgram(baseline, true);
        untilAnswered(kServicePort, Clock::now());
        untilAnswered(kBaselinePort, Clock::now(), false);
        const double serviceRate = handshakesPerSecond(kServicePort);
        const double baselineRate = handshakesPerSecond(kBaselinePort);
        stop(service);
        stop(reference);
        fs::remove(keyFile);

        const double s = median(serviceStart);
        const double b = median(baselineStart);
        std::printf("%s start to first answer: service %.1f ms, gnutls-serv %.1f ms, ratio %.2f"
                    "%s\n",
                    k.name, s, b, s / b, verdict(s / b, kStartTarget, false).c_str());
        std::printf("%s full handshakes per second: service %.0f, gnutls-serv %.0f, ratio %.2f"
                    "%s\n",
                    k.name, serviceRate, baselineRate, serviceRate / baselineRate,
                    verdict(serviceRate / baselineRate, kRateTarget, true).c_str());
    }
    return 0;
}
