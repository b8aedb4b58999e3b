#pragma once

// A small HTTPS client for tests: one TLS connection over which raw HTTP/1.1
// requests are sent and their answers read, so a test controls every header,
// the TLS version and whether the connection is kept.

#include <map>
#include <optional>
#include <string>

namespace testing_support {

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool has(const std::string& name) const { return headers.count(name) != 0; }
};

class TlsClient {
public:
    // Connects to the loopback address and port and completes the handshake
    // with the given GnuTLS priorities; caPem, when given, must vouch for the
    // server (the host name checked is "localhost").
    TlsClient(int port, bool ipv6 = false, const std::string& priorities = "NORMAL",
              const std::string& caPem = "");
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool connected() const { return connected_; }
    const std::string& error() const { return error_; }
    // The public-key algorithm of the server's certificate (GnuTLS numbering).
    int peerKeyAlgorithm() const;
    // What the handshake agreed on, e.g. "(TLS1.3)-(ECDHE-X25519)-..."; empty
    // when not connected.
    std::string sessionDescription() const;
    // The answer, or nullopt when the server closed the connection without one.
    std::optional<HttpReply> send(const std::string& rawRequest);

private:
    bool readMore();

    int fd_ = -1;
    void* session_ = nullptr;
    void* credentials_ = nullptr;
    bool connected_ = false;
    std::string error_;
    std::string pending_;
};

// A form POST whose field "Parameter" is the given (already encoded) text.
std::string formPost(const std::string& parameter, const std::string& host,
                     const std::map<std::string, std::string>& headers = {});

} // namespace testing_support
