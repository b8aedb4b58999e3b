#pragma once

// A real pcscd with virtual readers (vpcd) and emulated cards, private to
// one test. start() moves the calling process into mount and network
// namespaces of its own (it must be single-threaded then, and root), mounts
// a tmpfs on /run/pcscd, brings loopback up, writes a reader configuration
// and starts "pcscd -f -c <it>". So every test has its own pcscd socket and
// its own ports 35963..., and tests run in parallel. The cards run on
// threads of this process, inside the same namespaces. Everything stops when
// the rig goes, and pcscd also dies with the process.

#include "tools/card-emulator/CardEmulator.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

// One entry of the reader configuration. The driver makes two readers of
// it: "<name> <n> 00" on port and "<name> <n> 01" on port + 1, n counting
// the entries of the same name before it. Entries after the first load
// private copies of the driver.
struct VirtualReaderEntry {
    std::string name = "Virtual PCD";
    std::uint16_t port = card_emulator::kDefaultPort;
};

class CardRig {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kHold = std::chrono::seconds(1);

    explicit CardRig(std::vector<VirtualReaderEntry> entries = {VirtualReaderEntry{}});
    ~CardRig();
    CardRig(const CardRig&) = delete;
    CardRig& operator=(const CardRig&) = delete;

    // Enters the namespaces without starting pcscd (for a test of a machine
    // where it does not run); false with why() when that fails.
    bool enterNamespaces();
    // Enters the namespaces, starts pcscd and waits until it lists every
    // reader of the configuration (with no entries, until it answers);
    // false with why() when any step fails.
    bool start();
    const std::string& why() const { return why_; }

    // The readers' names in configuration order, two per entry.
    const std::vector<std::string>& readers() const { return readers_; }
    // The reader served on a port.
    std::string readerForPort(std::uint16_t port) const;

    // Starts a card for the reader on port and waits until pcscd reports it
    // present; nullptr (with why()) when it does not come.
    card_emulator::CardEmulator*
    insertCard(std::uint16_t port = card_emulator::kDefaultPort,
               card_emulator::CardProfile profile = card_emulator::defaultProfile());

    // Takes the card out, or puts it (or another) back, and returns once
    // pcscd reports the change and the new state has lasted at least hold.
    bool removeCard(card_emulator::CardEmulator& card, std::chrono::milliseconds hold = kHold);
    bool reinsertCard(card_emulator::CardEmulator& card, std::chrono::milliseconds hold = kHold);
    bool reinsertCard(card_emulator::CardEmulator& card, card_emulator::CardProfile another,
                      std::chrono::milliseconds hold = kHold);

    // Waits until pcscd reports a card in the reader (present) or none.
    bool waitForCard(const std::string& reader, bool present,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Ends pcscd now (the cards stay).
    void stopPcscd();
    // Ends pcscd with the signal, as a crash or an administrator would, and
    // waits for it. start() then starts a new one on the same configuration
    // (fork and exec alone: this process may have threads by then); the
    // cards stay and connect to the new driver by themselves (wait for them
    // with waitForCard).
    void killPcscd(int signal);
    // pcscd's process while it runs, else -1.
    pid_t pcscdPid() const { return pcscd_; }
    // What pcscd wrote.
    std::string pcscdLog() const;

private:
    bool writeConfiguration();

    std::vector<VirtualReaderEntry> entries_;
    std::vector<std::string> readers_;
    std::vector<std::unique_ptr<card_emulator::CardEmulator>> cards_;
    std::filesystem::path folder_;
    bool mounted_ = false;
    pid_t pcscd_ = -1;
    std::string why_;
};

} // namespace testing_support
