#include "common/Json.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "common/ToolSystem.h"
#include "platform/event/NamedEvent.h"
#include "tests/program/PageServer.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <gtest/gtest.h>

#include <sstream>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace service_program;
using testing_support::Sandbox;
using testing_support::TlsClient;

class Service : public ServiceProgram {};

TEST_F(Service, AnswersOnAllSixEndpointsAndASecondInstanceEndsAtOnce) {
    enableLog();
    const pid_t first = start();
    ASSERT_TRUE(ready());
    for (const int port : kPorts) {
        for (const bool ipv6 : {false, true}) {
            EXPECT_EQ(echo(port, ipv6), "0") << port << (ipv6 ? " [::1]" : " 127.0.0.1");
        }
    }
    const auto began = std::chrono::steady_clock::now();
    const pid_t second = start();
    EXPECT_EQ(waitExit(second), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    const std::string written = log();
    EXPECT_NE(written.find("VondelCorvantix initialization: Fail"), std::string::npos) << written;
    EXPECT_EQ(echo(kPorts[0]), "0"); // the first still serves
    kill(first, SIGTERM);
}

// Another program's socket on 127.0.0.1:56417: listening (the probe sees it)
// or only bound (the library's bind fails). Either way the others serve and
// the address not taken is an error line with its cause.
struct TakenCase {
    const char* name;
    bool listening;
    const char* cause;
};

void PrintTo(const TakenCase& c, std::ostream* os) {
    *os << c.name;
}

class TakenAddress : public ServiceProgram, public ::testing::WithParamInterface<TakenCase> {};

TEST_P(TakenAddress, LeavesTheOthersServingAndIsLoggedAsAnError) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(kPorts[0]);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (GetParam().listening) {
        ASSERT_EQ(listen(taken, 1), 0);
    }
    enableLog();
    start();
    ASSERT_TRUE(ready(kPorts[1]));
    EXPECT_EQ(echo(kPorts[0], true), "0");
    EXPECT_EQ(echo(kPorts[2], false), "0");
    const std::string written = log();
    if (GetParam().listening) {
        EXPECT_NE(written.find("Detect port 56417 state: In use, try next port"),
                  std::string::npos);
    }
    const std::string line =
        std::string("[Error] VondelCorvantix at 127.0.0.1:56417 launch state: Fail: ") +
        GetParam().cause;
    EXPECT_NE(written.find(line), std::string::npos) << written;
    // Only the one address is said to have failed.
    EXPECT_EQ(written.find("launch state: Fail"), written.rfind("launch state: Fail")) << written;
    close(taken);
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, TakenAddress,
    ::testing::Values(
        TakenCase{"Listening", true, "the address and port are in use by another program"},
        TakenCase{"BoundOnly", false, "Failed to bind to port 56417: Address already in use"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Service, CrashArgumentIsLoggedBetweenSeparators) {
    enableLog();
    for (const std::string argument : {"0", "3"}) {
        SCOPED_TRACE(argument);
        for (const auto& e : fs::directory_iterator(box.root())) {
            if (e.path().filename().string().starts_with("service_")) {
                fs::remove(e.path());
            }
        }
        const pid_t pid = start(argument);
        ASSERT_TRUE(ready());
        const std::string text = log();
        const std::string separator(79, '=');
        const auto warning = text.find("[VondelCorvantix][Warning] Detected Corvantix crash");
        if (argument == "0") {
            EXPECT_EQ(warning, std::string::npos);
        } else {
            ASSERT_NE(warning, std::string::npos);
            const auto before = text.rfind(separator, warning);
            const auto after = text.find(separator, warning);
            EXPECT_NE(before, std::string::npos);
            EXPECT_NE(after, std::string::npos);
            EXPECT_EQ(text.find('\n', before), text.rfind('\n', warning)); // adjacent lines
        }
        kill(pid, SIGKILL);
        waitExit(pid);
    }
}

TEST_F(Service, SuicideByWindowAndByLockEndItCleanly) {
    for (const bool byWindow : {true, false}) {
        SCOPED_TRACE(byWindow ? "window" : "lock");
        const pid_t pid = start();
        ASSERT_TRUE(ready());
        EXPECT_EQ(adapterCopies(), 1);
        if (byWindow) {
            const auto message =
                createCorvantixMessage("CorvantixMonitor", kChannelService, kInstructionSuicide);
            const auto json = *corvantixMessageToJson(message) + std::string(1, '\0');
            EXPECT_EQ(platform::sendCopyData(kChannelService, 0, json).status,
                      platform::SendStatus::Ok);
        } else {
            auto held =
                getMutexLock(std::string(kChannelService) + std::string(kInstructionSuicide), 100);
            ASSERT_NE(held, nullptr);
            std::this_thread::sleep_for(300ms);
        }
        EXPECT_EQ(waitExit(pid), 0);
        EXPECT_EQ(adapterCopies(), 0);
        EXPECT_FALSE(echo(kPorts[0]).has_value());
    }
}

TEST_F(Service, SessionLockRunsTheFinalFunction) {
    const pid_t pid = start();
    ASSERT_TRUE(ready());
    EXPECT_EQ(testing_support::runProgram({SESSION_TOOL, "lock"}), 0);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_EQ(adapterCopies(), 0);
}

TEST_F(Service, DebugModePulsesSetLoggingToWhetherTheIniExists) {
    auto event = platform::NamedEvent::create("VondelCorvantix_DEBUG_MODE");
    ASSERT_NE(event, nullptr);
    start();
    ASSERT_TRUE(ready());
    EXPECT_EQ(log(), "");

    enableLog();
    // The log switch starts only after the last address opens, and a pulse
    // before it waits passes it by: pulse until it has heard one.
    ASSERT_TRUE(ready(kPorts[2], true));
    for (int i = 0; i < 20 && log().find("Log state: Enable") == std::string::npos; ++i) {
        event->pulse();
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_EQ(echo(kPorts[0]), "0");
    const std::string on = log();
    EXPECT_NE(on.find("Log state: Enable"), std::string::npos);
    EXPECT_NE(on.find("Session id: "), std::string::npos);

    // A pulse that comes again while the INI file stays leaves logging on.
    event->pulse();
    std::this_thread::sleep_for(400ms);
    const std::size_t before = log().size();
    ASSERT_EQ(echo(kPorts[0]), "0");
    EXPECT_GT(log().size(), before);
    EXPECT_EQ(log().find("Log state: Disable"), std::string::npos);

    fs::remove(box.root() / "Program" / "VondelCorvantix.ini");
    event->pulse();
    std::this_thread::sleep_for(400ms);
    const std::string off = log();
    EXPECT_NE(off.find("Log state: Disable"), std::string::npos);
    ASSERT_EQ(echo(kPorts[0]), "0");
    EXPECT_EQ(log(), off);

    // On and off again 50 ms later: the second pulse comes while the switch
    // pauses after the first, and counts all the same.
    enableLog();
    event->pulse();
    std::this_thread::sleep_for(50ms);
    fs::remove(box.root() / "Program" / "VondelCorvantix.ini");
    event->pulse();
    std::this_thread::sleep_for(400ms);
    const std::string offAgain = log();
    EXPECT_NE(offAgain.find("Log state: Enable", off.size()), std::string::npos);
    ASSERT_EQ(echo(kPorts[0]), "0");
    EXPECT_EQ(log(), offAgain);
}

TEST_F(Service, CertificateFollowsTheOsVersion) {
    const std::pair<const char*, int> cases[] = {
        {nullptr, GNUTLS_PK_ECDSA},
        {"5.1.2600 workstation x86", GNUTLS_PK_RSA},
    };
    for (const auto& [version, algorithm] : cases) {
        SCOPED_TRACE(version ? version : "default");
        if (version != nullptr) {
            setenv("CORVANTIX_OSVERSION", version, 1);
        } else {
            unsetenv("CORVANTIX_OSVERSION");
        }
        const pid_t pid = start();
        ASSERT_TRUE(ready());
        TlsClient client(
            kPorts[0], false, "NORMAL",
            Sandbox::read(fs::path(CORVANTIX_SOURCE_DIR) / "certs" /
                          (algorithm == GNUTLS_PK_RSA ? "root-rsa.pem" : "root-ecdsa.pem")));
        EXPECT_TRUE(client.connected()) << client.error();
        EXPECT_EQ(client.peerKeyAlgorithm(), algorithm);
        kill(pid, SIGKILL);
        waitExit(pid);
    }
    unsetenv("CORVANTIX_OSVERSION");
}

TEST_F(Service, PageInABrowserTalksToTheServiceOverTrustedHttps) {
    // The browser trusts the service only through the root in its own NSS
    // database, never through a flag: without the root the page gets nowhere.
    const auto home = box.root() / "Home";
    const auto nss = home / ".pki" / "nssdb";
    fs::create_directories(nss);
    setenv("HOME", home.c_str(), 1);
    ASSERT_EQ(testing_support::runProgram(
                  {"certutil", "-N", "-d", "sql:" + nss.string(), "--empty-password"}),
              0);

    start();
    ASSERT_TRUE(ready());
    const std::string page = bankPage();
    const auto browse = [&](const std::string& profileName) {
        return browseBankPage(page, box.root() / profileName);
    };

    const auto untrusted = browse("profile-untrusted");
    ASSERT_TRUE(untrusted.has_value()) << "the page never reported";
    EXPECT_TRUE(untrusted->starts_with("error=")) << *untrusted;

    ASSERT_EQ(
        testing_support::runProgram(
            {"certutil", "-A", "-d", "sql:" + nss.string(), "-n", "Corvantix Local Root", "-t",
             "C,,", "-i", (fs::path(CORVANTIX_SOURCE_DIR) / "certs" / "root-ecdsa.pem").string()}),
        0);
    const auto trusted = browse("profile-trusted");
    ASSERT_TRUE(trusted.has_value()) << "the page never reported";
    EXPECT_EQ(*trusted, "echo=0\nserver=1.0.22.0804\nlib=1,0,18,719\nset=0\nget=hello value");
}

} // namespace
