// The bank demo: its server's answers, and its page in headless Chromium
// walking through the card methods against the real service, adapter and
// control, pcscd's virtual reader and the demo's own emulated card.

#include "demo/DemoServer.h"
#include "tests/program/PageServer.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include "tools/CorvantixUser/UserClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nettle/hmac.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace service_program;
using namespace std::chrono_literals;

constexpr std::uint16_t kDemoPort = corvantix_demo::kDefaultPort;
const std::string kDemoHost = "www.corvantix-bank.test:" + std::to_string(kDemoPort);
const std::string kDemoOrigin = "http://" + kDemoHost;

struct HttpAnswer {
    int status = 0; // 0: no answer
    std::string body;
};

// One request over a new connection to the demo server on loopback.
HttpAnswer http(const std::string& method, const std::string& path, const std::string& origin = "",
                const std::string& body = "", const std::string& host = kDemoHost) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(kDemoPort);
    HttpAnswer answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        std::string request =
            method + " " + path + " HTTP/1.1\r\nHost: " + host +
            "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        if (!origin.empty()) {
            request += "Origin: " + origin + "\r\n";
        }
        request += "\r\n" + body;
        std::string reply;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                reply.append(buffer, static_cast<std::size_t>(n));
            }
        }
        const auto headersEnd = reply.find("\r\n\r\n");
        if (reply.starts_with("HTTP/1.1 ") && headersEnd != std::string::npos) {
            answer.status = std::atoi(reply.c_str() + 9);
            answer.body = reply.substr(headersEnd + 4);
        }
    }
    close(fd);
    return answer;
}

// The demo program in the test's namespaces, its output in a file.
class DemoProgram {
public:
    DemoProgram(const std::string& reader, const fs::path& output) : output_(output) {
        pid_ = testing_support::startProgram(
            {"sh", "-c", "exec \"$0\" \"$@\" > \"" + output.string() + "\" 2>&1", DEMO_PROGRAM,
             "--reader", reader});
    }
    ~DemoProgram() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool answers() const {
        for (int i = 0; i < 100; ++i) {
            if (http("GET", "/card").status == 200) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    std::string output() const { return testing_support::Sandbox::read(output_); }

private:
    fs::path output_;
    pid_t pid_ = -1;
};

// ---- The server's answers -------------------------------------------------------------

class DemoServerAnswers : public ::testing::Test {
protected:
    testing_support::Sandbox box;
    testing_support::CardRig rig;
};

TEST_F(DemoServerAnswers, MovesTheCardForThePageAndRefusesAnythingElse) {
    ASSERT_TRUE(rig.start()) << rig.why();
    const std::string reader = rig.readers()[0];
    DemoProgram demo(reader, box.root() / "demo.log");
    ASSERT_TRUE(demo.answers()) << demo.output();
    ASSERT_TRUE(rig.waitForCard(reader, true)) << rig.why() << "\n" << demo.output();

    struct Case {
        const char* what;
        std::string method, path, origin, body, host;
        int status;
        std::string answer; // the whole body, or a part of it
        bool cardIn;        // what pcscd reports afterwards
    };
    const std::string other = "http://www.corvantix-bank.test:8080";
    const Case cases[] = {
        {"the page", "GET", "/", "", "", kDemoHost, 200, "<title>Corvantix Bank demo</title>",
         true},
        {"the card's state", "GET", "/card", "", "", kDemoHost, 200, R"({"inserted":true})", true},
        {"a move without an origin", "POST", "/card/remove", "", "", kDemoHost, 403,
         "only the demo page at " + kDemoOrigin + " may post", true},
        {"a move from another page", "POST", "/card/remove", other, "", kDemoHost, 403,
         "only the demo page", true},
        {"another host name", "GET", "/card", "", "", "evil.test:56700", 421,
         "answers only as " + kDemoOrigin, true},
        {"a move by GET", "GET", "/card/remove", "", "", kDemoHost, 405, "with POST", true},
        {"an unknown move", "POST", "/card/flip", kDemoOrigin, "", kDemoHost, 404,
         "/card/remove or /card/insert", true},
        {"putting in the card that is in", "POST", "/card/insert", kDemoOrigin, "", kDemoHost, 409,
         "in its reader already", true},
        {"pulling it out", "POST", "/card/remove", kDemoOrigin, "", kDemoHost, 200,
         R"({"inserted":false})", false},
        {"pulling it out again", "POST", "/card/remove", kDemoOrigin, "", kDemoHost, 409,
         "out already", false},
        {"its state", "GET", "/card", "", "", "127.0.0.1:56700", 200, R"({"inserted":false})",
         false},
        {"putting it back", "POST", "/card/insert", kDemoOrigin, "", kDemoHost, 200,
         R"({"inserted":true})", true},
        {"an empty journal entry", "POST", "/journal", kDemoOrigin, "", kDemoHost, 400,
         "one printable line", true},
        {"two lines", "POST", "/journal", kDemoOrigin, "Echo=0\nforged", kDemoHost, 400,
         "one printable line", true},
        {"a line too long", "POST", "/journal", kDemoOrigin, std::string(513, 'x'), kDemoHost, 400,
         "1 to 512 bytes", true},
        {"a body too large", "POST", "/journal", kDemoOrigin, std::string(5000, 'x'), kDemoHost,
         413, "larger than 4096 bytes", true},
        {"an entry from another page", "POST", "/journal", other, "Echo=0", kDemoHost, 403,
         "only the demo page", true},
        {"an entry", "POST", "/journal", kDemoOrigin, "Echo=0", kDemoHost, 200, "{}", true},
        {"the journal", "GET", "/journal", "", "", kDemoHost, 200,
         "card: out\ncard: in\npage: Echo=0\n", true},
        {"another method", "PUT", "/journal", "", "", kDemoHost, 405, "GET and POST", true},
        {"another path", "GET", "/admin", "", "", kDemoHost, 404, "nothing here: /admin", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answer = http(c.method, c.path, c.origin, c.body, c.host);
        EXPECT_EQ(answer.status, c.status) << answer.body;
        if (c.answer.starts_with("{") || (c.path == "/journal" && c.method == "GET")) {
            EXPECT_EQ(answer.body, c.answer);
        } else {
            EXPECT_NE(answer.body.find(c.answer), std::string::npos) << answer.body;
        }
        EXPECT_TRUE(rig.waitForCard(reader, c.cardIn, 1s)) << "pcscd: " << rig.why();
    }
}

// ---- The page, end to end -------------------------------------------------------------

// The TAC as the card's key makes it: the first 8 bytes of HMAC-SHA-256 over
// the TSN's eight digits and the record.
std::string tacOf(const card_emulator::CardProfile& card, std::uint32_t tsn,
                  const std::string& record) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(tsn));
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, card.tacKey.size(), card.tacKey.data());
    hmac_sha256_update(&ctx, 8, reinterpret_cast<const std::uint8_t*>(digits));
    hmac_sha256_update(&ctx, record.size(), reinterpret_cast<const std::uint8_t*>(record.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    hmac_sha256_digest(&ctx, sizeof digest, digest);
    return card_emulator::toHex(std::span(digest, 8));
}

class DemoPage : public ServiceProgram {
protected:
    DemoPage() : ServiceProgram(Adapter::RealControl) {}
    void SetUp() override {
        // pcscd first, while this process has no other thread; the service
        // and the demo then start inside the same namespaces.
        ASSERT_TRUE(rig.start()) << rig.why();
        enableLog();
        start();
    }
    void TearDown() override {
        if (browser > 0) {
            kill(browser, SIGKILL);
            waitpid(browser, nullptr, 0);
        }
        ServiceProgram::TearDown();
        if (HasFailure()) {
            std::fprintf(stderr, "service log:\n%s\n", log().c_str());
        }
    }

    testing_support::CardRig rig;
    pid_t browser = -1;
};

// The page connects, lists the readers, has the PIN verified on the
// control's keypad, reads the serial number and runs a transfer whose
// confirmation enables once the card was pulled out and put back through the
// side panel's endpoints; the TAC it shows is the one the card's key gives
// over the record built here.
TEST_F(DemoPage, WalksThroughTheCardMethodsToATransfersTac) {
    const std::string reader = rig.readers()[0];
    DemoProgram demo(reader, box.root() / "demo.log");
    ASSERT_TRUE(demo.answers()) << demo.output();
    ASSERT_TRUE(rig.waitForCard(reader, true)) << rig.why() << "\n" << demo.output();

    // The browser trusts the service through the roots the worker imports
    // into the home it reads.
    const fs::path worker = program.parent_path() / "VondelCorvantixWorker";
    fs::copy_file(WORKER_PROGRAM, worker);
    setenv("HOME", (box.root() / "Home").c_str(), 1);
    ASSERT_EQ(testing_support::runProgram({worker.string(), "-importRootCACert"}), 0);
    ASSERT_TRUE(ready());

    const card_emulator::CardProfile card = card_emulator::defaultProfile();
    const std::string pin(card.pin.begin(), card.pin.end());
    const std::string time = "20240102030405";
    std::string readerInAddress;
    for (const char c : reader) {
        readerInAddress += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    browser = startBrowser(kDemoOrigin + "/?run=all&bServerDataTime=" + time +
                               "&reader=" + readerInAddress,
                           box.root() / "profile");

    corvantix_user::Client user;
    const auto typePin = [&](const corvantix_user::Window dialog) {
        for (const char digit : pin) {
            ASSERT_TRUE(user.press(dialog, std::string(1, digit)));
        }
        ASSERT_TRUE(user.click(dialog, 1));
    };
    const auto verifyDialog = user.waitForDialog(28000, 20s);
    ASSERT_TRUE(verifyDialog) << "no PIN dialog for VerifyPIN\n" << http("GET", "/journal").body;
    ASSERT_NO_FATAL_FAILURE(typePin(*verifyDialog));

    // The transfer's own keypad: another dialog of the same template.
    std::optional<corvantix_user::Window> transferDialog;
    for (int i = 0; i < 200 && !transferDialog; ++i) {
        const auto open = user.waitForDialog(28000, 100ms);
        if (open && *open != *verifyDialog) {
            transferDialog = open;
        }
    }
    ASSERT_TRUE(transferDialog) << "no PIN dialog for the transfer\n"
                                << http("GET", "/journal").body;
    ASSERT_NO_FATAL_FAILURE(typePin(*transferDialog));

    const auto confirmation = user.waitForDialog(204, 10s);
    ASSERT_TRUE(confirmation) << "no transfer confirmation\n" << http("GET", "/journal").body;
    EXPECT_FALSE(user.click(*confirmation, 1).ok) << "no OK before the card was pulled out";
    // What the side panel's buttons send.
    EXPECT_EQ(http("POST", "/card/remove", kDemoOrigin).status, 200);
    EXPECT_EQ(http("POST", "/card/insert", kDemoOrigin).status, 200);
    bool confirmed = false;
    for (int i = 0; i < 50 && !confirmed; ++i) {
        confirmed = user.click(*confirmation, 1).ok;
        if (!confirmed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(confirmed) << "OK never enabled";

    std::string journal;
    for (int i = 0; i < 200 && journal.find("page: done") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        journal = http("GET", "/journal").body;
    }
    std::string listed;
    for (const auto& name : rig.readers()) {
        listed += name + ";";
    }
    const std::string record = "2541"
                               "00000000150000"
                               "TERM0001"
                               "CHK00001" +
                               time + "0098765432109876" + "0012345678901234";
    char tsn[16];
    std::snprintf(tsn, sizeof tsn, "%08u", static_cast<unsigned>(card.tsn));
    EXPECT_EQ(journal, "page: Echo=0\n"
                       "page: GetReaderList=" +
                           listed +
                           "\n"
                           "page: ConnectCard=0\n"
                           "page: VerifyPIN=0\n"
                           "page: GetSN=" +
                           card_emulator::toHex(card.serial) +
                           "\n"
                           "page: DisconnectCard=0\n"
                           "page: Echo=0\n"
                           "page: ConnectCard=0\n"
                           "card: out\n"
                           "card: in\n"
                           "page: DoTransferTAC=0\n"
                           "page: GetTSAC=" +
                           tacOf(card, card.tsn, record) +
                           "\n"
                           "page: GetTSN=" +
                           tsn + "\npage: done\n");

    // The PIN went from the keypad to the card, into no log (the serial
    // number's digits hold the PIN's, its block does not).
    const std::string logs = demo.output() + log();
    EXPECT_NE(logs.find("0020001008 <PIN block>"), std::string::npos) << demo.output();
    const auto block = card_emulator::pinBlock(card.pin);
    ASSERT_TRUE(block);
    EXPECT_EQ(logs.find(card_emulator::toHex(*block)), std::string::npos) << "the PIN block";
}

} // namespace
