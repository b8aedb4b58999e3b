#include "service/Corvantix.h"

#include "common/Barrier.h"
#include "common/Json.h"
#include "common/LogEscape.h"
#include "common/Message.h"
#include "common/QxLog.h"
#include "common/ResultCode.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/event/NamedEvent.h"
#include "platform/text/TextCodec.h"
#include "service/CorvantixSession.h"
#include "service/Key.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <sys/select.h>
#include <thread>

namespace {

constexpr int kKindPost = 1;
constexpr int kKindOther = 2;
// The form parser's buffer, cleared for every request: a longer value
// reaches the iterator in pieces.
constexpr std::size_t kPostBufferSize = 1024;
constexpr std::size_t kHostMax = 63;
constexpr const char* kSeparator =
    "===============================================================================";

// One per request: the posted text stays with its own request.
struct ConnectionRecord {
    int kind = kKindOther;
    MHD_PostProcessor* parser = nullptr;
    std::string posted;
    bool overflow = false;
};

// Only what the request's headers say: a URL argument, cookie or form field
// must never stand in for the browser's own Host, Origin or Referer.
std::string header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

std::string protocolName(int protocol) {
    switch (protocol) {
    case 4:
        return "TLS 1.2";
    case 5:
        return "TLS 1.3";
    case 200:
        return "DTLS 0.9";
    case 201:
        return "DTLS 1.0";
    case 202:
        return "DTLS 1.2";
    default:
        return "";
    }
}

void errorReply(JsonMapPtr& reply, int code) {
    if (!reply) {
        reply = newJsonMap();
    }
    if (reply) {
        setJsonMapResult(reply.get(), code);
    }
}

MHD_Result sendResponse(MHD_Connection* connection, bool preflight, JsonMapPtr reply,
                        std::string origin) {
    MHD_Response* response = nullptr;
    unsigned status = MHD_HTTP_OK;
    if (!preflight) {
        if (!reply) {
            return MHD_NO;
        }
        auto text = jsonMapToString(reply.get());
        reply.reset();
        if (!text) {
            CORVANTIX_ALLOCATION_FAILURE();
            return MHD_NO;
        }
        response =
            MHD_create_response_from_buffer(text->size(), text->data(), MHD_RESPMEM_MUST_COPY);
        std::fill(text->begin(), text->end(), '\0');
    } else {
        origin = header(connection, "origin");
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        status = MHD_HTTP_NO_CONTENT;
    }
    if (response == nullptr) {
        return MHD_NO;
    }
    if (origin.starts_with("http")) {
        MHD_add_response_header(response, "Access-Control-Allow-Origin", origin.c_str());
    }
    if (toLowerString(header(connection, "Connection")) == "keep-alive") {
        MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
    }
    if (preflight) {
        MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
        MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
        MHD_add_response_header(response, "Access-Control-Max-Age", "30");
    } else {
        MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    }
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

// The final call of a POST: checks, parse, dispatch, reply.
MHD_Result answerPost(MHD_Connection* connection, ConnectionRecord& record) {
    logNormal("", "Release Mode");
    JsonMapPtr reply;
    std::string origin;
    const auto finish = [&](MHD_Result result) {
        record.posted.clear();
        if (logWritersOn()) {
            logPrint(5, 0, "%s", kSeparator);
        }
        return result;
    };

    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (info == nullptr) {
        logWarning("", "Get connection information error");
        errorReply(reply, kResultNotAvailable);
        return finish(sendResponse(connection, false, std::move(reply), origin));
    }
    const int protocol = info->protocol;
    if (protocol == 2 || protocol == 3) {
        logWarning("Insecure connection: ", protocol == 2 ? "TLS 1.0" : "TLS 1.1");
        return finish(MHD_NO);
    }
    const std::string name = protocolName(protocol);
    if (name.empty()) {
        logWarning("Insecure connection: ", "Unknow connection protocol");
        logWarningInt("", protocol);
        return finish(MHD_NO);
    }
    logNormal("TLS version: ", name);

    const std::string host = header(connection, "host").substr(0, kHostMax);
    logNormal("Host: ", host);
    if (!host.starts_with("localhost:") && !host.starts_with("127.0.0.1:")) {
        logWarning("", "This connection is NOT from localhost");
        errorReply(reply, kResultNotLocalhost);
        return finish(sendResponse(connection, false, std::move(reply), origin));
    }

    if (record.overflow) {
        return finish(MHD_NO);
    }
    std::string decoded = decodeEscapedBase64(record.posted);
    record.posted.clear();
    JsonMapPtr request = parseJsonMap(decoded);
    std::fill(decoded.begin(), decoded.end(), '\0');
    if (!request) {
        CORVANTIX_ALLOCATION_FAILURE();
        return finish(MHD_NO);
    }

    const std::string referer = header(connection, "referer");
    logNormal("Referer: ", referer);
    origin = header(connection, "origin");
    logNormal("Origin: ", origin);
    if (origin.empty() || origin == "null") {
        logWarning("Empty origin: ", origin);
        logWarning("Extract origin from referer: ", "Start");
        if (referer.empty() || referer == "null") {
            logWarning("Empty Referer: ", referer);
            logWarning("Extract origin from referer: ", "Fail");
            errorReply(reply, kResultNoOrigin);
            return finish(sendResponse(connection, false, std::move(reply), ""));
        }
        const auto fields = splitString(referer, "/");
        for (std::size_t i = 0; i < fields.size(); ++i) {
            logNormal("UrlList[" + std::to_string(i) + "]: ", fields[i]);
        }
        if (fields.size() < 3) {
            logWarning("", "UrlList error: ");
            logWarning("Extract origin from referer: ", "Fail");
            errorReply(reply, kResultNoOrigin);
            return finish(sendResponse(connection, false, std::move(reply), ""));
        }
        origin = fields[0] + "/" + fields[1] + "/" + fields[2];
        logNormal("New Origin: ", origin);
    }

    reply = dispatchSession(request.get(), origin);
    request.reset();
    return finish(sendResponse(connection, false, std::move(reply), origin));
}

MHD_Result acceptPeer(const struct sockaddr* address, socklen_t length) {
    if (address != nullptr && address->sa_family == AF_INET &&
        length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in peer{};
        std::memcpy(&peer, address, sizeof peer);
        if (ntohl(peer.sin_addr.s_addr) == INADDR_LOOPBACK) {
            return MHD_YES;
        }
    }
    // The 14 data bytes of the address, each as a signed byte.
    std::string text;
    if (address != nullptr) {
        for (std::size_t i = 0; i < sizeof address->sa_data; ++i) {
            text += (i ? "." : "") + std::to_string(static_cast<signed char>(address->sa_data[i]));
        }
    }
    logWarning("Illegal connection ip: ", text);
    return MHD_NO;
}

MHD_Result collectParameter(ConnectionRecord& record, const char* key, const char* data,
                            size_t size) {
    if (key == nullptr || std::strcmp(key, "Parameter") != 0 || data == nullptr) {
        return MHD_YES;
    }
    if (record.posted.size() + size > kMaxPostedText) {
        record.overflow = true;
        record.posted.clear();
        return MHD_NO;
    }
    record.posted.append(data, size);
    return MHD_YES;
}

MHD_Result postIterator(void* cls, enum MHD_ValueKind /*kind*/, const char* key,
                        const char* /*fileName*/, const char* /*contentType*/,
                        const char* /*transferEncoding*/, const char* data, uint64_t /*offset*/,
                        size_t size) {
    return exceptionBarrier("Post iterator exception: ", MHD_NO, [&] {
        return collectParameter(*static_cast<ConnectionRecord*>(cls), key, data, size);
    });
}

MHD_Result handleRequest(MHD_Connection* connection, const char* method, const char* uploadData,
                         size_t* uploadSize, void** stored) {
    auto* record = static_cast<ConnectionRecord*>(*stored);
    const bool isPost = std::strcmp(method, "POST") == 0;
    if (record == nullptr) {
        auto fresh = std::make_unique<ConnectionRecord>();
        if (isPost) {
            fresh->parser =
                MHD_create_post_processor(connection, kPostBufferSize, postIterator, fresh.get());
            if (fresh->parser == nullptr) {
                return MHD_NO;
            }
            fresh->kind = kKindPost;
        }
        *stored = fresh.release();
        return MHD_YES;
    }
    if (!isPost) {
        if (std::strcmp(method, "OPTIONS") == 0 &&
            header(connection, "Access-Control-Request-Method") == "POST" &&
            header(connection, "Access-Control-Request-Private-Network") == "true") {
            return sendResponse(connection, true, nullptr, "");
        }
        logError("Request method error: ", method);
        return MHD_NO;
    }
    if (*uploadSize != 0) {
        if (record->overflow) {
            return MHD_NO;
        }
        MHD_post_process(record->parser, uploadData, *uploadSize);
        *uploadSize = 0;
        return record->overflow ? MHD_NO : MHD_YES;
    }
    std::lock_guard guard(requestLock());
    // Once the final function has begun, no request is served: a session
    // opened now would never be released.
    if (sessionsClosing()) {
        return MHD_NO;
    }
    return answerPost(connection, *record);
}

MHD_Result acceptPolicy(void* /*cls*/, const struct sockaddr* address, socklen_t length) {
    return exceptionBarrier("Accept policy exception: ", MHD_NO,
                            [&] { return acceptPeer(address, length); });
}

MHD_Result requestHandler(void* /*cls*/, struct MHD_Connection* connection, const char* /*url*/,
                          const char* method, const char* /*version*/, const char* uploadData,
                          size_t* uploadSize, void** stored) {
    return exceptionBarrier("Request handler exception: ", MHD_NO, [&] {
        return handleRequest(connection, method, uploadData, uploadSize, stored);
    });
}

void requestCompleted(void* /*cls*/, struct MHD_Connection* /*connection*/, void** stored,
                      enum MHD_RequestTerminationCode /*reason*/) {
    auto* record = static_cast<ConnectionRecord*>(*stored);
    *stored = nullptr;
    if (record == nullptr) {
        return;
    }
    if (record->parser != nullptr) {
        MHD_destroy_post_processor(record->parser);
    }
    std::fill(record->posted.begin(), record->posted.end(), '\0');
    delete record;
}

// The library's last words on this thread: why a daemon did not start.
thread_local std::string lastLibraryMessage;

void httpLogger(void* /*cls*/, const char* format, va_list arguments) {
    exceptionBarrier("Http logger exception: ", [&] {
        // The library ends its messages with a line end; the log adds its own.
        char text[1024];
        va_list copy;
        va_copy(copy, arguments);
        std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        std::string_view message(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.remove_suffix(1);
        }
        lastLibraryMessage = message;
        // What it says may quote a request: data, like every logged value.
        std::string line;
        appendLogEscaped(line, message);
        logPrint(5, 0, "%s", line.c_str());
    });
}

} // namespace

std::string tlsPriorities() {
    return std::string("NORMAL:!VERS-TLS-ALL:!SHA1") + ":+VERS-TLS1.2" + ":+VERS-TLS1.3";
}

std::mutex& requestLock() {
    static std::mutex lock;
    return lock;
}

unsigned connectionLimit() {
    rlimit limit{};
    rlim_t files = FD_SETSIZE;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        files = limit.rlim_cur;
    }
    // Without epoll or poll the library selects: nothing at or above FD_SETSIZE.
    if (MHD_is_feature_supported(MHD_FEATURE_EPOLL) != MHD_YES &&
        MHD_is_feature_supported(MHD_FEATURE_POLL) != MHD_YES) {
        files = std::min<rlim_t>(files, FD_SETSIZE);
    }
    const rlim_t kept = std::max<rlim_t>(files / 4, 256);
    const rlim_t share = files > kept ? (files - kept) / kDaemonCount : 0;
    return static_cast<unsigned>(std::clamp<rlim_t>(share, 16, 2048));
}

bool raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

struct MHD_Daemon* startHttpsDaemon(unsigned flags, const struct sockaddr* address,
                                    const char* certificatePem, const char* keyPem,
                                    const char* priorities) {
    const bool ipv6 = (flags & MHD_USE_IPv6) != 0;
    const std::uint16_t port =
        ipv6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port)
             : ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    return MHD_start_daemon(
        flags, port, ipv6 ? nullptr : acceptPolicy, nullptr, requestHandler, nullptr,
        MHD_OPTION_EXTERNAL_LOGGER, httpLogger, nullptr, MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_HTTPS_MEM_CERT, certificatePem, MHD_OPTION_HTTPS_MEM_KEY, keyPem,
        MHD_OPTION_HTTPS_PRIORITIES, priorities, MHD_OPTION_NOTIFY_COMPLETED, requestCompleted,
        nullptr, MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
        MHD_OPTION_CONNECTION_LIMIT, connectionLimit(), MHD_OPTION_END);
}

// ---- The service program --------------------------------------------------

namespace {

constexpr const char* kPortText = "port=56417 56517 56617";
constexpr const char* kDebugModeEvent = "VondelCorvantix_DEBUG_MODE";
// The IPv4 daemons' flags on ::1.
constexpr unsigned kDaemonFlagsIpv6 = kDaemonFlagsIpv4 | MHD_USE_IPv6;

std::atomic<bool> quitFlag{false};
std::atomic<bool> logStarted{false};
std::unique_ptr<platform::NamedEvent> debugEvent;

constexpr const char* kBanner =
    "*************************************Corvantix*********************************";

std::string addressText(bool ipv6, int port) {
    return std::string(ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port);
}

// A running daemon, stopped when it goes. serviceMain holds them, never
// static storage: a quit by lock mode ends the process at once with _Exit,
// and no daemon stop may run from a static destructor then.
struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
};
using DaemonOwner = std::unique_ptr<MHD_Daemon, DaemonStop>;

// Probes the address and port first and starts nothing when they are taken.
DaemonOwner launchDaemon(unsigned flags, const struct sockaddr* address, const char* certificatePem,
                         const char* keyPem, const char* priorities) {
    if (address == nullptr || (address->sa_family != AF_INET && address->sa_family != AF_INET6)) {
        logErrorInt("Unknow address family: ", address != nullptr ? address->sa_family : -1);
        return nullptr;
    }
    const bool ipv6 = address->sa_family == AF_INET6;
    const int port = ipv6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port)
                          : ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    const std::string message = "Detect port " + std::to_string(port) + " state: ";
    const std::string state =
        std::string(kProductWord) + " at " + addressText(ipv6, port) + " launch state: ";
    // An address not taken is an error with its cause: whoever runs the
    // service must learn which address another program holds.
    if (detectPort(port, ipv6)) {
        logNormal(message, "In use, try next port");
        logError(state, "Fail: the address and port are in use by another program");
        return nullptr;
    }
    logNormal(message, "Free");
    lastLibraryMessage.clear();
    DaemonOwner daemon(startHttpsDaemon(flags, address, certificatePem, keyPem, priorities));
    if (daemon) {
        logNormal(state, "Success");
    } else {
        logError(state,
                 "Fail: " + (lastLibraryMessage.empty() ? std::string("refused by the library")
                                                        : lastLibraryMessage));
    }
    return daemon;
}

// The receivers' final function: releases every session, then asks the
// main loop to end.
void finalFunction() {
    {
        // Never in the middle of a request; once closing, none begins.
        std::lock_guard guard(requestLock());
        setSessionsClosing();
        exceptionBarrier("Release adapters exception: ", [] { releaseAllAdapters(); });
    }
    logNormal("[CorvantixFinal] ", "Release adapters success");
    logNormal("[CorvantixFinal] ", "Ready to suicide");
    quitFlag = true;
}

// Opens (never creates) the debug-mode event; true when opened now.
bool openDebugStatusEvent() {
    if (debugEvent) {
        return false;
    }
    debugEvent = platform::NamedEvent::open(kDebugModeEvent);
    return debugEvent != nullptr;
}

// Each signal of the debug-mode event sets logging to what the INI file says.
// Pulses are counted, so one that comes during the pause is followed too.
[[noreturn]] void logSwitchThread() {
    std::uint32_t seen = debugEvent ? debugEvent->pulseCount() : 0;
    for (;;) {
        const auto result = debugEvent ? debugEvent->waitForPulse(seen, platform::kInfinite)
                                       : platform::WaitResult::Failed;
        if (result == platform::WaitResult::Signalled) {
            logStarted = followLogIni(kProductWord);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

int serviceMain(int argc, char** argv) {
    auto dataFolder = getCopyPath(kProductWord);
    if (dataFolder.empty()) {
        logError("Extract copy path: ", "Fail");
        return 0;
    }
    logStarted = setLog(kProductWord);
    if (logWritersOn()) {
        logPrint(5, 0, "%s", kBanner);
    }
    logNormal("Execute setting: ", "Vondel");
    logNormal("Compile time: ", std::string(__DATE__) + " " + __TIME__);
    logNormal("Git time: ", CORVANTIX_GIT_TIME);

    const std::string argument = argc > 1 ? std::string(argv[1]).substr(0, 64) : "";
    if (!argument.empty() && argument != "0") {
        if (logWritersOn()) {
            logPrint(5, 0, "%s", kSeparator);
        }
        logWarning("Detected Corvantix crash", "");
        if (logWritersOn()) {
            logPrint(5, 0, "%s", kSeparator);
        }
    }
    const std::uint32_t flags = getOsFlags();
    if (flags != 0) {
        logNormal("Environment: ",
                  getOsName(flags) + " " + ((flags & 0x200000) != 0 ? "64 bit" : "32 bit"));
    }
    registerFinalFunction(finalFunction);

    const auto programFolder = getExecutePath();
    if (!programFolder || programFolder->empty()) {
        logError("Extract execute path: ", "Fail");
        return 0;
    }
    logNormalW("CopyPath: ", platform::utf8ToUtf16(dataFolder.string()));
    logNormalW("Execute path: ", platform::utf8ToUtf16(programFolder->string()));

    int ports[3] = {0, 0, 0};
    std::sscanf(kPortText, "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
    logNormal("Support port: ", std::to_string(ports[0]) + " " + std::to_string(ports[1]) + " " +
                                    std::to_string(ports[2]));

    dataFolder = getCopyPath(removeExeExtension("VondelCorvantix.exe"));
    initSessionArea();
    logNormal("Corvantix Version: ", kServiceVersion);
    // Only now: a quit that arrived while the session area was being
    // prepared would release slots as they are written.
    startIpc(kChannelService);

    std::array<std::array<DaemonOwner, 2>, 3> daemons;
    int started = 0;
    const auto certificate = getServerCertificate();
    if (!certificate) {
        CORVANTIX_ALLOCATION_FAILURE();
    } else if (auto key = releaseServerKey(chooseServerKeyKind(flags)); !key) {
        CORVANTIX_ALLOCATION_FAILURE();
    } else {
        const std::string priorities = tlsPriorities();
        for (std::size_t i = 0; i < 3; ++i) {
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            v4.sin_port = htons(static_cast<std::uint16_t>(ports[i]));
            sockaddr_in6 v6{};
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_loopback;
            v6.sin6_port = htons(static_cast<std::uint16_t>(ports[i]));
            daemons[i][0] = launchDaemon(
                kDaemonFlagsIpv4, reinterpret_cast<sockaddr*>(&v4), certificate->c_str(),
                reinterpret_cast<const char*>(key->data()), priorities.c_str());
            daemons[i][1] = launchDaemon(
                kDaemonFlagsIpv6, reinterpret_cast<sockaddr*>(&v6), certificate->c_str(),
                reinterpret_cast<const char*>(key->data()), priorities.c_str());
            started += (daemons[i][0] != nullptr) + (daemons[i][1] != nullptr);
        }
        // The key leaves memory here: the buffer wipes itself.
        key.reset();
        logNormal("", "HTTPS Mode");
        if (started == 0) {
            logWarning("VondelCorvantix initialization: ", "Fail");
        } else {
            logNormal("VondelCorvantix initialization: ", "Success");
            if (openDebugStatusEvent()) {
                std::thread(logSwitchThread).detach();
            } else {
                logErrorInt("Corvantix debugStatusUpdateEvent init failed. ", errno);
            }
            if (logWritersOn()) {
                logPrint(5, 0, "%s", kSeparator);
            }
            while (!quitFlag) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
    // In port order, each port's IPv4 daemon before its IPv6 one.
    for (auto& pair : daemons) {
        for (auto& daemon : pair) {
            daemon.reset();
        }
    }
    return 0;
}
