#pragma once

// The bank's test page in headless Chromium: a plain HTTP server on loopback
// serves the page under the bank's domain and takes the report the page
// posts back once it has talked to the service.

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <microhttpd.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/types.h>

namespace service_program {

// Serves the bank's page over plain HTTP and takes the page's report.
class PageServer {
public:
    explicit PageServer(std::string page) : page_(std::move(page)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, handle,
                                   this, MHD_OPTION_SOCK_ADDR, &a, MHD_OPTION_END);
        port_ = daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port : 0;
    }
    ~PageServer() {
        if (daemon_ != nullptr) {
            MHD_stop_daemon(daemon_);
        }
    }
    int port() const { return port_; }
    std::optional<std::string> waitReport(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, limit, [&] { return report_.has_value(); })) {
            return std::nullopt;
        }
        return report_;
    }

private:
    static MHD_Result handle(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* data, size_t* size,
                             void** state) {
        auto* server = static_cast<PageServer*>(self);
        if (*state == nullptr) {
            *state = new std::string;
            return MHD_YES;
        }
        auto* body = static_cast<std::string*>(*state);
        if (*size != 0) {
            body->append(data, *size);
            *size = 0;
            return MHD_YES;
        }
        std::string answer;
        if (std::string(method) == "POST" && std::string(url) == "/result") {
            std::lock_guard lock(server->mutex_);
            server->report_ = *body;
            server->arrived_.notify_all();
        } else {
            answer = server->page_;
        }
        delete body;
        *state = nullptr;
        MHD_Response* response =
            MHD_create_response_from_buffer(answer.size(), answer.data(), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, "Content-Type", "text/html; charset=utf-8");
        const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return result;
    }

    std::string page_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<std::string> report_;
};

// tests/program/page.html with the path id and the bank's domain filled in.
std::string bankPage();

// Headless Chromium on url with a new profile folder, the bank's domain
// resolving to loopback; the caller ends it.
pid_t startBrowser(const std::string& url, const std::filesystem::path& profile);

// Opens the page under the bank's domain in headless Chromium with a new
// profile folder (Chromium reads its NSS database below $HOME); what the
// page reported, or nullopt when it never did.
std::optional<std::string> browseBankPage(const std::string& page,
                                          const std::filesystem::path& profile);

} // namespace service_program
