#include "adapter/AdapterUnlockList.h"
#include "common/Tool.h"
#include "service/Corvantix.h"
#include "service/CorvantixQueue.h"
#include "service/CorvantixSession.h"
#include "service/CorvantixTopUI.h"
#include "service/Key.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TlsClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing_support::formPost;
using testing_support::HttpReply;
using testing_support::Sandbox;
using testing_support::TlsClient;
using Fields = std::map<std::string, std::string>;

const std::string kPage = "https://www.corvantix-bank.test";

std::string readText(const fs::path& path) {
    return Sandbox::read(path);
}

// The page's encoding: Base64 of the JSON with "+", "/" and "=" escaped.
std::string encodeParameter(const std::string& json) {
    std::string text = replaceString(base64Encode(json), "+", "%2B");
    text = replaceString(text, "/", "%2F");
    return replaceString(text, "=", "%3D");
}

Fields decodeReply(const std::string& body) {
    Fields out;
    const JsonMapPtr map = parseJsonMap(body);
    for (int i = 0; map && i < map->count; ++i) {
        out[map->entries[i].key] = base64Decode(map->entries[i].textValue);
    }
    return out;
}

class Https : public ::testing::Test {
protected:
    void SetUp() override {
        const auto target = box.root() / "Program" / "Vondel" / "VondelTaveloZynAdapter.so";
        fs::create_directories(target.parent_path());
        fs::copy_file(fs::path(FAKE_ADAPTER_DIR) / "fake_adapter_both.so", target);
        setSessionProgramFolder(box.root() / "Program");
        initSessionArea();

        priorities = tlsPriorities();
        daemon = startDaemon();
        ASSERT_NE(daemon, nullptr);
        port = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
        root = readText(fs::path(CORVANTIX_SOURCE_DIR) / "certs" / "root-ecdsa.pem");
    }
    void TearDown() override {
        for (MHD_Daemon* started : daemons) {
            MHD_stop_daemon(started);
        }
        std::lock_guard guard(requestLock());
        releaseAllAdapters();
    }

    // One more daemon of the service's kind on 127.0.0.1, on a free port;
    // stopped at the end of the test.
    MHD_Daemon* startDaemon() {
        const auto cert = serverCertificate(ServerKeyKind::Ecdsa);
        const auto key = releaseServerKey(ServerKeyKind::Ecdsa);
        if (!cert || !key) {
            return nullptr;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        MHD_Daemon* started =
            startHttpsDaemon(kDaemonFlagsIpv4, reinterpret_cast<sockaddr*>(&address), cert->c_str(),
                             reinterpret_cast<const char*>(key->data()), priorities.c_str());
        if (started != nullptr) {
            daemons.push_back(started);
        }
        return started;
    }

    std::optional<HttpReply> post(const std::string& json, Fields headers = {{"Origin", kPage}},
                                  const std::string& host = "localhost:56417") {
        TlsClient client(port, false, "NORMAL", root);
        EXPECT_TRUE(client.connected()) << client.error();
        return client.send(formPost(encodeParameter(json), host, headers));
    }
    Fields call(const std::string& json, Fields headers = {{"Origin", kPage}}) {
        const auto reply = post(json, headers);
        EXPECT_TRUE(reply.has_value());
        EXPECT_EQ(reply ? reply->status : 0, 200);
        return reply ? decodeReply(reply->body) : Fields{};
    }
    std::string openSessionId() {
        const auto reply =
            call(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" +
                 std::string(kCorvantixPathId) + R"("})");
        EXPECT_EQ(reply.count("SessionID"), 1u);
        return reply.count("SessionID") ? reply.at("SessionID") : "";
    }
    int unlocks() const {
        std::ifstream in(box.root() / "fake_adapter.log");
        int count = 0;
        for (std::string line; std::getline(in, line);) {
            count += line.find(" Corvantix_Unlock ") != std::string::npos;
        }
        return count;
    }

    Sandbox box;
    std::vector<MHD_Daemon*> daemons;
    MHD_Daemon* daemon = nullptr;
    int port = 0;
    std::string priorities;
    std::string root;
};

TEST_F(Https, DaemonsPollWithEpollAndShareTheOpenFiles) {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_FLAGS);
    ASSERT_NE(info, nullptr);
    EXPECT_NE(info->flags & MHD_USE_INTERNAL_POLLING_THREAD, 0);
    EXPECT_EQ(info->flags & MHD_USE_THREAD_PER_CONNECTION, 0);
    if (MHD_is_feature_supported(MHD_FEATURE_EPOLL) == MHD_YES) {
        EXPECT_NE(info->flags & MHD_USE_EPOLL, 0);
    }
    // Six daemons' connections fit in the soft limit with room to spare.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t all = static_cast<rlim_t>(kDaemonCount) * connectionLimit();
    EXPECT_GE(connectionLimit(), 16u);
    EXPECT_LE(connectionLimit(), 2048u);
    if (limit.rlim_cur >= 1024) {
        EXPECT_LE(all + limit.rlim_cur / 4, limit.rlim_cur);
    }
}

TEST_F(Https, PrivateNetworkPreflight) {
    const std::string preflight =
        "OPTIONS / HTTP/1.1\r\nHost: localhost:56417\r\nOrigin: " + kPage +
        "\r\nAccess-Control-Request-Method: POST\r\n";
    {
        TlsClient client(port, false, "NORMAL", root);
        const auto reply = client.send(
            preflight +
            "Access-Control-Request-Private-Network: true\r\nConnection: keep-alive\r\n\r\n");
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->status, 204);
        EXPECT_EQ(reply->headers.at("access-control-allow-origin"), kPage);
        EXPECT_EQ(reply->headers.at("access-control-allow-methods"), "POST");
        EXPECT_EQ(reply->headers.at("access-control-allow-private-network"), "true");
        EXPECT_EQ(reply->headers.at("access-control-max-age"), "30");
        EXPECT_EQ(reply->headers.at("keep-alive"), "timeout=15, max=100");
    }
    for (const std::string& refused :
         {preflight + "\r\n", preflight + "Access-Control-Request-Private-Network: TRUE\r\n\r\n",
          std::string("GET / HTTP/1.1\r\nHost: localhost:56417\r\n\r\n")}) {
        TlsClient client(port, false, "NORMAL", root);
        EXPECT_FALSE(client.send(refused).has_value()) << refused;
    }
}

TEST_F(Https, OldTlsGetsNoAnswerAtAll) {
    TlsClient old(port, false, "NORMAL:-VERS-ALL:+VERS-TLS1.1:+VERS-TLS1.0", root);
    EXPECT_FALSE(old.connected());
    EXPECT_FALSE(old.send(formPost(encodeParameter("{\"a\":\"b\"}"), "localhost:1")).has_value());
    for (const char* version : {"+VERS-TLS1.2", "+VERS-TLS1.3"}) {
        TlsClient current(port, false, std::string("NORMAL:-VERS-ALL:") + version, root);
        EXPECT_TRUE(current.connected()) << version << ": " << current.error();
    }
}

TEST_F(Https, HostMustNameLoopbackWithAPort) {
    const std::pair<std::string, bool> hosts[] = {
        {"localhost:56417", true},        {"127.0.0.1:56517", true},
        {"LOCALHOST:56417", false},       {"localhost", false},
        {"[::1]:56617", false},           {"", false},
        {"localhost.evil.test:1", false},
    };
    for (const auto& [host, passes] : hosts) {
        SCOPED_TRACE(host);
        const auto reply = post(R"({"FunctionName":"CorvantixClose"})", {{"Origin", kPage}}, host);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->status, 200);
        const auto fields = decodeReply(reply->body);
        if (passes) {
            EXPECT_EQ(fields.count("result"), 0u);
            EXPECT_EQ(reply->headers.at("access-control-allow-origin"), kPage);
        } else {
            EXPECT_EQ(fields.at("result"), "61904");
            EXPECT_FALSE(reply->has("access-control-allow-origin"));
        }
    }
}

TEST_F(Https, OriginFallsBackToTheReferer) {
    const std::string json = R"({"FunctionName":"CorvantixClose"})";
    auto reply =
        post(json, {{"Origin", "null"}, {"Referer", "https://www.corvantix-bank.test:8443/x/y"}});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->headers.at("access-control-allow-origin"),
              "https://www.corvantix-bank.test:8443");
    const Fields refused[] = {{{"Referer", "nonsense"}}, {{"Origin", "null"}}, {}};
    for (const auto& headers : refused) {
        EXPECT_EQ(call(json, headers).at("result"), "61012");
    }
    // An origin in the URL is not the browser's word for it.
    TlsClient client(port, false, "NORMAL", root);
    std::string raw = formPost(encodeParameter(json), "localhost:56417");
    raw.replace(0, 6, "POST /?origin=https%3A%2F%2Fwww.corvantix-bank.test ");
    reply = client.send(raw);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(decodeReply(reply->body).at("result"), "61012");
}

TEST_F(Https, ReplyFormAndHeaders) {
    const std::string id = openSessionId();
    const auto reply = post(
        R"({"FunctionName":"setCorvantixValue","SessionId":")" + id +
            R"(","channel":"c","domain_list":"www.corvantix-bank.test","value":"v>>?","timeout":"5"})",
        {{"Origin", kPage}});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, R"({"result": "MA=="})");
    EXPECT_EQ(reply->headers.at("x-xss-protection"), "1; mode=block");
    EXPECT_FALSE(reply->has("keep-alive"));
    EXPECT_FALSE(reply->has("content-type"));
}

TEST_F(Https, BodiesThatCannotBeReadAreDroppedUnanswered) {
    TlsClient client(port, false, "NORMAL", root);
    EXPECT_FALSE(
        client.send(formPost("%%%not-base64", "localhost:56417", {{"Origin", kPage}})).has_value());

    // Valid requests whose Base64 text is just under, at and just over the
    // bound on what a request may post: only the ones within it are answered.
    const std::string id = openSessionId();
    const auto request = [&](const std::string& arg, std::size_t base64Size) {
        const std::string head =
            R"({"FunctionName":"Work","SessionId":")" + id + R"(","arg":")" + arg + R"(","pad":")";
        const std::string tail = "\"}";
        // Base64 carries 3 bytes in 4 characters: 3/4 of a multiple of 4.
        const std::size_t json = base64Size / 4 * 3;
        std::string text = head + std::string(json - head.size() - tail.size(), 'x') + tail;
        EXPECT_EQ(base64Encode(text).size(), base64Size);
        return text;
    };
    static_assert(kMaxPostedText % 4 == 0);
    for (const auto& [arg, size] :
         {std::pair<std::string, std::size_t>{"under", kMaxPostedText - 4},
          std::pair<std::string, std::size_t>{"at", kMaxPostedText}}) {
        const auto reply = post(request(arg, size));
        ASSERT_TRUE(reply.has_value()) << arg;
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(decodeReply(reply->body)["result"], "Work:" + arg);
    }
    EXPECT_FALSE(post(request("over", kMaxPostedText + 4)).has_value());

    // Still serving afterwards: a close without an id only hands out a new one.
    const auto reply = call(R"({"FunctionName":"CorvantixClose"})");
    EXPECT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply.count("SessionID"), 1u);
}

TEST_F(Https, FirstEchoOpensOnlyWithAServerMinimum) {
    const std::string path = R"(,"PathID":")" + std::string(kCorvantixPathId) + "\"";
    auto reply = call(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0")" + path + "}");
    EXPECT_EQ(reply.at("result"), "0");
    EXPECT_EQ(reply.at("ServerVersion"), "1.0.22.0804");
    EXPECT_EQ(reply.at("LibVersion"), "1,0,18,719");
    EXPECT_EQ(reply.at("SessionID").size(), 12u);

    reply = call(R"({"FunctionName":"Echo")" + path + "}");
    EXPECT_EQ(reply, (Fields{{"result", "61203"}}));
    reply = call(R"({"FunctionName":"Echo","minServerVersion":"9.0.0.0")" + path + "}");
    EXPECT_EQ(reply, (Fields{{"result", "61203"}}));
    reply =
        call(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","minLibVersion":"2.0.0.0")" +
             path + "}");
    EXPECT_EQ(reply, (Fields{{"result", "61204"}}));
}

TEST_F(Https, PathRules) {
    const std::string echo = R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0",)";
    EXPECT_EQ(call(echo + R"("LibDir":"Vondel","ComName":"VondelTaveloZynAdapter"})").at("result"),
              "0");
    EXPECT_EQ(call(echo + R"("LibDir":"Other","ComName":"VondelTaveloZynAdapter"})").at("result"),
              "61009");
    // An unknown identifier must not let the request name its own library.
    EXPECT_EQ(call(echo + R"("PathID":"00","LibDir":"Vondel","ComName":"VondelTaveloZynAdapter"})")
                  .at("result"),
              "61009");
    EXPECT_EQ(call(echo + R"("LibDir":"..","ComName":"VondelTaveloZynAdapter"})").at("result"),
              "61009");
}

TEST_F(Https, SessionsAreFoundByIdWithin) {
    const std::string id = openSessionId();
    const auto reply = call(R"({"FunctionName":"Work","arg":"7","SessionId":")" + id + "-extra\"}");
    EXPECT_EQ(reply.at("result"), "Work:7");
    EXPECT_EQ(reply.count("SessionID"), 0u);
    EXPECT_EQ(unlocks(), 1);
}

TEST_F(Https, BrowserModeSkipsReleaseButNotForceRelease) {
    const auto opened = call(
        R"({"FunctionName":"Echo","CorvantixMode":"true","minServerVersion":"1.0.0.0","PathID":")" +
        std::string(kCorvantixPathId) + "\"}");
    const std::string id = opened.at("SessionID");
    const auto copies = [&] {
        int n = 0;
        for (const auto& e : fs::recursive_directory_iterator(sessionDataFolder() / "Tempfile")) {
            n += e.is_regular_file();
        }
        return n;
    };
    EXPECT_EQ(copies(), 1);
    call(R"({"FunctionName":"CorvantixRelease","SessionId":")" + id + "\"}");
    EXPECT_EQ(copies(), 1);
    const auto echo = call(R"({"FunctionName":"Echo","SessionId":")" + id + "\"}");
    EXPECT_EQ(echo.at("LibVersion"), "1,0,18,719");
    EXPECT_EQ(echo.at("result"), "0");
    call(R"({"FunctionName":"CorvantixForceRelease","SessionId":")" + id + "\"}");
    EXPECT_EQ(copies(), 0);
}

TEST_F(Https, CloseOfAnUnknownSessionOpensNothing) {
    const auto reply = post(R"({"FunctionName":"CorvantixClose","SessionId":"NOPE_SID"})");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->body, "{}");
    EXPECT_EQ(unlocks(), 0);
}

TEST_F(Https, ValueStoreOnOpenSessionsOnly) {
    const std::string path = R"(,"PathID":")" + std::string(kCorvantixPathId) + "\"";
    // A new session forwards the name to its adapter.
    auto reply =
        call(R"({"FunctionName":"getCorvantixValue","channel":"c","minServerVersion":"1.0.0.0")" +
             path + "}");
    EXPECT_EQ(reply.at("result"), "getCorvantixValue:");
    const std::string id = reply.at("SessionID");

    reply = call(
        R"({"FunctionName":"setCorvantixValue","SessionId":")" + id +
        R"(","channel":"c","domain_list":"www.corvantix-bank.test","value":"secret","timeout":"5"})");
    EXPECT_EQ(reply.at("result"), "0");
    const std::string get =
        R"({"FunctionName":"getCorvantixValue","SessionId":")" + id + R"(","channel":"c"})";
    EXPECT_EQ(call(get).at("result"), "secret");
    // Another page reads through a session of its own, and only what its
    // origin is listed for.
    const Fields evil = {{"Origin", "https://evil.test"}};
    const std::string evilId =
        call(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0")" + path + "}", evil)
            .at("SessionID");
    EXPECT_EQ(call(R"({"FunctionName":"getCorvantixValue","SessionId":")" + evilId +
                       R"(","channel":"c"})",
                   evil)
                  .at("result"),
              "");
    EXPECT_EQ(
        call(R"({"FunctionName":"setCorvantixValue","SessionId":")" + id + R"(","channel":"c"})")
            .at("result"),
        "61005");
}

TEST_F(Https, AnExceptionInARequestClosesOnlyThatRequest) {
    const std::string id = openSessionId();
    const std::string work =
        R"({"FunctionName":"Work","arg":"1","topuidetect":true,"SessionId":")" + id + "\"}";
    setTopUIThreadFault(true);
    EXPECT_FALSE(post(work).has_value());
    setTopUIThreadFault(false);
    // The request lock was let go and the service goes on.
    EXPECT_EQ(call(work).at("result"), "Work:1");
}

TEST_F(Https, OnceClosingNoRequestIsServed) {
    const std::string id = openSessionId();
    {
        std::lock_guard guard(requestLock());
        setSessionsClosing();
    }
    const std::string echo = R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" +
                             std::string(kCorvantixPathId) + R"("})";
    EXPECT_FALSE(post(echo).has_value());
    EXPECT_FALSE(post(R"({"FunctionName":"Work","SessionId":")" + id + "\"}").has_value());
    EXPECT_EQ(unlocks(), 1);
}

TEST_F(Https, ClientsPostingAtOnceGetTheirOwnAnswers) {
    // Each daemon has one polling thread; with a second daemon two requests
    // are in the service at once, and only the request lock keeps them apart
    // (all clients share one session and so one adapter copy).
    MHD_Daemon* second = startDaemon();
    ASSERT_NE(second, nullptr);
    const int ports[] = {port, MHD_get_daemon_info(second, MHD_DAEMON_INFO_BIND_PORT)->port};
    const std::string id = openSessionId();
    constexpr int kClientsPerDaemon = 6;
    constexpr int kRequests = 60;
    std::vector<std::thread> clients;
    std::atomic<int> wrong{0};
    std::atomic<int> answered{0};
    // The clients start while the lock is held here, as the final function
    // holds it: no daemon may answer until it is free.
    std::unique_lock held(requestLock());
    for (int c = 0; c < 2 * kClientsPerDaemon; ++c) {
        clients.emplace_back([&, c] {
            TlsClient client(ports[c % 2], false, "NORMAL", root);
            for (int i = 0; i < kRequests; ++i) {
                // Long, and of a length of its own, so that answers mixed up or
                // written over one another show.
                const std::string arg = std::to_string(c) + "-" + std::to_string(i) + "-" +
                                        std::string(4096 + 64 * c + i, static_cast<char>('a' + c));
                const auto reply = client.send(
                    formPost(encodeParameter(R"({"FunctionName":"Work","SessionId":")" + id +
                                             R"(","arg":")" + arg + "\"}"),
                             "localhost:56417", {{"Origin", kPage}, {"Connection", "keep-alive"}}));
                if (!reply || decodeReply(reply->body)["result"] != "Work:" + arg) {
                    ++wrong;
                } else {
                    ++answered;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(answered + wrong, 0);
    held.unlock();
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(answered, 2 * kClientsPerDaemon * kRequests);
}

// On a kept-alive connection an answer's headers and body leave together in
// one write; held back any longer, each answer would wait for the kernel's
// cork timer (200 ms). Now and then an answer too long to be held back.
TEST_F(Https, KeptAliveAnswersLeaveAtOnceWhateverTheirSize) {
    const std::string id = openSessionId();
    TlsClient client(port, false, "NORMAL", root);
    ASSERT_TRUE(client.connected()) << client.error();
    constexpr int kRequests = 40;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        const std::string arg = std::to_string(i) + std::string(i % 4 == 3 ? 20000 : 10, 'x');
        const auto reply = client.send(
            formPost(encodeParameter(R"({"FunctionName":"Work","SessionId":")" + id +
                                     R"(","arg":")" + arg + "\"}"),
                     "localhost:56417", {{"Origin", kPage}, {"Connection", "keep-alive"}}));
        ASSERT_TRUE(reply.has_value()) << i;
        EXPECT_EQ(decodeReply(reply->body)["result"], "Work:" + arg) << i;
        EXPECT_EQ(reply->headers.at("keep-alive"), "timeout=15, max=100") << i;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

} // namespace
