#include "tools/card-emulator/DriverLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace card_emulator {

DriverLink::DriverLink() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listener_, 4) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
}

DriverLink::~DriverLink() {
    drop();
    if (listener_ >= 0) {
        close(listener_);
    }
}

bool DriverLink::accept(std::chrono::milliseconds timeout) {
    pollfd fd{listener_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    drop();
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
}

void DriverLink::drop() {
    if (client_ >= 0) {
        close(client_);
        client_ = -1;
    }
}

bool DriverLink::sendFrame(const Bytes& payload) {
    Bytes frame = {static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return send(client_, frame.data(), frame.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(frame.size());
}

std::optional<Bytes> DriverLink::receiveFrame(std::chrono::milliseconds timeout) {
    std::uint8_t header[2];
    if (!receive(header, 2, timeout)) {
        return std::nullopt;
    }
    Bytes payload((header[0] << 8) | header[1]);
    if (!receive(payload.data(), payload.size(), timeout)) {
        return std::nullopt;
    }
    return payload;
}

bool DriverLink::closedByCard(std::chrono::milliseconds timeout) {
    pollfd fd{client_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    std::uint8_t byte = 0;
    return recv(client_, &byte, 1, 0) == 0;
}

bool DriverLink::receive(std::uint8_t* buffer, std::size_t size,
                         std::chrono::milliseconds timeout) {
    std::size_t done = 0;
    while (done < size) {
        pollfd fd{client_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(timeout.count())) != 1) {
            return false;
        }
        const ssize_t got = recv(client_, buffer + done, size - done, 0);
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace card_emulator
