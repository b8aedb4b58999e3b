#include "platform/ui/ScriptedBackend.h"

#include "platform/folders/Folders.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/JsonLine.h"
#include "platform/ui/Keyboard.h"
#include "platform/ui/Wipe.h"
#include "platform/windowlist/WindowList.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <type_traits>
#include <unistd.h>

namespace platform::ui {
namespace {

// How long a dialog on its way out may take to report its close.
constexpr std::chrono::milliseconds kCloseGrace{500};

namespace fs = std::filesystem;

constexpr Milliseconds kDefaultActionLimit(10000);
constexpr std::int64_t kMaxWaitMs = 600000;

std::string hexColour(Colour colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", redOf(colour), greenOf(colour),
                  blueOf(colour));
    return text;
}

JsonValue rectJson(const Rect& r) {
    return JsonValue(JsonValue::Array{r.left, r.top, r.right, r.bottom});
}

JsonValue fontJson(const Font& font) {
    JsonValue f;
    f.set("face", utf16ToUtf8(font.face));
    f.set("height", font.height);
    f.set("weight", font.weight);
    f.set("escapement", font.escapement);
    f.set("charset", font.charset);
    return f;
}

JsonValue opsJson(const std::vector<DrawOp>& ops) {
    JsonValue list{JsonValue::Array{}};
    for (const auto& op : ops) {
        JsonValue item;
        if (const auto* bitmap = std::get_if<DrawnBitmap>(&op)) {
            item.set("bitmap", static_cast<std::int64_t>(bitmap->id));
            item.set("rect", rectJson(bitmap->rect));
        } else if (const auto* text = std::get_if<DrawnText>(&op)) {
            item.set("text", utf16ToUtf8(text->text));
            item.set("rect", rectJson(text->rect));
            item.set("font", fontJson(text->font));
            item.set("colour", hexColour(text->colour));
            item.set("transparent", text->transparent);
            if (!text->transparent) {
                item.set("background", hexColour(text->background));
            }
            item.set("format", static_cast<std::int64_t>(text->format));
        } else if (const auto* fill = std::get_if<FilledRect>(&op)) {
            item.set("fill", hexColour(fill->colour));
            item.set("rect", rectJson(fill->rect));
        }
        list.push(std::move(item));
    }
    return list;
}

const char* kindName(ControlKind kind) {
    switch (kind) {
    case ControlKind::Static:
        return "static";
    case ControlKind::Button:
        return "button";
    case ControlKind::Edit:
        return "edit";
    case ControlKind::Picture:
        return "picture";
    case ControlKind::Group:
        return "group";
    }
    return "?";
}

JsonValue controlJson(const ControlSnapshot& s) {
    JsonValue c;
    c.set("id", s.id);
    c.set("kind", kindName(s.kind));
    c.set("text", utf16ToUtf8(s.text));
    c.set("length", s.length);
    c.set("visible", s.visible);
    c.set("enabled", s.enabled);
    c.set("rect", rectJson(s.rect));
    if (s.kind == ControlKind::Edit) {
        c.set("masked", s.masked);
        c.set("selection", JsonValue(JsonValue::Array{s.selectionStart, s.selectionEnd}));
        c.set("readonly", s.readOnly);
        c.set("limit", s.limit);
        c.set("password_char",
              s.passwordChar != 0 ? utf16ToUtf8(std::u16string(1, s.passwordChar)) : "");
    }
    if (s.kind == ControlKind::Button) {
        c.set("owner_draw", s.ownerDraw);
        c.set("default", s.defaultButton);
    }
    if (s.kind == ControlKind::Picture) {
        c.set("bitmap", static_cast<std::int64_t>(s.bitmap));
    }
    c.set("focused", s.focused);
    c.set("hovered", s.hovered);
    c.set("colour", s.textColour ? JsonValue(hexColour(*s.textColour)) : JsonValue());
    c.set("background", s.background ? JsonValue(hexColour(*s.background)) : JsonValue());
    c.set("drawn", opsJson(s.drawing));
    return c;
}

JsonValue dialogJson(const DialogSnapshot& s) {
    JsonValue d;
    d.set("window", static_cast<std::uint64_t>(s.handle));
    d.set("template", static_cast<std::int64_t>(s.templateId));
    d.set("kind", s.kind == DialogKind::MessageBox ? "messagebox" : "dialog");
    d.set("caption", utf16ToUtf8(s.caption));
    d.set("owner", static_cast<std::uint64_t>(s.owner));
    if (s.owner != 0) {
        if (const auto owner = platform::findTopLevelWindow(s.owner)) {
            d.set("owner_class", owner->className);
            d.set("owner_title", owner->title);
        }
    }
    d.set("topmost", s.topMost);
    d.set("visible", s.visible);
    d.set("enabled", s.enabled);
    d.set("modal", s.modal);
    d.set("rect", rectJson(s.windowRect));
    d.set("client", rectJson(s.clientRect));
    d.set("font", fontJson(s.font));
    d.set("focus", s.focusId >= 0 ? JsonValue(s.focusId) : JsonValue());
    if (s.kind == DialogKind::MessageBox) {
        d.set("style", static_cast<std::int64_t>(s.messageBoxStyle));
    }
    d.set("drawn", opsJson(s.drawing));
    JsonValue controls{JsonValue::Array{}};
    for (const auto& control : s.controls) {
        controls.push(controlJson(control));
    }
    d.set("controls", std::move(controls));
    return d;
}

JsonValue fail(std::string_view why) {
    JsonValue answer;
    answer.set("ok", false);
    answer.set("error", why);
    return answer;
}

JsonValue ok() {
    JsonValue answer;
    answer.set("ok", true);
    return answer;
}

JsonValue fromInput(const InputResult& result) {
    return result.status == InputStatus::Done ? ok() : fail(result.why);
}

struct KeyName {
    std::string_view name;
    std::uint32_t key;
};

constexpr KeyName kKeys[] = {
    {"enter", kVkReturn},  {"escape", kVkEscape}, {"tab", kVkTab},          {"backspace", kVkBack},
    {"delete", kVkDelete}, {"left", kVkLeft},     {"right", kVkRight},      {"home", kVkHome},
    {"end", kVkEnd},       {"space", kVkSpace},   {"capslock", kVkCapital},
};

struct ButtonName {
    std::string_view name;
    int id;
};

constexpr ButtonName kButtons[] = {
    {"ok", kIdOk},         {"cancel", kIdCancel}, {"abort", kIdAbort}, {"retry", kIdRetry},
    {"ignore", kIdIgnore}, {"yes", kIdYes},       {"no", kIdNo},
};

// Names are typed by people: "OK" and "ok" are the same button or key.
bool sameName(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// "unknown key (enter, escape, ...)": the error names what would have worked.
template <typename Names>
std::string unknownName(const char* what, const Names& names, const char* more) {
    std::string text = std::string("unknown ") + what + " (";
    for (const auto& entry : names) {
        text += std::string(entry.name) + ", ";
    }
    text.resize(text.size() - 2);
    return text + more + ")";
}

bool ownedByMe(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == geteuid();
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

// One request, read field by field; every check comes before any change.
class ScriptedRequest {
public:
    ScriptedRequest(ScriptedBackend& backend, const JsonValue& request)
        : backend_(backend), request_(request) {}

    JsonValue run() {
        if (request_.find("op") == nullptr) {
            return fail("the request has no op");
        }
        const auto* op = field<std::string>("op");
        if (op == nullptr) {
            return fail(error_);
        }
        const auto limit = optionalNumber("timeout_ms", 0, kMaxWaitMs);
        if (!limit) {
            return fail(error_);
        }
        limit_ = *limit ? Milliseconds(**limit) : kDefaultActionLimit;
        if (*op == "list") {
            return list();
        }
        if (*op == "events") {
            return events();
        }
        if (*op == "capslock") {
            const auto* on = field<bool>("on");
            if (on == nullptr) {
                return fail(error_);
            }
            setCapsLock(*on);
            return ok();
        }
        if (*op == "advance") {
            return advance();
        }
        if (*op == "hover") {
            return hover();
        }
        if (*op == "wait_close") {
            return waitClose();
        }
        const auto window = windowField();
        if (!window) {
            return fail(error_);
        }
        if (*op == "dump") {
            const auto snapshot = snapshotDialog(*window);
            if (!snapshot) {
                return fail("no such open dialog");
            }
            JsonValue answer = ok();
            answer.set("dialog", dialogJson(*snapshot));
            return answer;
        }
        if (*op == "click" || *op == "focus" || *op == "select") {
            return controlAction(*op, *window);
        }
        if (*op == "press") {
            return press(*window);
        }
        if (*op == "type") {
            const auto* text = field<std::string>("text");
            if (text == nullptr) {
                return fail(error_);
            }
            std::u16string units = utf8ToUtf16(*text);
            const auto result = typeText(*window, units, limit_);
            wipeString(units);
            return fromInput(result);
        }
        if (*op == "key") {
            return key(*window);
        }
        if (*op == "close") {
            return fromInput(closeDialog(*window, limit_));
        }
        if (*op == "answer") {
            return answerBox(*window);
        }
        return fail("unknown op");
    }

private:
    template <typename T>
    const T* field(std::string_view name) {
        const JsonValue* value = request_.find(name);
        const T* typed = nullptr;
        if (value != nullptr) {
            if constexpr (std::is_same_v<T, std::string>) {
                typed = value->asString();
            } else if constexpr (std::is_same_v<T, bool>) {
                if (value->isBool()) {
                    boolStore_ = *value->asBool();
                    typed = &boolStore_;
                }
            }
        }
        if (typed == nullptr) {
            error_ = std::string(value == nullptr ? "missing field " : "wrong type of field ") +
                     std::string(name);
        }
        return typed;
    }

    std::optional<std::int64_t> number(std::string_view name, std::int64_t low, std::int64_t high) {
        const JsonValue* value = request_.find(name);
        if (value == nullptr || !value->isNumber()) {
            error_ = std::string(value == nullptr ? "missing field " : "wrong type of field ") +
                     std::string(name);
            return std::nullopt;
        }
        const auto n = *value->asNumber();
        if (n < low || n > high) {
            error_ = "field " + std::string(name) + " out of range";
            return std::nullopt;
        }
        return n;
    }

    // nullopt: malformed; an empty optional inside: absent.
    std::optional<std::optional<std::int64_t>> optionalNumber(std::string_view name,
                                                              std::int64_t low, std::int64_t high) {
        if (request_.find(name) == nullptr) {
            return std::optional<std::int64_t>();
        }
        const auto n = number(name, low, high);
        if (!n) {
            return std::nullopt;
        }
        return std::optional<std::int64_t>(*n);
    }

    std::optional<Window> windowField() {
        const auto n = number("window", 1, std::numeric_limits<std::int64_t>::max());
        if (!n) {
            return std::nullopt;
        }
        return static_cast<Window>(*n);
    }

    JsonValue list() {
        JsonValue dialogs{JsonValue::Array{}};
        for (const Window window : openDialogs()) {
            const auto s = snapshotDialog(window);
            if (!s) {
                continue;
            }
            JsonValue d;
            d.set("window", static_cast<std::uint64_t>(s->handle));
            d.set("template", static_cast<std::int64_t>(s->templateId));
            d.set("kind", s->kind == DialogKind::MessageBox ? "messagebox" : "dialog");
            d.set("caption", utf16ToUtf8(s->caption));
            d.set("modal", s->modal);
            d.set("enabled", s->enabled);
            dialogs.push(std::move(d));
        }
        JsonValue answer = ok();
        answer.set("pid", static_cast<std::int64_t>(getpid()));
        answer.set("dialogs", std::move(dialogs));
        return answer;
    }

    JsonValue events() {
        const auto since = optionalNumber("since", 0, std::numeric_limits<std::int64_t>::max());
        if (!since) {
            return fail(error_);
        }
        const auto from = static_cast<std::uint64_t>(since->value_or(0));
        JsonValue list{JsonValue::Array{}};
        std::uint64_t next = 0;
        {
            std::lock_guard lock(backend_.mutex_);
            for (const auto& event : backend_.events_) {
                if (event.number >= from) {
                    list.push(eventJson(event));
                }
            }
            next = backend_.nextEvent_;
        }
        JsonValue answer = ok();
        answer.set("events", std::move(list));
        answer.set("next", static_cast<std::uint64_t>(next));
        return answer;
    }

    static JsonValue eventJson(const ScriptedBackend::Event& event) {
        JsonValue e;
        e.set("number", static_cast<std::uint64_t>(event.number));
        e.set("type", event.opened ? "opened" : "closed");
        e.set("window", static_cast<std::uint64_t>(event.dialog.dialog));
        e.set("template", static_cast<std::int64_t>(event.dialog.templateId));
        e.set("kind", event.dialog.kind == DialogKind::MessageBox ? "messagebox" : "dialog");
        if (!event.opened) {
            e.set("result", static_cast<std::int64_t>(event.dialog.result));
            e.set("timed_out", event.dialog.timedOut);
        }
        return e;
    }

    JsonValue advance() {
        const auto ms = number("ms", 0, std::int64_t(1) << 40);
        if (!ms) {
            return fail(error_);
        }
        switch (advanceClock(Milliseconds(*ms))) {
        case AdvanceResult::Done:
            return ok();
        case AdvanceResult::RealClock:
            return fail("the clock is real");
        case AdvanceResult::NotSettled:
            return fail("a dialog's thread stayed busy");
        }
        return fail("advance failed");
    }

    JsonValue hover() {
        if (request_.find("window") == nullptr) {
            if (request_.find("control") != nullptr) {
                return fail("a control needs its window");
            }
            return fromInput(hoverWindow(0, limit_));
        }
        const auto window = windowField();
        if (!window) {
            return fail(error_);
        }
        Window target = *window;
        if (request_.find("control") != nullptr) {
            const auto id = number("control", -65536, 65535);
            if (!id) {
                return fail(error_);
            }
            target = getDlgItem(*window, static_cast<int>(*id));
            if (target == 0 || !snapshotDialog(*window)) {
                return fail("no such control in an open dialog");
            }
        }
        return fromInput(hoverWindow(target, limit_));
    }

    JsonValue waitClose() {
        const auto window = windowField();
        if (!window) {
            return fail(error_);
        }
        const auto until = std::chrono::steady_clock::now() + limit_;
        const bool open = snapshotDialog(*window).has_value();
        std::unique_lock lock(backend_.mutex_);
        const auto known = [&] { return backend_.closed_.count(*window) != 0; };
        // A dialog that is being destroyed is neither open nor yet recorded
        // as closed: give its close event a moment before calling it unknown.
        if (!open && !backend_.changed_.wait_until(
                         lock, std::min(until, std::chrono::steady_clock::now() + kCloseGrace),
                         [&] { return known() || backend_.stopping_; })) {
            return fail("no such dialog");
        }
        if (!backend_.changed_.wait_until(lock, until,
                                          [&] { return known() || backend_.stopping_; }) ||
            !known()) {
            return fail("the dialog is still open");
        }
        const auto& event = backend_.closed_.at(*window);
        JsonValue answer = ok();
        answer.set("result", static_cast<std::int64_t>(event.dialog.result));
        answer.set("timed_out", event.dialog.timedOut);
        return answer;
    }

    JsonValue controlAction(const std::string& op, Window window) {
        const auto id = number("control", -65536, 65535);
        if (!id) {
            return fail(error_);
        }
        std::optional<std::int64_t> start;
        std::optional<std::int64_t> end;
        if (op == "select") {
            start = number("start", -1, 0x7FFFFFFF);
            end = start ? number("end", -1, 0x7FFFFFFF) : std::nullopt;
            if (!start || !end) {
                return fail(error_);
            }
        }
        if (!snapshotDialog(window)) {
            return fail("no such open dialog");
        }
        const Window control = getDlgItem(window, static_cast<int>(*id));
        if (control == 0) {
            return fail("no such control");
        }
        if (op == "click") {
            return fromInput(clickControl(control, limit_));
        }
        if (op == "focus") {
            return fromInput(focusControl(control, limit_));
        }
        return fromInput(
            selectText(control, static_cast<int>(*start), static_cast<int>(*end), limit_));
    }

    JsonValue press(Window window) {
        const auto* label = field<std::string>("label");
        if (label == nullptr) {
            return fail(error_);
        }
        const auto snapshot = snapshotDialog(window);
        if (!snapshot) {
            return fail("no such open dialog");
        }
        const std::u16string wanted = utf8ToUtf16(*label);
        std::vector<int> found;
        for (const auto& control : snapshot->controls) {
            if (!control.visible) {
                continue;
            }
            for (const auto& op : control.drawing) {
                const auto* text = std::get_if<DrawnText>(&op);
                if (text != nullptr && text->text == wanted) {
                    found.push_back(control.id);
                    break;
                }
            }
        }
        if (found.empty()) {
            return fail("no key with that label");
        }
        if (found.size() > 1) {
            return fail("several keys have that label");
        }
        return fromInput(clickControl(getDlgItem(window, found.front()), limit_));
    }

    JsonValue key(Window window) {
        const JsonValue* value = request_.find("key");
        std::optional<std::uint32_t> code;
        if (value != nullptr && value->isNumber()) {
            const auto n = *value->asNumber();
            if (n > 0 && n < 256) {
                code = static_cast<std::uint32_t>(n);
            }
        } else if (value != nullptr && value->isString()) {
            const std::string& name = *value->asString();
            for (const auto& k : kKeys) {
                if (sameName(name, k.name)) {
                    code = k.key;
                }
            }
            if (name.size() == 1) {
                const char ch = name[0];
                if (ch >= '0' && ch <= '9') {
                    code = static_cast<std::uint32_t>(ch);
                } else if (ch >= 'a' && ch <= 'z') {
                    code = static_cast<std::uint32_t>(ch - 'a' + 'A');
                } else if (ch >= 'A' && ch <= 'Z') {
                    code = static_cast<std::uint32_t>(ch);
                }
            }
        }
        if (!code) {
            return fail(value == nullptr
                            ? "missing field key"
                            : unknownName("key", kKeys, ", a letter, a digit or a code 1-255"));
        }
        return fromInput(pressKey(window, *code, limit_));
    }

    JsonValue answerBox(Window window) {
        const auto* name = field<std::string>("button");
        if (name == nullptr) {
            return fail(error_);
        }
        int id = 0;
        for (const auto& b : kButtons) {
            if (sameName(*name, b.name)) {
                id = b.id;
            }
        }
        if (id == 0) {
            return fail(unknownName("button", kButtons, ""));
        }
        const auto snapshot = snapshotDialog(window);
        if (!snapshot || snapshot->kind != DialogKind::MessageBox) {
            return fail("no such open message box");
        }
        const Window button = getDlgItem(window, id);
        if (button == 0) {
            return fail("the message box has no such button");
        }
        return fromInput(clickControl(button, limit_));
    }

    ScriptedBackend& backend_;
    const JsonValue& request_;
    std::string error_;
    bool boolStore_ = false;
    Milliseconds limit_ = kDefaultActionLimit;
};

fs::path scriptedSocketFolder() {
    const fs::path run = folderPath(Folder::Run);
    const fs::path folder = run / "ui";
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        return {};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        return {};
    }
    return folder;
}

std::shared_ptr<ScriptedBackend> ScriptedBackend::detached() {
    return std::shared_ptr<ScriptedBackend>(new ScriptedBackend());
}

std::shared_ptr<ScriptedBackend> ScriptedBackend::start() {
    const fs::path folder = scriptedSocketFolder();
    if (folder.empty()) {
        return nullptr;
    }
    std::uint32_t tag = 0;
    if (getrandom(&tag, sizeof tag, 0) != sizeof tag) {
        return nullptr;
    }
    char name[48];
    std::snprintf(name, sizeof name, "%d-%08x.sock", static_cast<int>(getpid()), tag);
    const fs::path path = folder / name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof addr.sun_path) {
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    // The folder is the user's alone (0700), so nobody reaches the socket
    // before its own mode is narrowed.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return nullptr;
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return nullptr;
    }
    auto backend = std::shared_ptr<ScriptedBackend>(new ScriptedBackend());
    backend->socketPath_ = path;
    backend->listenFd_ = fd;
    backend->wakeFd_ = wake;
    backend->acceptThread_ = std::thread([raw = backend.get()] { raw->acceptLoop(); });
    return backend;
}

ScriptedBackend::~ScriptedBackend() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const auto& connection : connections_) {
            if (!connection.finished) {
                ::shutdown(connection.fd, SHUT_RDWR);
            }
        }
        changed_.notify_all();
    }
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    // The entries stay while their threads end: each closes its own socket.
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : connections_) {
            threads.push_back(std::move(connection.thread));
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void ScriptedBackend::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (!ownedByMe(fd)) {
            ::close(fd);
            continue;
        }
        std::vector<Connection> finished;
        {
            std::lock_guard lock(mutex_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (it->finished) {
                    finished.push_back(std::move(*it));
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            if (stopping_ || connections_.size() >= kScriptedMaxConnections) {
                ::close(fd);
            } else {
                connections_.push_back({fd, false, std::thread([this, fd] { serve(fd); })});
            }
        }
        for (auto& connection : finished) {
            connection.thread.join();
        }
    }
}

void ScriptedBackend::serve(int fd) {
    std::string buffer;
    bool skipping = false; // inside a line that was too long
    char chunk[4096];
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            break;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        explicit_bzero(chunk, sizeof chunk);
        bool open = true;
        std::size_t newline;
        while (open && (newline = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, newline);
            std::string rest = buffer.substr(newline + 1);
            wipeString(buffer);
            buffer = std::move(rest);
            std::string reply;
            if (skipping || line.size() > kScriptedMaxLine) {
                skipping = false;
                reply = serializeJson(fail("the line is too long"));
            } else {
                reply = answer(line);
            }
            wipeString(line);
            reply += '\n';
            open = sendAll(fd, reply);
        }
        if (!open) {
            break;
        }
        if (buffer.size() > kScriptedMaxLine) {
            wipeString(buffer);
            skipping = true;
        }
    }
    wipeString(buffer);
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
        if (connection.fd == fd && !connection.finished) {
            connection.finished = true;
            ::close(fd);
        }
    }
}

std::string ScriptedBackend::answer(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    auto parsed = parseJson(line);
    if (!parsed.value) {
        return serializeJson(fail("malformed request: " + parsed.error));
    }
    JsonValue reply = parsed.value->isObject() ? ScriptedRequest(*this, *parsed.value).run()
                                               : fail("the request is no object");
    parsed.value->wipe();
    return serializeJson(reply);
}

void ScriptedBackend::record(bool opened, const DialogEvent& event) {
    std::lock_guard lock(mutex_);
    Event e{nextEvent_++, opened, event};
    events_.push_back(e);
    while (events_.size() > kScriptedEventsKept) {
        events_.pop_front();
    }
    if (!opened) {
        closed_[event.dialog] = e;
        closedOrder_.push_back(event.dialog);
        while (closedOrder_.size() > kScriptedEventsKept) {
            closed_.erase(closedOrder_.front());
            closedOrder_.pop_front();
        }
    }
    changed_.notify_all();
}

void ScriptedBackend::dialogOpened(const DialogEvent& event) {
    record(true, event);
}

void ScriptedBackend::dialogChanged(Window) {}

void ScriptedBackend::dialogClosed(const DialogEvent& event) {
    record(false, event);
}

std::shared_ptr<Backend> startScriptedBackend() {
    return ScriptedBackend::start();
}

} // namespace platform::ui
