#include "demo/DemoServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>

namespace corvantix_demo {

namespace {

// JSON string contents: the few texts here are ours or checked printable.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

Answer refused(unsigned status, std::string_view why) {
    return {status, "application/json", "{\"error\":" + quoted(why) + "}"};
}

std::string cardState(bool inserted) {
    return std::string("{\"inserted\":") + (inserted ? "true" : "false") + "}";
}

// One printable line: no control characters (UTF-8 beyond ASCII is kept).
bool printableLine(std::string_view text) {
    return !text.empty() && text.size() <= kMaxJournalLine &&
           std::none_of(text.begin(), text.end(), [](char c) {
               const auto b = static_cast<unsigned char>(c);
               return b < 0x20 || b == 0x7F;
           });
}

// The request's body, gathered over the handler's calls.
struct Request {
    std::string body;
    bool tooLarge = false;
};

MHD_Result handle(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* data, size_t* size, void** state) {
    auto* server = static_cast<DemoServer*>(self);
    if (*state == nullptr) {
        *state = new Request;
        return MHD_YES;
    }
    auto* request = static_cast<Request*>(*state);
    if (*size != 0) {
        if (request->body.size() + *size > kMaxBody) {
            request->tooLarge = true;
        } else {
            request->body.append(data, *size);
        }
        *size = 0;
        return MHD_YES;
    }
    const auto header = [&](const char* name) -> std::string_view {
        const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
        return value != nullptr ? value : "";
    };
    const Answer answer =
        request->tooLarge
            ? refused(MHD_HTTP_CONTENT_TOO_LARGE,
                      "the body is larger than " + std::to_string(kMaxBody) + " bytes")
            : server->answer(method, url, header(MHD_HTTP_HEADER_HOST),
                             header(MHD_HTTP_HEADER_ORIGIN), request->body);
    delete request;
    *state = nullptr;
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (answer.type.starts_with("text/html")) {
        // The page loads nothing from elsewhere and talks only to this
        // server and the service.
        MHD_add_response_header(response, "Content-Security-Policy",
                                "default-src 'none'; script-src 'unsafe-inline'; "
                                "style-src 'unsafe-inline'; "
                                "connect-src 'self' https://localhost:56417");
    }
    const MHD_Result result = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return result;
}

void requestEnded(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
}

} // namespace

DemoServer::DemoServer(std::string page, CardSlot& card, std::uint16_t port)
    : page_(std::move(page)), card_(card) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    // A thread per connection: a card move waits for the reader while the
    // page goes on posting to the journal.
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, 0, nullptr,
        nullptr, handle, this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_NOTIFY_COMPLETED,
        requestEnded, nullptr, MHD_OPTION_CONNECTION_LIMIT, 32u, MHD_OPTION_END);
    if (daemon_ != nullptr) {
        port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
}

DemoServer::~DemoServer() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
}

std::string DemoServer::origin() const {
    return "http://" + std::string(kBankHost) + ":" + std::to_string(port_);
}

void DemoServer::onJournal(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(journalMutex_);
    sink_ = std::move(sink);
}

std::vector<std::string> DemoServer::journal() const {
    std::lock_guard lock(journalMutex_);
    return journal_;
}

void DemoServer::addJournal(const std::string& line) {
    std::lock_guard lock(journalMutex_);
    journal_.push_back(line);
    if (sink_) {
        sink_(line);
    }
}

Answer DemoServer::answer(std::string_view method, std::string_view url, std::string_view host,
                          std::string_view origin, std::string_view body) {
    // A name that merely resolves here (DNS rebinding) gets nothing.
    const std::string port = ":" + std::to_string(port_);
    if (host != std::string(kBankHost) + port && host != "127.0.0.1" + port &&
        host != "localhost" + port) {
        return refused(MHD_HTTP_MISDIRECTED_REQUEST,
                       "this server answers only as " + this->origin());
    }
    const bool get = method == "GET";
    const bool post = method == "POST";
    if (post && origin != this->origin()) {
        return refused(MHD_HTTP_FORBIDDEN, "only the demo page at " + this->origin() + " may post");
    }
    if (url == "/" || url == "/index.html") {
        return get ? Answer{200, "text/html; charset=utf-8", page_}
                   : refused(MHD_HTTP_METHOD_NOT_ALLOWED, "the page is read with GET");
    }
    if (url == "/card") {
        return get ? Answer{200, "application/json", cardState(card_.inserted())}
                   : refused(MHD_HTTP_METHOD_NOT_ALLOWED, "the card's state is read with GET");
    }
    if (url.starts_with("/card/")) {
        const std::string_view action = url.substr(6);
        if (action != "remove" && action != "insert") {
            return refused(MHD_HTTP_NOT_FOUND, "the card is moved by /card/remove or /card/insert");
        }
        if (!post) {
            return refused(MHD_HTTP_METHOD_NOT_ALLOWED, "the card is moved with POST");
        }
        return moveCard(action);
    }
    if (url == "/journal") {
        if (get) {
            std::string text;
            for (const auto& line : journal()) {
                text += line + "\n";
            }
            return {200, "text/plain; charset=utf-8", text};
        }
        if (!post) {
            return refused(MHD_HTTP_METHOD_NOT_ALLOWED, "the journal takes GET and POST");
        }
        if (!printableLine(body)) {
            return refused(MHD_HTTP_BAD_REQUEST, "a journal entry is one printable line of 1 to " +
                                                     std::to_string(kMaxJournalLine) + " bytes");
        }
        addJournal("page: " + std::string(body));
        return {200, "application/json", "{}"};
    }
    return refused(MHD_HTTP_NOT_FOUND, "nothing here: " + std::string(url));
}

Answer DemoServer::moveCard(std::string_view action) {
    std::unique_lock lock(cardMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return refused(MHD_HTTP_CONFLICT, "the card is moving already");
    }
    const bool removing = action == "remove";
    if (card_.inserted() != removing) {
        return refused(MHD_HTTP_CONFLICT,
                       removing ? "the card is out already" : "the card is in its reader already");
    }
    std::string why;
    if (!(removing ? card_.remove(why) : card_.insert(why))) {
        addJournal(std::string("card: ") + (removing ? "remove" : "insert") + " failed: " + why);
        return refused(MHD_HTTP_SERVICE_UNAVAILABLE, why);
    }
    addJournal(removing ? "card: out" : "card: in");
    return {200, "application/json", cardState(card_.inserted())};
}

} // namespace corvantix_demo
