#include "common/Json.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "platform/event/NamedEvent.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <gtest/gtest.h>

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
using testing_support::formPost;
using testing_support::Sandbox;
using testing_support::TlsClient;

constexpr int kPorts[] = {56417, 56517, 56617};
const std::string kPage = "https://www.corvantix-bank.test";
const std::string kPathId = "7C3E9A15D2B84F60A1E5C7D93B2F4E86";

std::string encodeParameter(const std::string& json) {
    std::string text = replaceString(base64Encode(json), "+", "%2B");
    text = replaceString(text, "/", "%2F");
    return replaceString(text, "=", "%3D");
}

// The decoded "result" of an answer, or nullopt when none came.
std::optional<std::string> post(int port, bool ipv6, const std::string& json) {
    TlsClient client(port, ipv6);
    if (!client.connected()) {
        return std::nullopt;
    }
    const auto reply = client.send(
        formPost(encodeParameter(json), "localhost:" + std::to_string(port), {{"Origin", kPage}}));
    if (!reply) {
        return std::nullopt;
    }
    const JsonMapPtr map = parseJsonMap(reply->body);
    const auto result = map ? getJsonMapValue(map.get(), "result") : std::nullopt;
    return result ? base64Decode(*result) : std::string();
}

std::optional<std::string> echo(int port, bool ipv6 = false) {
    return post(port, ipv6,
                R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId +
                    "\"}");
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        program = box.root() / "Program" / "VondelCorvantix";
        fs::create_directories(program.parent_path() / "Vondel");
        fs::copy_file(SERVICE_PROGRAM, program);
        fs::copy_file(FAKE_ADAPTER, program.parent_path() / "Vondel" / "VondelTaveloZynAdapter.so");
        logFile = box.root() / "service.log";
    }
    void TearDown() override {
        for (const pid_t pid : running) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void enableLog() {
        box.write("Program/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + logFile.string() + "\nLog Level=5\n");
    }
    std::string log() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(box.root())) {
            if (e.path().filename().string().starts_with("service_")) {
                all += Sandbox::read(e.path());
            }
        }
        return all;
    }

    pid_t start(const std::string& argument = "0") {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(program.c_str(), "VondelCorvantix", argument.c_str(), nullptr);
            _exit(127);
        }
        running.push_back(pid);
        return pid;
    }
    // Until the service answers on its first address, or the time is up.
    bool ready(int port = kPorts[0], bool ipv6 = false) {
        for (int i = 0; i < 200; ++i) {
            if (echo(port, ipv6) == "0") {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    // The exit code, or -1 when it did not end in time.
    int waitExit(pid_t pid, std::chrono::milliseconds limit = 10s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(running, pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    int adapterCopies() const {
        int n = 0;
        const auto temp = box.root() / "ProgramData" / "VondelCorvantix" / "Tempfile";
        for (const auto& e : fs::recursive_directory_iterator(temp)) {
            n += e.is_regular_file();
        }
        return n;
    }

    Sandbox box;
    fs::path program;
    fs::path logFile;
    std::vector<pid_t> running;
};

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
    EXPECT_NE(log().find("VondelCorvantix initialization: Fail"), std::string::npos);
    EXPECT_EQ(echo(kPorts[0]), "0"); // the first still serves
    kill(first, SIGTERM);
}

TEST_F(Service, ATakenAddressLeavesTheOthersServing) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(kPorts[0]);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    enableLog();
    start();
    ASSERT_TRUE(ready(kPorts[1]));
    EXPECT_EQ(echo(kPorts[0], true), "0");
    EXPECT_EQ(echo(kPorts[2], false), "0");
    EXPECT_NE(log().find("Detect port 56417 state: In use, try next port"), std::string::npos);
    close(taken);
}

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
    const pid_t tool = fork();
    if (tool == 0) {
        execl(SESSION_TOOL, "CorvantixSession", "lock", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_EQ(adapterCopies(), 0);
}

TEST_F(Service, DebugModePulsesSwitchLoggingOnAndOff) {
    auto event = platform::NamedEvent::create("VondelCorvantix_DEBUG_MODE");
    ASSERT_NE(event, nullptr);
    start();
    ASSERT_TRUE(ready());
    EXPECT_EQ(log(), "");

    enableLog();
    event->pulse();
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(echo(kPorts[0]), "0");
    const std::string on = log();
    EXPECT_NE(on.find("Log state: Enable"), std::string::npos);
    EXPECT_NE(on.find("Session id: "), std::string::npos);

    fs::remove(box.root() / "Program" / "VondelCorvantix.ini");
    event->pulse();
    std::this_thread::sleep_for(400ms);
    const std::string off = log();
    EXPECT_NE(off.find("Log state: Disable"), std::string::npos);
    ASSERT_EQ(echo(kPorts[0]), "0");
    EXPECT_EQ(log(), off);
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

} // namespace
