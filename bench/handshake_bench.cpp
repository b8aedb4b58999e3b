// Full TLS handshakes per second: eight clients at once, each connecting,
// completing a fresh handshake (no resumption) and closing, against the
// service program and against gnutls-serv with a certificate of the same key
// type and size as the service's, in interleaved rounds. The ratio is
// service/gnutls-serv (the aim: at least 1.0); it reports and never fails on
// a ratio.
//
// Nothing is pinned: eight clients at once need more than one CPU, and each
// server does its handshakes on one thread.
//
// gnutls-serv listens on every address: the benchmark runs in a network
// namespace of its own (root), where only loopback exists.

#include "bench/ProgramBench.h"
#include "common/ToolSystem.h"
#include "service/Corvantix.h"
#include "service/Key.h"
#include "tests/support/CardRig.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace program_bench;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRuns = 3;
constexpr int kRounds = 10;
constexpr int kClients = 8;
constexpr int kPerClient = 25;

// The key options certtool takes for a key like the certificate's, and a
// description; nullopt when the certificate cannot be read.
struct KeyKind {
    std::vector<std::string> options;
    std::string description;
    bool rsa = false;
};

std::optional<KeyKind> keyKindOf(const std::string& pem) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) != 0) {
        return std::nullopt;
    }
    const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                              static_cast<unsigned>(pem.size())};
    std::optional<KeyKind> kind;
    unsigned bits = 0;
    if (gnutls_x509_crt_import(crt, &data, GNUTLS_X509_FMT_PEM) == 0) {
        const int algorithm = gnutls_x509_crt_get_pk_algorithm(crt, &bits);
        if (algorithm == GNUTLS_PK_RSA) {
            kind = KeyKind{{"--rsa", "--bits", std::to_string(bits)},
                           "RSA " + std::to_string(bits) + " bits",
                           true};
        } else if (algorithm == GNUTLS_PK_ECDSA) {
            gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
            gnutls_datum_t x{};
            gnutls_datum_t y{};
            if (gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, &x, &y) == 0) {
                gnutls_free(x.data);
                gnutls_free(y.data);
                std::string name = gnutls_ecc_curve_get_name(curve);
                std::transform(name.begin(), name.end(), name.begin(),
                               [](unsigned char c) { return std::tolower(c); });
                kind = KeyKind{{"--ecc", "--curve", name}, "ECDSA " + name, false};
            }
        }
    }
    gnutls_x509_crt_deinit(crt);
    return kind;
}

// A throwaway root and a server certificate signed by it, the server's key
// of the given kind, written in folder as server.pem and server.key.
bool makeCertificate(const fs::path& folder, const KeyKind& kind) {
    fs::create_directories(folder);
    const auto path = [&](const char* name) { return (folder / name).string(); };
    const auto write = [](const fs::path& file, const std::string& text) {
        std::ofstream(file) << text;
    };
    write(folder / "root.tmpl",
          "cn = \"Bench Root\"\nexpiration_days = 30\nca\ncert_signing_key\n");
    write(folder / "server.tmpl",
          std::string("cn = \"localhost\"\nexpiration_days = 30\ndns_name = \"localhost\"\n"
                      "ip_address = \"127.0.0.1\"\ntls_www_server\nsigning_key\n") +
              (kind.rsa ? "encryption_key\n" : ""));
    const auto certtool = [](std::vector<std::string> args) {
        args.insert(args.begin(), "certtool");
        const pid_t pid = testing_support::startProgram(args, true);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    };
    auto keyArgs = [&](const char* out) {
        std::vector<std::string> args = {"--generate-privkey", "--no-text"};
        args.insert(args.end(), kind.options.begin(), kind.options.end());
        args.insert(args.end(), {"--outfile", path(out)});
        return args;
    };
    return certtool(keyArgs("root.key")) && certtool(keyArgs("server.key")) &&
           certtool({"--generate-self-signed", "--load-privkey", path("root.key"), "--template",
                     path("root.tmpl"), "--hash", "SHA256", "--no-text", "--outfile",
                     path("root.pem")}) &&
           certtool({"--generate-certificate", "--load-privkey", path("server.key"),
                     "--load-ca-certificate", path("root.pem"), "--load-ca-privkey",
                     path("root.key"), "--template", path("server.tmpl"), "--hash", "SHA256",
                     "--no-text", "--outfile", path("server.pem")});
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// gnutls-serv with the service's TLS priorities, no client certificate
// asked for, no resumption offered (no session cache, no tickets), as the
// service offers none.
class GnutlsServ {
public:
    GnutlsServ(const fs::path& folder, int port) : port_(port) {
        pid_ = testing_support::startProgram(
            {"gnutls-serv", "--quiet", "--nodb", "--noticket", "--disable-client-cert",
             "--priority=" + tlsPriorities(), "--x509certfile", (folder / "server.pem").string(),
             "--x509keyfile", (folder / "server.key").string(), "--port", std::to_string(port)},
            true);
    }
    ~GnutlsServ() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    GnutlsServ(const GnutlsServ&) = delete;
    GnutlsServ& operator=(const GnutlsServ&) = delete;

    bool ready() const {
        const auto until = Clock::now() + 10s;
        while (pid_ > 0 && Clock::now() < until) {
            if (testing_support::TlsClient(port_).connected()) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int port_;
};

// One round: the clients' handshakes per second, nullopt when one failed.
std::optional<double> handshakeRound(int port) {
    std::atomic<bool> go{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerClient; ++i) {
                if (!testing_support::TlsClient(port).connected()) {
                    ++failed;
                }
            }
        });
    }
    const auto start = Clock::now();
    go = true;
    for (auto& client : clients) {
        client.join();
    }
    const double seconds = elapsedMicros(start) / 1e6;
    if (failed.load() != 0 || seconds <= 0) {
        return std::nullopt;
    }
    return kClients * kPerClient / seconds;
}

} // namespace

int main() {
    // Before any thread: the namespaces replace this process's.
    testing_support::CardRig rig;
    if (!rig.enterNamespaces()) {
        std::fprintf(stderr,
                     "handshake_bench: cannot run: %s. It needs root for a network namespace of "
                     "its own, where gnutls-serv listens on loopback only (scripts/bench.sh runs "
                     "as root in CI)\n",
                     rig.why().c_str());
        return 1;
    }
    const auto certificate = serverCertificate(chooseServerKeyKind(getOsFlags()));
    const auto kind = certificate ? keyKindOf(*certificate) : std::nullopt;
    if (!kind) {
        std::fprintf(stderr, "handshake_bench: the service's certificate cannot be read\n");
        return 1;
    }
    // The namespace's ports are its own: no need to wait for the tests' lock.
    ServiceUnderBench service(Control::Fake, Ports::Private);
    const fs::path folder = service.root() / "gnutls-serv";
    if (!makeCertificate(folder, *kind)) {
        std::fprintf(stderr, "handshake_bench: certtool could not make the certificate\n");
        return 1;
    }
    const int port = freeLoopbackPort();
    GnutlsServ baseline(folder, port);
    if (!baseline.ready()) {
        std::fprintf(stderr, "handshake_bench: gnutls-serv did not start (is gnutls-bin "
                             "installed? scripts/setup.sh installs it)\n");
        return 1;
    }
    if (!service.start()) {
        std::fprintf(stderr, "handshake_bench: the service did not start\n");
        return 1;
    }
    const std::string serviceSession =
        testing_support::TlsClient(kServicePort).sessionDescription();
    const std::string baselineSession = testing_support::TlsClient(port).sessionDescription();
    std::printf("certificates: %s; the service's handshake %s, gnutls-serv's %s\n",
                kind->description.c_str(), serviceSession.c_str(), baselineSession.c_str());
    if (serviceSession.empty() || serviceSession != baselineSession) {
        std::fprintf(stderr, "handshake_bench: the two servers' handshakes differ\n");
        return 1;
    }
    std::printf("%d clients at once, %d full handshakes each per round\n", kClients, kPerClient);

    const char* name = "handshakes service/gnutls-serv";
    std::vector<RoundPair> runs;
    for (int run = 1; run <= kRuns; ++run) {
        RoundPair pair;
        for (int r = 0; r < kRounds; ++r) {
            // Who goes first alternates.
            std::optional<double> s;
            std::optional<double> b;
            if (r % 2 == 0) {
                s = handshakeRound(kServicePort);
                b = handshakeRound(port);
            } else {
                b = handshakeRound(port);
                s = handshakeRound(kServicePort);
            }
            if (!s || !b) {
                std::fprintf(stderr, "handshake_bench: a handshake failed (%s)\n",
                             s ? "gnutls-serv" : "service");
                return 1;
            }
            pair.measured.push_back(*s);
            pair.baseline.push_back(*b);
        }
        reportRun(name, run, pair, "handshakes/s", "round rates");
        runs.push_back(std::move(pair));
    }
    reportSummary(name, runs, "handshakes/s", Target{1.0, true});
    return 0;
}
