// Sessions opened and ended thousands of times against the real service with
// the real adapter and the real card control (over a private pcscd with a
// card) leave nothing behind: after a warm-up, the service's open
// descriptors, memory mappings, threads and the files of its data folder
// (the adapter copies) come back to their level. Sessions end as a page
// ends them (CorvantixClose) and as the 33rd page's Echo ends the oldest of
// the 32.
//
// The plain build runs 10,000 sessions and also holds the service's
// mappings and data size to their level. The sanitizer build, whose service
// is several times slower, runs 2,000 and leaves those two out: its runtime
// registers the globals of every library loaded (each session loads an
// adapter copy) in memory it maps and never gives back.

#include "tests/card/CardTestData.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/CardRig.h"
#include "tests/support/TlsClient.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <memory>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace service_program;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSessions = 2000;
constexpr bool kMemoryLevels = false;
#else
constexpr int kSessions = 10000;
constexpr bool kMemoryLevels = true;
#endif
// What the data size may grow by: the allocator's own steps, far below what
// even 100 bytes left behind per session would add.
constexpr long kDataSlackKb = 1024;
constexpr int kWarmUp = 200;

int entries(const fs::path& folder) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        (void)e;
        ++n;
    }
    return n;
}

int lines(const fs::path& file) {
    std::ifstream in(file);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
    }
    return n;
}

int filesUnder(const fs::path& folder) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        n += it->is_regular_file(ec);
    }
    return n;
}

struct Usage {
    int descriptors = 0;
    int threads = 0;
    int files = 0;
    int mappings = 0;
    long dataKb = 0;
    // Back to the level of before: the same counts (mappings and data size
    // only where they are measured).
    bool backTo(const Usage& before) const {
        return descriptors == before.descriptors && threads == before.threads &&
               files == before.files &&
               (!kMemoryLevels ||
                (mappings == before.mappings && dataKb <= before.dataKb + kDataSlackKb));
    }
};

std::ostream& operator<<(std::ostream& out, const Usage& u) {
    return out << u.descriptors << " descriptors, " << u.threads << " threads, " << u.files
               << " files, " << u.mappings << " mappings, " << u.dataKb << " kB data";
}

// VmData of /proc/<pid>/status.
long dataKb(const fs::path& status) {
    std::ifstream in(status);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmData:")) {
            return std::stol(line.substr(7));
        }
    }
    return -1;
}

// A page's requests over one kept-alive connection, opened again whenever
// the service closes it.
class Page {
public:
    std::optional<Reply> send(const std::string& json) {
        if (!client_) {
            client_ = std::make_unique<testing_support::TlsClient>(kPorts[0]);
        }
        const auto reply = client_->send(testing_support::formPost(
            encodeParameter(json), "localhost:" + std::to_string(kPorts[0]),
            {{"Origin", kPage}, {"Connection", "keep-alive"}}));
        if (!reply || (reply->headers.count("connection") != 0 &&
                       reply->headers.at("connection") == "close")) {
            client_.reset();
        }
        if (!reply) {
            return std::nullopt;
        }
        return decodeReply(reply->body);
    }
    // A new session's id, or empty when the Echo failed.
    std::string echo() {
        const auto reply = send(
            R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId + "\"}");
        if (!reply || reply->count("result") == 0 || reply->at("result") != "0") {
            return "";
        }
        return reply->count("SessionID") != 0 ? reply->at("SessionID") : "";
    }
    std::string call(const std::string& function, const std::string& session) {
        const auto reply =
            send(R"({"FunctionName":")" + function + R"(","SessionId":")" + session + "\"}");
        if (!reply) {
            return "<closed>";
        }
        return reply->count("result") != 0 ? reply->at("result") : "";
    }

    // Closes the kept connection.
    void hangUp() { client_.reset(); }

private:
    std::unique_ptr<testing_support::TlsClient> client_;
};

class SessionLeaks : public ServiceProgram {
protected:
    SessionLeaks() : ServiceProgram(Adapter::RealControl) {
        // Installed as shipped, without debug information: every session
        // copies it, and the test build's would be megabytes each time.
        EXPECT_EQ(testing_support::runProgram(
                      {"strip", "--strip-debug",
                       (program.parent_path() / "Vondel" / "VondelTaveloZynAdapter.so").string()}),
                  0);
    }
    void SetUp() override {
        ASSERT_TRUE(rig.start()) << rig.why();
        ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile()), nullptr)
            << rig.why();
        service = start();
        // The first session, once the service answers, ends like the others.
        std::string first;
        for (int i = 0; i < 200 && (first = page.echo()).empty(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_FALSE(first.empty()) << "the service never answered";
        ASSERT_EQ(page.call("CorvantixClose", first), "");
        for (const auto& reader : rig.readers()) {
            readerList += reader + ";";
        }
    }

    // The service's usage once the page's connection is closed and the
    // service has let it go: the level it settles to (for want of one, the
    // last seen).
    Usage settledUsage(const std::optional<Usage>& expected = std::nullopt) {
        page.hangUp();
        Usage now = usage();
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(20ms);
            const Usage next = usage();
            if (expected ? next.backTo(*expected) : next.backTo(now)) {
                return next;
            }
            now = next;
        }
        return now;
    }

    Usage usage() const {
        const fs::path proc = "/proc/" + std::to_string(service);
        return {entries(proc / "fd"), entries(proc / "task"),
                filesUnder(box.root() / "ProgramData" / "VondelCorvantix"), lines(proc / "maps"),
                dataKb(proc / "status")};
    }

    // As a page opens a session, uses the control and ends the session.
    bool pageSession() {
        const std::string id = page.echo();
        return !id.empty() && page.call("GetReaderList", id) == readerList &&
               page.call("CorvantixClose", id) == "";
    }

    // Opens sessions without ending them: past 32, each Echo ends the
    // oldest. The open ones are remembered to be closed later.
    bool evictingSession() {
        const std::string id = page.echo();
        if (id.empty() || page.call("GetReaderList", id) != readerList) {
            return false;
        }
        open.push_back(id);
        if (open.size() > 32) {
            open.pop_front();
        }
        return true;
    }

    bool closeAll() {
        bool ok = true;
        for (const auto& id : open) {
            ok = page.call("CorvantixClose", id) == "" && ok;
        }
        open.clear();
        return ok;
    }

    // Half the sessions each way; none open at the end.
    bool sessions(int count) {
        for (int i = 0; i < count / 2; ++i) {
            if (!pageSession()) {
                ADD_FAILURE() << "page session " << i << " failed";
                return false;
            }
        }
        for (int i = 0; i < count - count / 2; ++i) {
            if (!evictingSession()) {
                ADD_FAILURE() << "evicting session " << i << " failed";
                return false;
            }
        }
        return closeAll();
    }

    testing_support::CardRig rig;
    pid_t service = -1;
    Page page;
    std::string readerList;
    std::deque<std::string> open;
};

TEST_F(SessionLeaks, NothingGrowsOverThousandsOfSessions) {
    ASSERT_TRUE(sessions(kWarmUp));
    const Usage warm = settledUsage();
    // Every session's adapter copy went with it.
    EXPECT_EQ(adapterCopies(), 0);

    const auto began = Clock::now();
    ASSERT_TRUE(sessions(kSessions));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    std::printf("%d sessions in %lld ms\n", kSessions, static_cast<long long>(took.count()));

    const Usage after = settledUsage(warm);
    EXPECT_TRUE(after.backTo(warm))
        << "after warm-up: " << warm << "\nafter " << kSessions << " more sessions: " << after;
    EXPECT_EQ(adapterCopies(), 0);
    EXPECT_FALSE(page.echo().empty()) << "the service still opens sessions";
}

} // namespace
