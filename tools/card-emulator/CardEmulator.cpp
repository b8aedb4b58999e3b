#include "tools/card-emulator/CardEmulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace card_emulator {

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kPowerOff = 0;
constexpr std::uint8_t kPowerOn = 1;
constexpr std::uint8_t kReset = 2;
constexpr std::uint8_t kSendAtr = 4;

// How often a card that cannot reach the driver tries again.
constexpr auto kRetryConnect = 20ms;

int connectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Without a quick ACK the driver's next frame, written in two pieces, waits
// for the delayed ACK: some 40 ms a round trip. The kernel clears the flag
// again, so it is set after every receive.
void quickAck(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool readExact(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = recv(fd, buffer + done, size - done, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        quickAck(fd);
        done += static_cast<std::size_t>(got);
    }
    return true;
}

Bytes withStatus(Bytes data, std::uint16_t word) {
    data.push_back(static_cast<std::uint8_t>(word >> 8));
    data.push_back(static_cast<std::uint8_t>(word & 0xFF));
    return data;
}

} // namespace

std::string printableCommand(const Bytes& command) {
    if (command.size() >= 5 && command[0] == 0x00 && (command[1] == 0x20 || command[1] == 0xD2)) {
        return toHex(std::span(command).first(5)) + " <PIN block>";
    }
    return toHex(command);
}

CardEmulator::CardEmulator(CardProfile profile, std::uint16_t port)
    : port_(port), card_(std::move(profile)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CardEmulator::~CardEmulator() {
    stop();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void CardEmulator::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void CardEmulator::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CardEmulator::addFault(Fault fault) {
    if (fault.data.size() > Fault::kMaxData) {
        fault.data.resize(Fault::kMaxData);
    }
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void CardEmulator::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void CardEmulator::remove() {
    std::unique_lock lock(mutex_);
    inserted_ = false;
    lock.unlock();
    wake();
    changed_.notify_all();
    lock.lock();
    changed_.wait(lock, [this] { return !linkBusy_; });
}

void CardEmulator::insert() {
    {
        std::lock_guard lock(mutex_);
        inserted_ = true;
    }
    changed_.notify_all();
}

void CardEmulator::insert(CardProfile another) {
    remove();
    {
        std::lock_guard lock(mutex_);
        card_ = CardApplication(std::move(another));
        inserted_ = true;
    }
    changed_.notify_all();
}

bool CardEmulator::inserted() const {
    std::lock_guard lock(mutex_);
    return inserted_;
}

bool CardEmulator::waitConnected(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return connected_; });
}

std::vector<Exchange> CardEmulator::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

std::vector<std::uint8_t> CardEmulator::controlCodes() const {
    std::lock_guard lock(mutex_);
    return controls_;
}

void CardEmulator::clearLog() {
    std::lock_guard lock(mutex_);
    exchanges_.clear();
    controls_.clear();
}

void CardEmulator::setObserver(std::function<void(const Exchange&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

int CardEmulator::triesLeft() const {
    std::lock_guard lock(mutex_);
    return card_.triesLeft();
}

std::uint32_t CardEmulator::tsn() const {
    std::lock_guard lock(mutex_);
    return card_.tsn();
}

Bytes CardEmulator::serial() const {
    std::lock_guard lock(mutex_);
    return Bytes(card_.profile().serial.begin(), card_.profile().serial.end());
}

void CardEmulator::wake() {
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
    }
}

bool CardEmulator::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, delay, [this] { return stopping_ || !inserted_; });
}

void CardEmulator::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || inserted_; });
            if (stopping_) {
                return;
            }
            // From here until the socket is closed again, remove() waits.
            linkBusy_ = true;
        }
        const int fd = connectTo(port_);
        if (fd < 0) {
            {
                std::lock_guard lock(mutex_);
                linkBusy_ = false;
            }
            changed_.notify_all();
            pause(kRetryConnect);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            connected_ = true;
        }
        changed_.notify_all();
        serve(fd);
        close(fd);
        {
            // A card out of the reader loses its power.
            std::lock_guard lock(mutex_);
            card_.powerCycle();
            connected_ = false;
            linkBusy_ = false;
        }
        changed_.notify_all();
    }
}

void CardEmulator::serve(int fd) {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || !inserted_) {
                return;
            }
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!read(wakeFd_, &count, sizeof count);
            continue;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        std::uint8_t header[2];
        if (!readExact(fd, header, sizeof header)) {
            return;
        }
        Bytes payload((static_cast<std::size_t>(header[0]) << 8) | header[1]);
        if (!readExact(fd, payload.data(), payload.size())) {
            return;
        }
        if (!handle(fd, payload)) {
            return;
        }
    }
}

bool CardEmulator::handle(int fd, const Bytes& payload) {
    if (payload.empty()) {
        return true;
    }
    if (payload.size() == 1) {
        Bytes atr;
        {
            std::lock_guard lock(mutex_);
            controls_.push_back(payload[0]);
            switch (payload[0]) {
            case kPowerOff:
            case kPowerOn:
            case kReset:
                card_.powerCycle();
                break;
            case kSendAtr:
                atr = card_.profile().atr;
                break;
            default:
                break;
            }
        }
        return atr.empty() || send(fd, atr);
    }

    std::optional<Fault> fault = takeFault(payload[1]);
    Exchange exchange{payload, {}};
    bool keepOpen = true;
    if (fault && fault->kind == Fault::Kind::Delay && !pause(fault->delay)) {
        return false;
    }
    if (!fault || fault->kind == Fault::Kind::Delay) {
        std::lock_guard lock(mutex_);
        exchange.response = card_.process(payload);
    } else if (fault->kind == Fault::Kind::Answer) {
        exchange.response = withStatus(fault->data, fault->sw);
    } else if (fault->kind == Fault::Kind::OneByte) {
        exchange.response = {fault->byte};
    } else {
        // Pulled out mid-command; the card stays out until it is inserted
        // again. The driver reads the closed connection as an empty answer
        // to this command and fails the next ones (0x80100016) until
        // pcscd's next poll finds the card gone (0x80100069).
        keepOpen = false;
        std::lock_guard lock(mutex_);
        inserted_ = false;
    }
    std::function<void(const Exchange&)> observer;
    {
        std::lock_guard lock(mutex_);
        exchanges_.push_back(exchange);
        observer = observer_;
    }
    if (observer) {
        observer(exchange);
    }
    return keepOpen && send(fd, exchange.response);
}

bool CardEmulator::send(int fd, const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t sent = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::optional<Fault> CardEmulator::takeFault(std::uint8_t instruction) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->instruction != instruction || it->times == 0) {
            continue;
        }
        Fault fault = *it;
        if (it->times > 0 && --it->times == 0) {
            faults_.erase(it);
        }
        return fault;
    }
    return std::nullopt;
}

} // namespace card_emulator
