#include "monitor/CorvantixCheatCode.h"

#include "common/ToolLog.h"
#include "platform/shell/KeyState.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr const char* kModule = "CorvantixCheatCode";

// The sequences, as keys of the keyboard: arrows (0x25-0x28), letters and
// F12 (0x7B). None is a key a message box answers to.
constexpr std::uint32_t kArrowsSequence[] = {0x26, 0x26, 0x28, 0x28, 0x25, 0x27, 0x25,
                                             0x27, 'B',  'A',  'D',  'B',  'G'};
constexpr std::uint32_t kLogSequence[] = {0x7B, 'C', 'V', 'X', 'L', 'O', 'G'};
constexpr std::uint32_t kNameSequence[] = {'V', 'O', 'N', 'D', 'E', 'L', 'D', 'E', 'B', 'U', 'G'};

// Process-wide; never destroyed, since the poll thread outlives main().
struct Registry {
    std::mutex lock;
    std::vector<std::unique_ptr<CheatCode>> records; // complete before the thread starts
    bool registered = false;
    std::function<bool()> aboutBoxOpen;
    std::function<void()> toggle;
};

Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

bool aboutBoxOpenNow() {
    std::function<bool()> test;
    {
        auto& r = registry();
        std::lock_guard guard(r.lock);
        test = r.aboutBoxOpen;
    }
    return test && test();
}

} // namespace

std::unique_ptr<CheatCode> initCheatCode(const std::uint32_t* codes, std::uint32_t count) {
    if (codes == nullptr) {
        logNullParameter("inputCheatCode", kModule, __LINE__);
        return nullptr;
    }
    std::unique_ptr<CheatCode> record(new (std::nothrow) CheatCode{});
    if (!record) {
        logAllocationFailure(kModule, __LINE__);
        return nullptr;
    }
    std::uint32_t copied = 0;
    while (copied < count && codes[copied] != 0) {
        if (copied == kCheatCodeMaxKeys) {
            logError(" Init cheat code error, input too long");
            return nullptr;
        }
        record->keys[copied] = codes[copied];
        ++copied;
    }
    record->keys[copied] = 0;
    record->length = copied == 0 ? 1 : copied;
    record->callback = toggleDebugMode;
    return record;
}

std::vector<std::vector<std::uint32_t>> cheatCodeSequences() {
    return {
        std::vector<std::uint32_t>(std::begin(kArrowsSequence), std::end(kArrowsSequence)),
        std::vector<std::uint32_t>(std::begin(kLogSequence), std::end(kLogSequence)),
        std::vector<std::uint32_t>(std::begin(kNameSequence), std::end(kNameSequence)),
    };
}

void registerCheatCodes() {
    auto& r = registry();
    std::lock_guard guard(r.lock);
    if (r.registered) {
        return;
    }
    r.registered = true;
    for (const auto& sequence : cheatCodeSequences()) {
        // One that cannot be made leaves the others working.
        if (auto record =
                initCheatCode(sequence.data(), static_cast<std::uint32_t>(sequence.size()))) {
            r.records.push_back(std::move(record));
        }
    }
    std::thread(cheatCodeThread).detach();
}

std::vector<const CheatCode*> cheatCodeTable() {
    auto& r = registry();
    std::lock_guard guard(r.lock);
    std::vector<const CheatCode*> table;
    for (const auto& record : r.records) {
        table.push_back(record.get());
    }
    return table;
}

void cheatCodeThread() {
    CheatCodePoll poll(cheatCodeTable(), {aboutBoxOpenNow, platform::shell::getAsyncKeyState,
                                          [](std::chrono::milliseconds pause) {
                                              std::this_thread::sleep_for(pause);
                                              return true;
                                          }});
    for (;;) {
        poll.run();
    }
}

void setAboutBoxOpenTest(std::function<bool()> aboutBoxOpen) {
    auto& r = registry();
    std::lock_guard guard(r.lock);
    r.aboutBoxOpen = std::move(aboutBoxOpen);
}

void setDebugModeSwitch(std::function<void()> toggle) {
    auto& r = registry();
    std::lock_guard guard(r.lock);
    r.toggle = std::move(toggle);
}

void toggleDebugMode() {
    std::function<void()> toggle;
    {
        auto& r = registry();
        std::lock_guard guard(r.lock);
        toggle = r.toggle;
    }
    if (toggle) {
        toggle();
    }
}

CheatCodePoll::CheatCodePoll(std::vector<const CheatCode*> table, Hooks hooks)
    : table_(std::move(table)), hooks_(std::move(hooks)) {}

void CheatCodePoll::run() {
    while (round()) {
    }
}

bool CheatCodePoll::matches(const CheatCode& code) const {
    // A sequence longer than the history never matches.
    if (history_.size() < code.length) {
        return false;
    }
    return std::equal(history_.end() - code.length, history_.end(), code.keys.begin());
}

bool CheatCodePoll::round() {
    if (!hooks_.aboutBoxOpen()) {
        return hooks_.pause(kCheatCodeIdlePause);
    }
    const auto down = [this](std::uint32_t key) { return (hooks_.keyState(key) & 0x8000) != 0; };
    for (std::uint32_t key = 1; key <= 254; ++key) {
        if (!down(key)) {
            continue;
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", key);
        logNormal("User pressed: ", hex);
        history_.push_back(key);
        if (history_.size() > kCheatCodeHistory) {
            history_.pop_front();
        }
        // A key held down counts once.
        while (down(key)) {
            if (!hooks_.pause(kCheatCodeKeyPause)) {
                return false;
            }
        }
        for (const CheatCode* code : table_) {
            if (matches(*code)) {
                history_.clear();
                if (code->callback) {
                    code->callback();
                }
            }
        }
    }
    return hooks_.pause(kCheatCodeKeyPause);
}
