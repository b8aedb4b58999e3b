#include "tests/support/CardRig.h"

#include "platform/pcsc/Pcsc.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;
namespace pcsc = platform::pcsc;
using namespace std::chrono_literals;

namespace {

const char* const kRunFolder = "/run/pcscd";
const char* const kDefaultDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The virtual reader driver as the installed configuration names it.
std::string driverPath() {
    std::ifstream conf("/etc/reader.conf.d/vpcd");
    std::string line;
    while (std::getline(conf, line)) {
        std::istringstream words(line);
        std::string key;
        std::string value;
        if (words >> key >> value && key == "LIBPATH") {
            return value;
        }
    }
    return kDefaultDriver;
}

bool loopbackUp(std::string& why) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = errnoText("socket");
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok) {
        why = errnoText("bringing loopback up");
    }
    close(fd);
    return ok;
}

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

} // namespace

CardRig::CardRig(std::vector<VirtualReaderEntry> entries) : entries_(std::move(entries)) {
    std::vector<std::string> seen;
    for (const auto& entry : entries_) {
        const auto index = std::count(seen.begin(), seen.end(), entry.name);
        seen.push_back(entry.name);
        for (int slot = 0; slot < 2; ++slot) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, " %02X %02X", static_cast<unsigned>(index), slot);
            readers_.push_back(entry.name + suffix);
        }
    }
    folder_ = fs::path(kRunFolder) / "rig";
}

CardRig::~CardRig() {
    cards_.clear();
    stopPcscd();
    if (mounted_) {
        umount2(kRunFolder, MNT_DETACH);
    }
}

bool CardRig::enterNamespaces() {
    if (mounted_) {
        return true;
    }
    // Threads share the file system context that a new mount namespace
    // replaces: this works only while the process has one thread.
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        why_ = errnoText("unshare (needs root and a single thread)");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why_ = errnoText("making mounts private");
        return false;
    }
    if (mkdir(kRunFolder, 0755) != 0 && errno != EEXIST) {
        why_ = errnoText("mkdir /run/pcscd");
        return false;
    }
    if (mount("tmpfs", kRunFolder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        why_ = errnoText("mounting a tmpfs on /run/pcscd");
        return false;
    }
    mounted_ = true;
    return loopbackUp(why_);
}

bool CardRig::writeConfiguration() {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    std::ofstream conf(folder_ / "reader.conf");
    const std::string driver = driverPath();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        // pcscd polls no reader at all when two entries share one driver
        // library (it asks the driver whether they may, and the driver does
        // not say): each further entry loads a copy of its own.
        fs::path library = driver;
        if (i > 0) {
            library = folder_ / ("vpcd-" + std::to_string(i) + ".so");
            if (!fs::copy_file(driver, library, fs::copy_options::overwrite_existing, ec)) {
                why_ = "cannot copy the reader driver: " + ec.message();
                return false;
            }
        }
        const auto& entry = entries_[i];
        char port[16];
        std::snprintf(port, sizeof port, "0x%04X", static_cast<unsigned>(entry.port));
        conf << "FRIENDLYNAME \"" << entry.name << "\"\n"
             << "DEVICENAME   /dev/null:" << port << "\n"
             << "LIBPATH      " << library.string() << "\n"
             << "CHANNELID    " << port << "\n\n";
    }
    conf.close();
    if (!conf) {
        why_ = "cannot write the reader configuration";
        return false;
    }
    return true;
}

bool CardRig::start() {
    if (!enterNamespaces() || !writeConfiguration()) {
        return false;
    }
    const std::string conf = (folder_ / "reader.conf").string();
    const std::string log = (folder_ / "pcscd.log").string();
    const char* program = access("/usr/sbin/pcscd", X_OK) == 0 ? "/usr/sbin/pcscd" : "pcscd";
    // CARD_RIG_DEBUG=1 makes pcscd log every step (read with pcscdLog()).
    const char* debug = std::getenv("CARD_RIG_DEBUG") != nullptr ? "--debug" : nullptr;
    const char* const argv[] = {program, "--foreground", "--config", conf.c_str(), debug, nullptr};
    const pid_t parent = getpid();
    pcscd_ = fork();
    if (pcscd_ < 0) {
        why_ = errnoText("fork");
        return false;
    }
    if (pcscd_ == 0) {
        // pcscd dies with the test, however the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out >= 0 && in >= 0) {
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
        }
        execvp(program, const_cast<char* const*>(argv));
        _exit(127);
    }

    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (exited(pcscd_)) {
            pcscd_ = -1;
            why_ = "pcscd ended at start: " + pcscdLog();
            return false;
        }
        pcsc::Context context;
        std::vector<std::string> listed;
        if (pcsc::Context::establish(pcsc::kScopeSystem, context) != pcsc::kSuccess) {
            std::this_thread::sleep_for(10ms);
            continue;
        }
        const pcsc::Result result = context.listReaders(listed);
        // A configuration without readers is ready once pcscd answers.
        if (readers_.empty() && (result == pcsc::kSuccess || result == pcsc::kNoReadersAvailable)) {
            return true;
        }
        if (result == pcsc::kSuccess) {
            const bool all = std::all_of(readers_.begin(), readers_.end(), [&](const auto& name) {
                return std::find(listed.begin(), listed.end(), name) != listed.end();
            });
            if (all) {
                return true;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    why_ = "pcscd did not list the readers: " + pcscdLog();
    return false;
}

std::string CardRig::readerForPort(std::uint16_t port) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].port == port) {
            return readers_[2 * i];
        }
        if (entries_[i].port + 1 == port) {
            return readers_[2 * i + 1];
        }
    }
    return {};
}

card_emulator::CardEmulator* CardRig::insertCard(std::uint16_t port,
                                                 card_emulator::CardProfile profile) {
    const std::string reader = readerForPort(port);
    if (reader.empty()) {
        why_ = "no reader on port " + std::to_string(port);
        return nullptr;
    }
    cards_.push_back(std::make_unique<card_emulator::CardEmulator>(std::move(profile), port));
    card_emulator::CardEmulator* card = cards_.back().get();
    card->start();
    if (!waitForCard(reader, true)) {
        why_ = "the card did not come into " + reader + ": " + why_;
        return nullptr;
    }
    return card;
}

bool CardRig::removeCard(card_emulator::CardEmulator& card, std::chrono::milliseconds hold) {
    const auto since = Clock::now();
    card.remove();
    const bool seen = waitForCard(readerForPort(card.port()), false);
    std::this_thread::sleep_until(since + hold);
    return seen;
}

bool CardRig::reinsertCard(card_emulator::CardEmulator& card, std::chrono::milliseconds hold) {
    const auto since = Clock::now();
    card.insert();
    const bool seen = waitForCard(readerForPort(card.port()), true);
    std::this_thread::sleep_until(since + hold);
    return seen;
}

bool CardRig::reinsertCard(card_emulator::CardEmulator& card, card_emulator::CardProfile another,
                           std::chrono::milliseconds hold) {
    const auto since = Clock::now();
    card.insert(std::move(another));
    const bool seen = waitForCard(readerForPort(card.port()), true);
    std::this_thread::sleep_until(since + hold);
    return seen;
}

bool CardRig::waitForCard(const std::string& reader, bool present,
                          std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    pcsc::Context context;
    pcsc::Result result = pcsc::Context::establish(pcsc::kScopeSystem, context);
    if (result != pcsc::kSuccess) {
        why_ = "no context: " + std::to_string(result);
        return false;
    }
    pcsc::ReaderState state;
    state.reader = reader;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            why_ = "time-out waiting for " + reader;
            return false;
        }
        result = pcsc::SCardGetStatusChangeA(context.get(),
                                             static_cast<std::uint32_t>(left.count()), &state, 1);
        if (result == pcsc::kTimeout) {
            why_ = "time-out waiting for " + reader;
            return false;
        }
        if (result != pcsc::kSuccess) {
            char text[64];
            std::snprintf(text, sizeof text, "status change failed: 0x%X", result);
            why_ = text;
            return false;
        }
        const std::uint32_t event = state.eventState;
        const bool in =
            (event & pcsc::kReaderStatePresent) != 0 && (event & pcsc::kReaderStateMute) == 0;
        const bool out = (event & pcsc::kReaderStateEmpty) != 0;
        if (present ? in : out) {
            return true;
        }
        state.currentState = event;
    }
}

void CardRig::stopPcscd() {
    if (pcscd_ <= 0) {
        return;
    }
    kill(pcscd_, SIGTERM);
    const auto deadline = Clock::now() + 3s;
    while (!exited(pcscd_)) {
        if (Clock::now() > deadline) {
            kill(pcscd_, SIGKILL);
            waitpid(pcscd_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    pcscd_ = -1;
}

void CardRig::killPcscd(int signal) {
    if (pcscd_ > 0) {
        kill(pcscd_, signal);
        waitpid(pcscd_, nullptr, 0);
        pcscd_ = -1;
    }
}

std::string CardRig::pcscdLog() const {
    std::ifstream file(folder_ / "pcscd.log");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace testing_support
