#pragma once

// The reader driver's end of a card's connection, for tests and benchmarks
// that talk to an emulator without pcscd: a listening socket on a free
// loopback port, the one connection it took, and the driver's frames (two
// length bytes, big-endian, then the payload).

#include "tools/card-emulator/CardProfile.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace card_emulator {

class DriverLink {
public:
    DriverLink();
    DriverLink(const DriverLink&) = delete;
    DriverLink& operator=(const DriverLink&) = delete;
    ~DriverLink();

    // 0 when no port could be had.
    std::uint16_t port() const { return port_; }

    // Takes the card's connection, dropping an earlier one.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    void drop();

    // Like the driver, a frame goes out in one write, and without
    // TCP_NODELAY.
    bool sendFrame(const Bytes& payload);
    // nullopt when nothing came in time or the card closed the connection.
    std::optional<Bytes> receiveFrame(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // True once the card closed its end.
    bool closedByCard(std::chrono::milliseconds timeout = std::chrono::seconds(2));

private:
    bool receive(std::uint8_t* buffer, std::size_t size, std::chrono::milliseconds timeout);

    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace card_emulator
