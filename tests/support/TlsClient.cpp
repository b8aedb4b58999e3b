#include "tests/support/TlsClient.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

TlsClient::TlsClient(int port, bool ipv6, const std::string& priorities, const std::string& caPem) {
    // A server that goes away mid-request must fail the send, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // As browsers do: otherwise a request written right after the handshake's
    // last small record waits for its acknowledgement (tens of ms each).
    const int noDelay = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    int rc = -1;
    if (ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<std::uint16_t>(port));
        rc = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        rc = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        error_ = "connect failed";
        return;
    }
    gnutls_certificate_credentials_t creds = nullptr;
    gnutls_certificate_allocate_credentials(&creds);
    credentials_ = creds;
    if (!caPem.empty()) {
        gnutls_datum_t ca{reinterpret_cast<unsigned char*>(const_cast<char*>(caPem.data())),
                          static_cast<unsigned>(caPem.size())};
        gnutls_certificate_set_x509_trust_mem(creds, &ca, GNUTLS_X509_FMT_PEM);
    }
    gnutls_session_t session = nullptr;
    gnutls_init(&session, GNUTLS_CLIENT);
    session_ = session;
    const char* errorPos = nullptr;
    if (gnutls_priority_set_direct(session, priorities.c_str(), &errorPos) != 0) {
        error_ = "bad priorities";
        return;
    }
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, creds);
    if (!caPem.empty()) {
        gnutls_session_set_verify_cert(session, "localhost", 0);
    }
    gnutls_transport_set_int(session, fd_);
    gnutls_handshake_set_timeout(session, 10000);
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc < 0) {
        error_ = gnutls_strerror(rc);
        return;
    }
    connected_ = true;
}

TlsClient::~TlsClient() {
    if (session_ != nullptr) {
        auto* session = static_cast<gnutls_session_t>(session_);
        if (connected_) {
            gnutls_bye(session, GNUTLS_SHUT_WR);
        }
        gnutls_deinit(session);
    }
    if (credentials_ != nullptr) {
        gnutls_certificate_free_credentials(
            static_cast<gnutls_certificate_credentials_t>(credentials_));
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string TlsClient::sessionDescription() const {
    if (!connected_) {
        return {};
    }
    char* text = gnutls_session_get_desc(static_cast<gnutls_session_t>(session_));
    std::string description = text != nullptr ? text : "";
    gnutls_free(text);
    return description;
}

int TlsClient::peerKeyAlgorithm() const {
    if (!connected_) {
        return 0;
    }
    unsigned count = 0;
    const gnutls_datum_t* chain =
        gnutls_certificate_get_peers(static_cast<gnutls_session_t>(session_), &count);
    if (chain == nullptr || count == 0) {
        return 0;
    }
    gnutls_x509_crt_t crt;
    gnutls_x509_crt_init(&crt);
    int algorithm = 0;
    if (gnutls_x509_crt_import(crt, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
        algorithm = gnutls_x509_crt_get_pk_algorithm(crt, nullptr);
    }
    gnutls_x509_crt_deinit(crt);
    return algorithm;
}

bool TlsClient::readMore() {
    char buffer[16384];
    ssize_t got;
    do {
        got = gnutls_record_recv(static_cast<gnutls_session_t>(session_), buffer, sizeof buffer);
    } while (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED);
    if (got <= 0) {
        return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

std::optional<HttpReply> TlsClient::send(const std::string& raw) {
    if (!connected_) {
        return std::nullopt;
    }
    auto* session = static_cast<gnutls_session_t>(session_);
    std::size_t sent = 0;
    while (sent < raw.size()) {
        const ssize_t n = gnutls_record_send(session, raw.data() + sent, raw.size() - sent);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
        if (!readMore()) {
            return std::nullopt;
        }
    }
    HttpReply reply;
    const std::string head = pending_.substr(0, end);
    pending_.erase(0, end + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() >= 12) {
        reply.status = std::stoi(statusLine.substr(9, 3));
    }
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply.headers[name] = value;
    }
    std::size_t length = 0;
    if (reply.has("content-length")) {
        length = std::stoul(reply.headers["content-length"]);
    }
    while (pending_.size() < length) {
        if (!readMore()) {
            return std::nullopt;
        }
    }
    reply.body = pending_.substr(0, length);
    pending_.erase(0, length);
    return reply;
}

std::string formPost(const std::string& parameter, const std::string& host,
                     const std::map<std::string, std::string>& headers) {
    const std::string body = "Parameter=" + parameter;
    std::string raw = "POST / HTTP/1.1\r\n";
    if (!host.empty()) {
        raw += "Host: " + host + "\r\n";
    }
    raw += "Content-Type: application/x-www-form-urlencoded\r\n";
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& [name, value] : headers) {
        raw += name + ": " + value + "\r\n";
    }
    return raw + "\r\n" + body;
}

} // namespace testing_support
