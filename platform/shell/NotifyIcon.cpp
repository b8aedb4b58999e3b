#include "platform/shell/NotifyIcon.h"

#include "platform/shell/Menu.h"
#include "platform/shell/Screen.h"
#include "platform/shell/Shell.h"
#include "platform/shell/ShellDriver.h"
#include "platform/shell/ShellState.h"
#include "platform/shell/X11Tray.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/Messages.h"
#include "platform/window/MessageWindow.h"

#include <algorithm>
#include <array>

namespace platform::shell {

using namespace detail;

namespace {

constexpr std::string_view kIcons = "icons";
constexpr std::string_view kDown = "down";

using Array = JsonValue::Array;

std::u16string cut(std::u16string_view text, std::size_t max) {
    return std::u16string(text.substr(0, max));
}

Array loadIcons() {
    auto icons = readState(kIcons);
    if (icons && icons->isArray()) {
        return std::move(*icons->asArray());
    }
    return {};
}

bool saveIcons(const Array& icons) {
    return writeState(kIcons, JsonValue(icons));
}

Array::iterator findIcon(Array& icons, std::string_view window, std::uint32_t id) {
    const std::string folded = asciiLower(window);
    return std::find_if(icons.begin(), icons.end(), [&](const JsonValue& icon) {
        return asciiLower(memberText(icon, "window")) == folded && member32(icon, "id") == id;
    });
}

JsonValue iconKey(std::string_view window, std::uint32_t id) {
    JsonValue key;
    key.set("window", window);
    key.set("id", static_cast<std::int64_t>(id));
    return key;
}

bool isRunning() {
    return !readState(kDown).has_value();
}

void journalSweep(const JsonValue& icon) {
    JsonValue fields = iconKey(memberText(icon, "window"), member32(icon, "id"));
    fields.set("owner", memberNumber(*icon.find("owner"), "pid"));
    journal("icon.sweep", fields);
}

bool iconLives(const JsonValue& icon) {
    return processLives(processFromJson(icon.find("owner")));
}

bool fail(std::string_view op, const NotifyIconData& data, std::string_view why) {
    JsonValue fields = iconKey(data.window, data.id);
    fields.set("ok", false);
    fields.set("why", why);
    journal(op, fields);
    return false;
}

// Sets the members the flags name, and says what changed in the journal's
// fields.
void apply(JsonValue& icon, const NotifyIconData& data, JsonValue& fields) {
    if ((data.flags & kNifMessage) != 0) {
        icon.set("callback", static_cast<std::int64_t>(data.callbackMessage));
        fields.set("callback", static_cast<std::int64_t>(data.callbackMessage));
    }
    if ((data.flags & kNifIcon) != 0) {
        icon.set("icon", static_cast<std::int64_t>(data.icon));
        fields.set("icon", static_cast<std::int64_t>(data.icon));
    }
    if ((data.flags & kNifTip) != 0) {
        const std::string tip = utf16ToUtf8(cut(data.tip, kTipMax));
        icon.set("tip", tip);
        fields.set("tip", tip);
    }
    if ((data.flags & kNifState) != 0) {
        const auto state =
            (member32(icon, "state") & ~data.stateMask) | (data.state & data.stateMask);
        icon.set("state", static_cast<std::int64_t>(state));
        fields.set("state", static_cast<std::int64_t>(state));
    }
    if ((data.flags & kNifInfo) != 0) {
        icon.set("balloon", utf16ToUtf8(cut(data.info, kInfoMax)));
        icon.set("balloon_title", utf16ToUtf8(cut(data.infoTitle, kInfoTitleMax)));
    }
}

// Shows the icon as it now is on the display, if the process shows one.
void showOnDisplay(const JsonValue& icon, const NotifyIconData& data) {
    if (!x11ShellVisible()) {
        return;
    }
    TrayIconView view;
    view.window = memberText(icon, "window");
    view.id = member32(icon, "id");
    view.callbackMessage = member32(icon, "callback");
    view.icon = member32(icon, "icon");
    view.tip = utf8ToUtf16(memberText(icon, "tip"));
    x11IconSet(view);
    if ((data.flags & kNifInfo) != 0) {
        x11IconBalloon(view.window, view.id, cut(data.infoTitle, kInfoTitleMax),
                       cut(data.info, kInfoMax));
    }
}

void journalBalloon(const NotifyIconData& data) {
    if ((data.flags & kNifInfo) == 0 || data.info.empty()) {
        return;
    }
    JsonValue fields = iconKey(data.window, data.id);
    fields.set("text", utf16ToUtf8(cut(data.info, kInfoMax)));
    fields.set("title", utf16ToUtf8(cut(data.infoTitle, kInfoTitleMax)));
    journal("icon.balloon", fields);
}

bool add(const NotifyIconData& data) {
    constexpr std::string_view op = "icon.add";
    if (data.window.empty() || !findWindow(data.window)) {
        return fail(op, data, "no window");
    }
    StateLock lock;
    if (!isRunning()) {
        return fail(op, data, "shell down");
    }
    Array icons = loadIcons();
    if (const auto found = findIcon(icons, data.window, data.id); found != icons.end()) {
        if (iconLives(*found)) {
            return fail(op, data, "exists");
        }
        journalSweep(*found);
        icons.erase(found);
    }
    JsonValue icon = iconKey(data.window, data.id);
    icon.set("owner", processJson(thisProcess()));
    JsonValue fields = iconKey(data.window, data.id);
    apply(icon, data, fields);
    icons.push_back(std::move(icon));
    if (!saveIcons(icons)) {
        return fail(op, data, "state not written");
    }
    fields.set("ok", true);
    journal(op, fields);
    journalBalloon(data);
    showOnDisplay(icons.back(), data);
    return true;
}

bool modify(const NotifyIconData& data) {
    constexpr std::string_view op = "icon.modify";
    StateLock lock;
    if (!isRunning()) {
        return fail(op, data, "shell down");
    }
    Array icons = loadIcons();
    const auto found = findIcon(icons, data.window, data.id);
    if (found == icons.end()) {
        return fail(op, data, "no icon");
    }
    JsonValue fields = iconKey(data.window, data.id);
    apply(*found, data, fields);
    if (!saveIcons(icons)) {
        return fail(op, data, "state not written");
    }
    fields.set("ok", true);
    journal(op, fields);
    journalBalloon(data);
    showOnDisplay(*found, data);
    return true;
}

bool remove(const NotifyIconData& data) {
    constexpr std::string_view op = "icon.delete";
    StateLock lock;
    if (!isRunning()) {
        return fail(op, data, "shell down");
    }
    Array icons = loadIcons();
    const auto found = findIcon(icons, data.window, data.id);
    if (found == icons.end()) {
        return fail(op, data, "no icon");
    }
    icons.erase(found);
    if (!saveIcons(icons)) {
        return fail(op, data, "state not written");
    }
    JsonValue fields = iconKey(data.window, data.id);
    fields.set("ok", true);
    journal(op, fields);
    x11IconRemove(data.window, data.id);
    return true;
}

} // namespace

std::filesystem::path journalPath() {
    return shellFolder() / "journal";
}

std::uint32_t taskbarCreatedMessage() {
    return registerWindowMessage(kTaskbarCreated);
}

bool shellRunning() {
    return isRunning();
}

bool notifyIcon(std::uint32_t action, const NotifyIconData& data) {
    switch (action) {
    case kNimAdd:
        return add(data);
    case kNimModify:
        return modify(data);
    case kNimDelete:
        return remove(data);
    default:
        return fail("icon.unknown", data, "unknown action");
    }
}

std::vector<NotifyIconRecord> notifyIcons() {
    std::vector<NotifyIconRecord> records;
    StateLock lock;
    for (const auto& icon : loadIcons()) {
        NotifyIconRecord r;
        r.window = memberText(icon, "window");
        r.id = member32(icon, "id");
        r.owner = processFromJson(icon.find("owner")).pid;
        r.callbackMessage = member32(icon, "callback");
        r.icon = member32(icon, "icon");
        r.tip = utf8ToUtf16(memberText(icon, "tip"));
        r.state = member32(icon, "state");
        r.balloon = utf8ToUtf16(memberText(icon, "balloon"));
        r.balloonTitle = utf8ToUtf16(memberText(icon, "balloon_title"));
        records.push_back(std::move(r));
    }
    return records;
}

int sweepNotifyIcons() {
    StateLock lock;
    Array icons = loadIcons();
    const auto before = icons.size();
    std::erase_if(icons, [](const JsonValue& icon) {
        if (iconLives(icon)) {
            return false;
        }
        journalSweep(icon);
        return true;
    });
    const int swept = static_cast<int>(before - icons.size());
    if (swept > 0) {
        saveIcons(icons);
    }
    return swept;
}

void markShellDown() {
    StateLock lock;
    writeState(kDown, JsonValue(true));
    removeState(kIcons);
    journal("shell.down");
}

int restartShell() {
    {
        StateLock lock;
        removeState(kDown);
        removeState(kIcons);
    }
    const int reached = broadcastMessage(taskbarCreatedMessage());
    JsonValue fields;
    fields.set("windows", reached);
    journal("shell.restart", fields);
    return reached;
}

DriverResult clickNotifyIcon(std::string_view window, std::uint32_t id, IconClick click) {
    JsonValue fields = iconKey(window, id);
    fields.set("click", click == IconClick::Right ? "right" : "double");
    const auto refuse = [&fields](std::string why) {
        fields.set("ok", false);
        fields.set("why", why);
        journal("icon.click", fields);
        return DriverResult{false, std::move(why)};
    };
    std::string owner;
    std::uint32_t callback = 0;
    {
        StateLock lock;
        Array icons = loadIcons();
        const auto found = findIcon(icons, window, id);
        if (found == icons.end()) {
            return refuse("no such icon");
        }
        if (!iconLives(*found)) {
            // The shell finds out only now that its process is gone.
            journalSweep(*found);
            icons.erase(found);
            saveIcons(icons);
            return refuse("the icon's process has ended");
        }
        owner = memberText(*found, "window");
        callback = member32(*found, "callback");
        // Icons sit in a row from the screen's bottom-right corner.
        const auto size = screenSize();
        const int slot = static_cast<int>(found - icons.begin());
        setCursorPos({size.width - 12 - 24 * slot, size.height - 12});
    }
    if (callback == 0) {
        return refuse("the icon has no callback message");
    }
    using namespace platform::ui;
    static constexpr std::array<std::uint32_t, 2> kRight = {kWmRButtonDown, kWmRButtonUp};
    static constexpr std::array<std::uint32_t, 4> kDouble = {kWmLButtonDown, kWmLButtonUp,
                                                             kWmLButtonDblClk, kWmLButtonUp};
    const auto post = [&](auto mice) {
        for (const auto mouse : mice) {
            if (postMessage(owner, callback, id, mouse) != SendStatus::Ok) {
                return false;
            }
        }
        return true;
    };
    if (!(click == IconClick::Right ? post(kRight) : post(kDouble))) {
        return refuse("the icon's window did not take the click");
    }
    fields.set("ok", true);
    journal("icon.click", fields);
    return {true, {}};
}

} // namespace platform::shell
