#pragma once

// The bank demo's web server: plain HTTP on loopback, answering only as the
// bank's site (http://www.corvantix-bank.test:<port>). It serves the demo
// page, lets the page's side panel pull the card out of its reader and put
// it back, and keeps the page's journal: each step's result as the page
// reports it, and each card move.
//
//   GET  /              the page
//   GET  /card          {"inserted":true|false}
//   POST /card/remove   pulls the card out; answers once the reader saw it
//   POST /card/insert   puts it back
//   GET  /journal       the journal, a line per entry
//   POST /journal       one line for it (printable, at most kMaxJournalLine)
//
// POSTs are taken only from the page itself (its Origin), so no other site
// a browser shows can move the card.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct MHD_Daemon;

namespace corvantix_demo {

inline constexpr std::string_view kBankHost = "www.corvantix-bank.test";
inline constexpr std::uint16_t kDefaultPort = 56700;
inline constexpr std::size_t kMaxJournalLine = 512;
inline constexpr std::size_t kMaxBody = 4096;

// The card the side panel moves.
class CardSlot {
public:
    virtual ~CardSlot() = default;
    virtual bool inserted() const = 0;
    // Each returns once the reader reports the change; false with why when
    // it did not.
    virtual bool remove(std::string& why) = 0;
    virtual bool insert(std::string& why) = 0;
};

struct Answer {
    unsigned status = 200;
    std::string type = "application/json";
    std::string body;
};

class DemoServer {
public:
    // Listens on 127.0.0.1:port (0: any free port); see running().
    DemoServer(std::string page, CardSlot& card, std::uint16_t port);
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    bool running() const { return daemon_ != nullptr; }
    std::uint16_t port() const { return port_; }
    // http://www.corvantix-bank.test:<port>
    std::string origin() const;

    // Called with each new journal line (the program prints them).
    void onJournal(std::function<void(const std::string&)> sink);
    std::vector<std::string> journal() const;

    // One request as the server answers it; host and origin are the
    // request's headers (empty when absent).
    Answer answer(std::string_view method, std::string_view url, std::string_view host,
                  std::string_view origin, std::string_view body);

private:
    Answer moveCard(std::string_view action);
    void addJournal(const std::string& line);

    std::string page_;
    CardSlot& card_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
    // One card move at a time.
    std::mutex cardMutex_;
    mutable std::mutex journalMutex_;
    std::vector<std::string> journal_;
    std::function<void(const std::string&)> sink_;
};

} // namespace corvantix_demo
