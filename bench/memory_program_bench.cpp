// The service program's memory as /proc shows it, with the real adapter and
// the real card control registered in its sandbox (creating the control
// needs no card): resident memory with 32 sessions open against 40 MB, and
// what 10,000 sessions opened and closed one after another add to it after
// a warm-up (the aim: nothing, within a stated tolerance). The service
// freshly started is the baseline of the same run. It reports and never
// fails on a target.

#include "bench/ProgramBench.h"

#include <cstdio>
#include <fstream>

namespace {

using namespace program_bench;
namespace fs = std::filesystem;

constexpr double kTargetMegabytes = 40;
constexpr int kWarmUpCycles = 500;
constexpr int kCycles = 10000;
constexpr int kCheckpoint = 2000;
// What the cycles may add before it counts as a gain: malloc's arenas and
// the loader's caches settle within some pages.
constexpr double kToleranceKilobytes = 512;

// A field of a /proc file in kB ("VmRSS:" in status, "Pss:" in
// smaps_rollup); -1 when missing.
double procKilobytes(pid_t pid, const char* file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(field)) {
            return std::stod(line.substr(field.size()));
        }
    }
    return -1;
}

struct Memory {
    double rss = 0;
    double pss = 0;
};

Memory memoryOf(pid_t pid) {
    return {procKilobytes(pid, "status", "VmRSS:"), procKilobytes(pid, "smaps_rollup", "Pss:")};
}

double megabytes(double kilobytes) {
    return kilobytes / 1024;
}

// Whether the process has the library mapped.
bool maps(pid_t pid, const fs::path& library) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(in, line)) {
        if (line.ends_with(library.filename().string())) {
            return true;
        }
    }
    return false;
}

int copiesIn(const fs::path& folder) {
    int n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        n += it->is_regular_file(ec);
    }
    return n;
}

// Requests on one kept-alive connection, connecting again when the service
// closed it.
class Page {
public:
    std::optional<std::map<std::string, std::string>> call(const std::string& json) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!client_ || !client_->connected()) {
                client_.emplace(kServicePort);
            }
            if (const auto reply = client_->send(pagePost(json))) {
                if (reply->status != 200) {
                    return std::nullopt;
                }
                return decodeReply(reply->body);
            }
            client_.reset();
        }
        return std::nullopt;
    }

    // A new session's id, empty when none opened.
    std::string open() {
        const auto fields = call(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0",)"
                                 R"("PathID":")" +
                                 kPathId + "\"}");
        if (!fields || !fields->contains("SessionID") || fields->at("result") != "0") {
            return {};
        }
        return fields->at("SessionID");
    }

    bool close(const std::string& id) {
        return call(R"({"FunctionName":"CorvantixClose","SessionId":")" + id + "\"}").has_value();
    }

private:
    std::optional<testing_support::TlsClient> client_;
};

bool cycles(Page& page, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string id = page.open();
        if (id.empty() || !page.close(id)) {
            return false;
        }
    }
    return true;
}

} // namespace

int main() {
    ServiceUnderBench service(Control::Real);
    if (!service.start()) {
        std::fprintf(stderr, "memory_program_bench: the service did not start\n");
        return 1;
    }
    const fs::path tempfile = service.root() / "ProgramData" / "VondelCorvantix" / "Tempfile";
    const Memory idle = memoryOf(service.pid());
    Page page;
    for (int i = 0; i < kOpenSessions; ++i) {
        if (page.open().empty()) {
            std::fprintf(stderr, "memory_program_bench: session %d did not open\n", i + 1);
            return 1;
        }
    }
    const Memory open = memoryOf(service.pid());
    if (open.rss < 0 || open.pss < 0) {
        std::fprintf(stderr, "memory_program_bench: /proc shows no memory of the service\n");
        return 1;
    }
    if (!maps(service.pid(), ServiceUnderBench::controlLibrary())) {
        std::fprintf(stderr, "memory_program_bench: the sessions did not load the card control\n");
        return 1;
    }
    std::printf("started, no session: VmRSS %.1f MB, Pss %.1f MB\n", megabytes(idle.rss),
                megabytes(idle.pss));
    std::printf("%d sessions open (%d adapter copies): VmRSS %.1f MB, Pss %.1f MB; "
                "%.0f kB VmRSS a session over the started service\n",
                kOpenSessions, copiesIn(tempfile), megabytes(open.rss), megabytes(open.pss),
                (open.rss - idle.rss) / kOpenSessions);
    const Target memoryTarget{1.0};
    const double rssRatio = megabytes(open.rss) / kTargetMegabytes;
    const double pssRatio = megabytes(open.pss) / kTargetMegabytes;
    std::printf("memory with %d sessions VmRSS/40 MB ratio: %.3f%s\n", kOpenSessions, rssRatio,
                targetText(rssRatio, memoryTarget).c_str());
    std::printf("memory with %d sessions Pss/40 MB ratio: %.3f%s\n", kOpenSessions, pssRatio,
                targetText(pssRatio, memoryTarget).c_str());
    std::fflush(stdout);

    if (!cycles(page, kWarmUpCycles)) {
        std::fprintf(stderr, "memory_program_bench: a warm-up session did not open or close\n");
        return 1;
    }
    const Memory warm = memoryOf(service.pid());
    std::printf("after %d warm-up open-and-close cycles: VmRSS %.1f MB, Pss %.1f MB\n",
                kWarmUpCycles, megabytes(warm.rss), megabytes(warm.pss));
    const auto start = Clock::now();
    for (int done = 0; done < kCycles; done += kCheckpoint) {
        if (!cycles(page, kCheckpoint)) {
            std::fprintf(stderr, "memory_program_bench: a session did not open or close\n");
            return 1;
        }
        const Memory now = memoryOf(service.pid());
        std::printf("  after %d cycles: VmRSS %.1f MB (%+.0f kB), Pss %.1f MB (%+.0f kB)\n",
                    done + kCheckpoint, megabytes(now.rss), now.rss - warm.rss, megabytes(now.pss),
                    now.pss - warm.pss);
        std::fflush(stdout);
    }
    const double seconds = elapsedMicros(start) / 1e6;
    const Memory after = memoryOf(service.pid());
    const double gained = after.rss - warm.rss;
    std::printf("%d cycles in %.1f s (%.2f ms a cycle), %d adapter copies left\n", kCycles, seconds,
                seconds * 1000 / kCycles, copiesIn(tempfile));
    std::printf("memory gained over %d open-and-close cycles: VmRSS %+.0f kB, Pss %+.0f kB, "
                "VmRSS after/after warm-up ratio %.3f (target: none gained, within %.0f kB: %s)\n",
                kCycles, gained, after.pss - warm.pss, after.rss / warm.rss, kToleranceKilobytes,
                gained <= kToleranceKilobytes ? "met" : "NOT met");
    return 0;
}
