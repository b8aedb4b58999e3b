#pragma once

// The card in a virtual reader: a TCP client of the reader driver (pcscd's
// vpcd, listening on 127.0.0.1, port 35963 for its first reader). Frames
// both ways are a 2-byte big-endian length and a payload. A payload of one
// byte is a control code: 0 power off, 1 power on, 2 reset, 4 send the ATR;
// only 4 is answered (with the ATR). A longer payload is a command APDU,
// answered with the response APDU of the card's application, or as a
// scripted fault says.
//
// The emulator runs on a thread of its own; tests script it while it runs.
// Removing the card closes the socket (the driver then reports the card
// absent); inserting it opens a new one, as the same card or as another.

#include "tools/card-emulator/CardApplication.h"
#include "tools/card-emulator/CardProfile.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace card_emulator {

inline constexpr std::uint16_t kDefaultPort = 35963;

// One command and what the card sent back (empty when it sent nothing).
struct Exchange {
    Bytes command;
    Bytes response;
};

// A command as a log may show it: VERIFY and WRITE RECORD carry a PIN block,
// which is left out.
std::string printableCommand(const Bytes& command);

class CardEmulator {
public:
    explicit CardEmulator(CardProfile profile, std::uint16_t port = kDefaultPort);
    ~CardEmulator();
    CardEmulator(const CardEmulator&) = delete;
    CardEmulator& operator=(const CardEmulator&) = delete;

    // Starts the thread with the card inserted: it connects to the driver,
    // trying again until the driver listens, and serves it.
    void start();
    // Closes the connection and ends the thread.
    void stop();

    std::uint16_t port() const { return port_; }

    // Faults are taken in the order they were added; the first whose
    // instruction matches a command applies.
    void addFault(Fault fault);
    void clearFaults();

    // Takes the card out: returns once the connection is closed.
    void remove();
    // Puts the card back (the same card, its state kept), or another card.
    void insert();
    void insert(CardProfile another);
    bool inserted() const;
    // Waits until the driver took the connection; false on time-out.
    bool waitConnected(std::chrono::milliseconds timeout) const;

    std::vector<Exchange> exchanges() const;
    std::vector<std::uint8_t> controlCodes() const;
    void clearLog();
    // Called on the emulator's thread after each exchange.
    void setObserver(std::function<void(const Exchange&)> observer);

    // The card's state.
    int triesLeft() const;
    std::uint32_t tsn() const;
    Bytes serial() const;

private:
    void run();
    // Serves one open connection until it closes or is to be closed.
    void serve(int fd);
    // Handles one frame's payload; false when the connection is to close.
    bool handle(int fd, const Bytes& payload);
    bool send(int fd, const Bytes& payload);
    std::optional<Fault> takeFault(std::uint8_t instruction);
    void wake();
    // Sleeps unless the connection is to close or the thread to stop first.
    bool pause(std::chrono::milliseconds delay);

    const std::uint16_t port_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    CardApplication card_;
    std::vector<Fault> faults_;
    std::vector<Exchange> exchanges_;
    std::vector<std::uint8_t> controls_;
    std::function<void(const Exchange&)> observer_;
    bool inserted_ = true;
    bool stopping_ = false;
    bool connected_ = false;
    bool linkBusy_ = false; // connecting or connected
    int wakeFd_ = -1;
    std::thread thread_;
};

} // namespace card_emulator
