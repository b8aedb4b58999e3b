#include "tests/program/ServiceProgram.h"

#include "common/Json.h"
#include "common/Tool.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/support/TlsClient.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace service_program {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Sandbox;

std::string encodeParameter(const std::string& json) {
    std::string text = replaceString(base64Encode(json), "+", "%2B");
    text = replaceString(text, "/", "%2F");
    return replaceString(text, "=", "%3D");
}

Reply decodeReply(const std::string& body) {
    Reply out;
    if (const JsonMapPtr map = parseJsonMap(body)) {
        for (int i = 0; i < map->count; ++i) {
            const auto& e = map->entries[i];
            if (e.key != nullptr && e.textValue != nullptr) {
                out[e.key] = base64Decode(e.textValue);
            }
        }
    }
    return out;
}

std::optional<Reply> postReply(int port, bool ipv6, const std::string& json,
                               const std::string& origin) {
    testing_support::TlsClient client(port, ipv6);
    if (!client.connected()) {
        return std::nullopt;
    }
    const auto reply = client.send(testing_support::formPost(
        encodeParameter(json), "localhost:" + std::to_string(port), {{"Origin", origin}}));
    if (!reply) {
        return std::nullopt;
    }
    return decodeReply(reply->body);
}

std::string resultOf(const std::optional<Reply>& reply) {
    if (!reply) {
        return "<closed>";
    }
    const auto found = reply->find("result");
    return found != reply->end() ? found->second : "<none>";
}

std::optional<std::string> post(int port, bool ipv6, const std::string& json,
                                const std::string& origin) {
    const auto reply = postReply(port, ipv6, json, origin);
    if (!reply) {
        return std::nullopt;
    }
    const auto found = reply->find("result");
    return found != reply->end() ? found->second : std::string();
}

std::optional<Reply> echoReply(const std::string& sessionId, const std::string& origin, int port) {
    std::string json =
        R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId + "\"";
    if (!sessionId.empty()) {
        json += R"(,"SessionId":")" + sessionId + "\"";
    }
    return postReply(port, false, json + "}", origin);
}

std::optional<std::string> echo(int port, bool ipv6) {
    return post(port, ipv6,
                R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId +
                    "\"}");
}

ServiceProgram::ServiceProgram(Adapter adapter) {
    program = box.root() / "Program" / "VondelCorvantix";
    fs::create_directories(program.parent_path() / "Vondel");
    fs::copy_file(SERVICE_PROGRAM, program);
    const auto target = program.parent_path() / "Vondel" / "VondelTaveloZynAdapter.so";
    if (adapter == Adapter::RealControl) {
        fs::copy_file(ADAPTER_LIBRARY, target);
        // Registered as its installer does, in the sandbox's registry.
        EXPECT_EQ(testing_support::runProgram({TAVELO_REGISTER, TAVELO_LIBRARY}), 0);
    } else if (adapter == Adapter::Real) {
        fs::copy_file(ADAPTER_LIBRARY, target);
        // The service sees the registration: the registry lives in the sandbox.
        EXPECT_EQ(fake_tavelo::registerControl(), S_OK);
    } else {
        fs::copy_file(FAKE_ADAPTER, target);
    }
    logFile = box.root() / "service.log";
}

void ServiceProgram::TearDown() {
    for (const pid_t pid : running) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void ServiceProgram::enableLog() {
    box.write("Program/VondelCorvantix.ini",
              "[VondelCorvantix]\nLog File=" + logFile.string() + "\nLog Level=5\n");
}

std::string ServiceProgram::log() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(box.root())) {
        if (e.path().filename().string().starts_with("service_")) {
            all += Sandbox::read(e.path());
        }
    }
    return all;
}

pid_t ServiceProgram::start(const std::string& argument, unsigned openFiles) {
    std::vector<std::string> command = {program.string(), argument};
    if (openFiles != 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const std::string hard =
            limit.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_max);
        // prlimit execs the program itself: the pid is the program's.
        command.insert(command.begin(),
                       {"prlimit", "--nofile=" + std::to_string(openFiles) + ":" + hard, "--"});
    }
    const pid_t pid = testing_support::startProgram(command);
    running.push_back(pid);
    return pid;
}

bool ServiceProgram::ready(int port, bool ipv6) {
    for (int i = 0; i < 200; ++i) {
        if (echo(port, ipv6) == "0") {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int ServiceProgram::waitExit(pid_t pid, std::chrono::milliseconds limit) {
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

int ServiceProgram::adapterCopies() const {
    int n = 0;
    const auto temp = box.root() / "ProgramData" / "VondelCorvantix" / "Tempfile";
    for (const auto& e : fs::recursive_directory_iterator(temp)) {
        n += e.is_regular_file();
    }
    return n;
}

} // namespace service_program
