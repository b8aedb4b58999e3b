#include "platform/shell/Menu.h"

#include "platform/shell/Screen.h"
#include "platform/shell/Shell.h"
#include "platform/shell/ShellDriver.h"
#include "platform/shell/ShellState.h"
#include "platform/shell/X11Tray.h"
#include "platform/text/TextCodec.h"
#include "platform/window/MessageWindow.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <sys/random.h>
#include <thread>
#include <unistd.h>

namespace platform::shell {

using namespace detail;

namespace {

constexpr std::string_view kMenu = "menu";
constexpr std::string_view kCursor = "cursor";
constexpr std::string_view kOpen = "open";
constexpr std::string_view kChosen = "chosen";
constexpr std::string_view kDismissed = "dismissed";
constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool enabled(std::uint32_t flags) {
    return (flags & (kMfGrayed | kMfDisabled)) == 0;
}

JsonValue itemsJson(const std::vector<MenuItem>& items) {
    JsonValue list{JsonValue::Array{}};
    for (const auto& item : items) {
        JsonValue entry;
        if ((item.flags & kMfSeparator) != 0) {
            entry.set("separator", true);
        } else {
            if ((item.flags & kMfPopup) == 0) {
                entry.set("id", static_cast<std::int64_t>(item.id));
            }
            entry.set("text", utf16ToUtf8(item.text));
            entry.set("checked", (item.flags & kMfChecked) != 0);
            entry.set("enabled", enabled(item.flags));
            if ((item.flags & kMfPopup) != 0) {
                entry.set("items", itemsJson(item.items));
            }
        }
        list.push(std::move(entry));
    }
    return list;
}

// The command of that id in the model, through its sub-menus; null when
// there is none.
const JsonValue* findCommand(const JsonValue& items, std::uint32_t id) {
    const auto* list = items.asArray();
    if (list == nullptr) {
        return nullptr;
    }
    for (const auto& item : *list) {
        if (const JsonValue* sub = item.find("items")) {
            if (const JsonValue* found = findCommand(*sub, id)) {
                return found;
            }
        } else if (item.find("id") != nullptr && member32(item, "id") == id) {
            return &item;
        }
    }
    return nullptr;
}

std::string newToken() {
    static std::atomic<std::uint32_t> serial{1};
    std::uint32_t nonce = 0;
    (void)!getrandom(&nonce, sizeof nonce, 0);
    return std::to_string(getpid()) + "-" + std::to_string(serial++) + "-" + std::to_string(nonce);
}

// The open menu, when its process still lives; a dead one's is removed.
// The lock must be held.
std::optional<JsonValue> liveMenu() {
    auto menu = readState(kMenu);
    if (!menu || !menu->isObject()) {
        return std::nullopt;
    }
    if (!processLives(processFromJson(menu->find("process")))) {
        removeState(kMenu);
        return std::nullopt;
    }
    return menu;
}

// How the menu of the token stands: nullopt while open, else the id chosen
// (0 for none: dismissed, or replaced by another menu).
std::optional<std::uint32_t> outcome(const std::string& token) {
    StateLock lock;
    const auto menu = readState(kMenu);
    if (!menu || memberText(*menu, "token") != token) {
        return 0;
    }
    const std::string state = memberText(*menu, "state");
    if (state == kOpen) {
        return std::nullopt;
    }
    return state == kChosen ? member32(*menu, "chosen") : 0;
}

std::uint32_t refuseTrack(std::string_view owner, std::string_view why) {
    JsonValue fields;
    fields.set("owner", owner);
    fields.set("ok", false);
    fields.set("why", why);
    journal("menu.open", fields);
    return 0;
}

// Ends the open menu with a state, by the session tool's hand or the
// user's on the display (then only the menu of that token).
DriverResult endMenu(std::string_view state, std::optional<std::uint32_t> id,
                     std::string_view token = {}) {
    JsonValue fields;
    if (id) {
        fields.set("id", static_cast<std::int64_t>(*id));
    }
    const std::string op = id ? "menu.choose" : "menu.dismiss";
    const auto refuse = [&](std::string why) {
        fields.set("ok", false);
        fields.set("why", why);
        journal(op, fields);
        return DriverResult{false, std::move(why)};
    };
    std::string owner;
    {
        StateLock lock;
        auto menu = liveMenu();
        if (!menu || memberText(*menu, "state") != kOpen ||
            (!token.empty() && memberText(*menu, "token") != token)) {
            return refuse("no open menu");
        }
        if (id) {
            const JsonValue* items = menu->find("items");
            const JsonValue* item = items != nullptr ? findCommand(*items, *id) : nullptr;
            if (item == nullptr) {
                return refuse("not a command of the open menu");
            }
            if (const auto on = item->find("enabled");
                on == nullptr || !on->asBool().value_or(false)) {
                return refuse("the command is disabled");
            }
            menu->set("chosen", static_cast<std::int64_t>(*id));
        }
        menu->set("state", state);
        if (!writeState(kMenu, *menu)) {
            return refuse("state not written");
        }
        owner = memberText(*menu, "owner");
    }
    fields.set("ok", true);
    journal(op, fields);
    // The tracker may be waiting in its owner's loop.
    wakeWindow(owner);
    return {true, {}};
}

} // namespace

void Menu::append(std::uint32_t flags, std::uint32_t id, std::u16string_view text) {
    items_.push_back(
        {flags & ~kMfPopup, (flags & kMfSeparator) != 0 ? 0 : id, std::u16string(text), {}});
}

void Menu::appendPopup(std::uint32_t flags, Menu popup, std::u16string_view text) {
    items_.push_back({flags | kMfPopup, 0, std::u16string(text), std::move(popup.items_)});
}

std::uint32_t trackPopupMenu(const Menu& menu, std::uint32_t flags, platform::ui::Point at,
                             std::string_view owner) {
    if (menu.items().empty()) {
        return refuseTrack(owner, "empty menu");
    }
    if (owner.empty() || !findWindow(owner)) {
        return refuseTrack(owner, "no window");
    }
    const std::string token = newToken();
    JsonValue model;
    model.set("owner", owner);
    model.set("x", at.x);
    model.set("y", at.y);
    model.set("flags", static_cast<std::int64_t>(flags));
    model.set("items", itemsJson(menu.items()));
    std::optional<std::string> replacedOwner;
    {
        StateLock lock;
        if (!shellRunning()) {
            return refuseTrack(owner, "shell down");
        }
        if (const auto before = liveMenu(); before && memberText(*before, "state") == kOpen) {
            replacedOwner = memberText(*before, "owner");
        }
        JsonValue state = model;
        state.set("token", token);
        state.set("process", processJson(thisProcess()));
        state.set("state", kOpen);
        if (!writeState(kMenu, state)) {
            return refuseTrack(owner, "state not written");
        }
    }
    model.set("ok", true);
    journal("menu.open", model);
    x11MenuOpen(token, menu.items(), at, flags);
    if (replacedOwner) {
        // The menu it replaced closes without a choice.
        wakeWindow(*replacedOwner);
    }

    std::optional<std::uint32_t> result;
    const auto closed = [&] {
        result = outcome(token);
        return result.has_value();
    };
    MessageWindow* loop = MessageWindow::current();
    if (loop != nullptr && asciiLower(loop->className()) == asciiLower(owner)) {
        if (loop->runNestedLoop(closed) != MessageWindow::LoopEnd::Done) {
            result = 0; // a quit closes the menu; it goes on to the loops outside
        }
    } else {
        while (!closed()) {
            std::this_thread::sleep_for(kPollInterval);
        }
    }
    x11MenuClose(token);
    {
        StateLock lock;
        const auto state = readState(kMenu);
        if (state && memberText(*state, "token") == token) {
            removeState(kMenu);
        }
    }
    JsonValue fields;
    fields.set("owner", owner);
    fields.set("id", static_cast<std::int64_t>(*result));
    journal("menu.close", fields);
    if ((flags & kTpmReturnCmd) != 0) {
        return *result;
    }
    if (*result != 0) {
        postMessage(owner, platform::ui::kWmCommand, *result, 0);
    }
    return 1;
}

platform::ui::Point cursorPos() {
    StateLock lock;
    if (const auto cursor = readState(kCursor); cursor && cursor->isObject()) {
        return {static_cast<int>(memberNumber(*cursor, "x")),
                static_cast<int>(memberNumber(*cursor, "y"))};
    }
    const auto size = screenSize();
    return {size.width / 2, size.height / 2};
}

void setCursorPos(platform::ui::Point point) {
    JsonValue cursor;
    cursor.set("x", point.x);
    cursor.set("y", point.y);
    writeState(kCursor, cursor);
}

std::optional<JsonValue> openMenu() {
    StateLock lock;
    auto menu = liveMenu();
    if (!menu || memberText(*menu, "state") != kOpen) {
        return std::nullopt;
    }
    JsonValue model;
    for (const char* key : {"owner", "x", "y", "items"}) {
        if (const JsonValue* value = menu->find(key)) {
            model.set(key, *value);
        }
    }
    model.set("pid", memberNumber(*menu->find("process"), "pid"));
    return model;
}

void detail::endMenuOf(const std::string& token, std::optional<std::uint32_t> id) {
    endMenu(id ? kChosen : kDismissed, id, token);
}

DriverResult chooseMenuItem(std::uint32_t id) {
    return endMenu(kChosen, id);
}

DriverResult dismissMenu() {
    return endMenu(kDismissed, std::nullopt);
}

} // namespace platform::shell
