#include "platform/shell/KeyState.h"

#include "platform/folders/Folders.h"
#include "platform/shell/ShellDriver.h"
#include "platform/shell/ShellState.h"
#include "platform/shell/X11Desktop.h"
#include "platform/ui/Keyboard.h"

#include <atomic>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform::shell {

using namespace detail;

namespace {

struct KeySlot {
    std::uint32_t down;
    std::uint32_t downReads; // reads that found the key down
    std::uint32_t upReads;   // and up
    std::uint32_t unused;
};
constexpr std::size_t kTableBytes = kKeyCount * sizeof(KeySlot);
constexpr auto kSeenPoll = std::chrono::milliseconds(1);

// Mappings by sandbox, kept for the life of the process: a poll reads the
// table hundreds of times a second, and the run folder's checks are not
// repeated for each read. Never destroyed: pollers may outlive statics.
struct Tables {
    std::mutex lock;
    std::map<std::string, KeySlot*> bySandbox;
};

Tables& tables() {
    static auto* instance = new Tables;
    return *instance;
}

// The table of the current sandbox, made (all keys up) by its first reader
// or writer; null when it cannot be.
KeySlot* keyTable() {
    const std::string sandbox = sandboxRoot().native();
    auto& t = tables();
    std::lock_guard guard(t.lock);
    if (const auto found = t.bySandbox.find(sandbox); found != t.bySandbox.end()) {
        return found->second;
    }
    const auto path = shellFolder() / "keys";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    void* memory = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && (static_cast<std::size_t>(st.st_size) >= kTableBytes ||
                                  ::ftruncate(fd, kTableBytes) == 0)) {
        memory = ::mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* table = static_cast<KeySlot*>(memory);
    t.bySandbox[sandbox] = table;
    return table;
}

std::atomic_ref<std::uint32_t> downOf(KeySlot* table, std::uint32_t key) {
    return std::atomic_ref<std::uint32_t>(table[key].down);
}

std::atomic_ref<std::uint32_t> downReadsOf(KeySlot* table, std::uint32_t key) {
    return std::atomic_ref<std::uint32_t>(table[key].downReads);
}

std::atomic_ref<std::uint32_t> upReadsOf(KeySlot* table, std::uint32_t key) {
    return std::atomic_ref<std::uint32_t>(table[key].upReads);
}

// Waits until the counter moves on from its value before, at most until.
bool waitForRead(std::atomic_ref<std::uint32_t> reads, std::uint32_t before,
                 std::chrono::steady_clock::time_point until) {
    for (;;) {
        if (reads.load() != before) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(kSeenPoll);
    }
}

void journalKey(std::string_view op, std::uint32_t key) {
    JsonValue fields;
    fields.set("key", static_cast<std::int64_t>(key));
    journal(op, fields);
}

} // namespace

std::int16_t getAsyncKeyState(std::uint32_t virtualKey) {
    if (virtualKey >= kKeyCount) {
        return 0;
    }
    constexpr auto kDown = static_cast<std::int16_t>(0x8000);
    if (KeySlot* table = keyTable()) {
        if (downOf(table, virtualKey).load()) {
            downReadsOf(table, virtualKey).fetch_add(1);
            return kDown;
        }
        upReadsOf(table, virtualKey).fetch_add(1);
    }
    if (x11KeyDown(virtualKey)) {
        return kDown;
    }
    return (platform::ui::getKeyState(virtualKey) & kDown) != 0 ? kDown : std::int16_t(0);
}

bool setKeyDown(std::uint32_t virtualKey, bool down) {
    KeySlot* table = virtualKey < kKeyCount ? keyTable() : nullptr;
    if (table == nullptr) {
        return false;
    }
    downOf(table, virtualKey).store(down ? 1 : 0);
    journalKey(down ? "key.down" : "key.up", virtualKey);
    return true;
}

bool pressKey(std::uint32_t virtualKey, std::chrono::milliseconds limit) {
    KeySlot* table = virtualKey < kKeyCount ? keyTable() : nullptr;
    if (table == nullptr) {
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + limit;
    const std::uint32_t downBefore = downReadsOf(table, virtualKey).load();
    setKeyDown(virtualKey, true);
    const bool seen = waitForRead(downReadsOf(table, virtualKey), downBefore, until);
    // Released until a poll has seen it up as well, so that the same key
    // pressed again next is a press of its own.
    const std::uint32_t upBefore = upReadsOf(table, virtualKey).load();
    setKeyDown(virtualKey, false);
    if (seen) {
        waitForRead(upReadsOf(table, virtualKey), upBefore,
                    std::chrono::steady_clock::now() + limit);
    }
    return seen;
}

} // namespace platform::shell
