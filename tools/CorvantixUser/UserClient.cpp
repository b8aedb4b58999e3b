#include "tools/CorvantixUser/UserClient.h"

#include "platform/ui/ScriptedBackend.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace corvantix_user {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// "<pid>-<tag>.sock"
std::optional<pid_t> pidOfName(const std::string& name) {
    const auto dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || !name.ends_with(".sock")) {
        return std::nullopt;
    }
    pid_t pid = 0;
    for (std::size_t i = 0; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 10000000) {
            return std::nullopt;
        }
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

// A socket of this user that nobody else may use.
bool trustedSocket(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

int remaining(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<Milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

std::optional<std::string> exchange(const fs::path& path, std::string_view line,
                                    Milliseconds limit) {
    if (!trustedSocket(path)) {
        return std::nullopt;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof addr.sun_path) {
        return std::nullopt;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return std::nullopt;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != geteuid()) {
        return std::nullopt;
    }
    std::string out(line);
    out += '\n';
    std::string_view rest = out;
    while (!rest.empty()) {
        const ssize_t n = ::send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            platform::ui::wipeString(out);
            return std::nullopt;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    platform::ui::wipeString(out);
    const auto until = Clock::now() + limit;
    std::string answer;
    char chunk[4096];
    for (;;) {
        const auto newline = answer.find('\n');
        if (newline != std::string::npos) {
            answer.resize(newline);
            return answer;
        }
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining(until));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        answer.append(chunk, static_cast<std::size_t>(n));
    }
}

Reply unreachable(std::string why) {
    Reply reply;
    reply.error = std::move(why);
    return reply;
}

JsonValue op(std::string_view name) {
    JsonValue request;
    request.set("op", name);
    return request;
}

JsonValue about(std::string_view name, Window window) {
    JsonValue request = op(name);
    request.set("window", static_cast<std::uint64_t>(window));
    return request;
}

bool noSuchDialog(const Reply& reply) {
    return !reply.ok && reply.error.starts_with("no such");
}

} // namespace

std::vector<Endpoint> Client::endpoints() const {
    std::vector<Endpoint> found;
    const fs::path folder = platform::ui::scriptedSocketFolder();
    if (folder.empty()) {
        return found;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const auto pid = pidOfName(entry.path().filename().string());
        if (!pid || (process_ && *process_ != *pid)) {
            continue;
        }
        if (::kill(*pid, 0) != 0 && errno == ESRCH) {
            // Left by a process that died.
            if (trustedSocket(entry.path())) {
                fs::remove(entry.path(), ec);
            }
            continue;
        }
        found.push_back({entry.path(), *pid});
    }
    std::sort(found.begin(), found.end(),
              [](const Endpoint& a, const Endpoint& b) { return a.socket < b.socket; });
    return found;
}

Reply Client::ask(const Endpoint& endpoint, const JsonValue& request, Milliseconds limit) {
    std::string line = platform::ui::serializeJson(request);
    auto answer = askRaw(endpoint, line, limit);
    platform::ui::wipeString(line);
    if (!answer) {
        return unreachable("no answer from " + endpoint.socket.string());
    }
    auto parsed = platform::ui::parseJson(*answer);
    if (!parsed.value || !parsed.value->isObject()) {
        return unreachable("an answer that is no JSON object");
    }
    Reply reply;
    const JsonValue* ok = parsed.value->find("ok");
    reply.ok = ok != nullptr && ok->asBool().value_or(false);
    if (const JsonValue* error = parsed.value->find("error"); error && error->isString()) {
        reply.error = *error->asString();
    }
    reply.body = std::move(*parsed.value);
    return reply;
}

std::optional<std::string> Client::askRaw(const Endpoint& endpoint, std::string_view line,
                                          Milliseconds limit) {
    return exchange(endpoint.socket, line, limit);
}

Reply Client::askAbout(Window window, JsonValue request) const {
    // A wait may take as long as the request allows, and a little more.
    Milliseconds limit(30000);
    if (const JsonValue* t = request.find("timeout_ms"); t && t->isNumber()) {
        limit = Milliseconds(*t->asNumber()) + Milliseconds(5000);
    }
    Reply last = unreachable("no process of that window has a scripted backend");
    for (const auto& endpoint : Client(processOf(window)).endpoints()) {
        last = ask(endpoint, request, limit);
        if (!noSuchDialog(last) && (last.ok || !last.error.starts_with("no answer"))) {
            break;
        }
    }
    request.wipe();
    return last;
}

std::vector<JsonValue> Client::listDialogs() const {
    std::vector<JsonValue> dialogs;
    for (const auto& endpoint : endpoints()) {
        const Reply reply = ask(endpoint, op("list"));
        const JsonValue* list = reply.body.find("dialogs");
        if (!reply.ok || list == nullptr || !list->isArray()) {
            continue;
        }
        for (JsonValue dialog : *list->asArray()) {
            dialog.set("pid", static_cast<std::int64_t>(endpoint.pid));
            dialogs.push_back(std::move(dialog));
        }
    }
    return dialogs;
}

namespace {

std::optional<Window> waitFor(const Client& client, Milliseconds limit,
                              const std::function<bool(const JsonValue&)>& wanted) {
    const auto until = Clock::now() + limit;
    for (;;) {
        for (const auto& dialog : client.listDialogs()) {
            if (wanted(dialog)) {
                return static_cast<Window>(dialog.find("window")->asNumber().value_or(0));
            }
        }
        if (Clock::now() >= until) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(Milliseconds(20));
    }
}

} // namespace

std::optional<Window> Client::waitForDialog(std::uint32_t templateId, Milliseconds limit) const {
    return waitFor(*this, limit, [templateId](const JsonValue& d) {
        const JsonValue* id = d.find("template");
        const JsonValue* kind = d.find("kind");
        return id && id->asNumber() == std::int64_t(templateId) && kind && kind->asString() &&
               *kind->asString() == "dialog";
    });
}

std::optional<Window> Client::waitForMessageBox(Milliseconds limit) const {
    return waitFor(*this, limit, [](const JsonValue& d) {
        const JsonValue* kind = d.find("kind");
        return kind && kind->asString() && *kind->asString() == "messagebox";
    });
}

Reply Client::dump(Window dialog) const {
    return askAbout(dialog, about("dump", dialog));
}

Reply Client::click(Window dialog, int control) const {
    JsonValue request = about("click", dialog);
    request.set("control", control);
    return askAbout(dialog, std::move(request));
}

Reply Client::press(Window dialog, std::string_view label) const {
    JsonValue request = about("press", dialog);
    request.set("label", label);
    return askAbout(dialog, std::move(request));
}

Reply Client::type(Window dialog, std::string_view text) const {
    JsonValue request = about("type", dialog);
    request.set("text", text);
    return askAbout(dialog, std::move(request));
}

Reply Client::key(Window dialog, std::string_view key) const {
    JsonValue request = about("key", dialog);
    request.set("key", key);
    return askAbout(dialog, std::move(request));
}

Reply Client::focus(Window dialog, int control) const {
    JsonValue request = about("focus", dialog);
    request.set("control", control);
    return askAbout(dialog, std::move(request));
}

Reply Client::select(Window dialog, int control, int start, int end) const {
    JsonValue request = about("select", dialog);
    request.set("control", control);
    request.set("start", start);
    request.set("end", end);
    return askAbout(dialog, std::move(request));
}

Reply Client::hover(Window dialog, std::optional<int> control) const {
    JsonValue request = about("hover", dialog);
    if (control) {
        request.set("control", *control);
    }
    return askAbout(dialog, std::move(request));
}

Reply Client::close(Window dialog) const {
    return askAbout(dialog, about("close", dialog));
}

Reply Client::answer(Window messageBox, std::string_view button) const {
    JsonValue request = about("answer", messageBox);
    request.set("button", button);
    return askAbout(messageBox, std::move(request));
}

Reply Client::waitClose(Window dialog, Milliseconds limit) const {
    JsonValue request = about("wait_close", dialog);
    request.set("timeout_ms", static_cast<std::int64_t>(limit.count()));
    return askAbout(dialog, std::move(request));
}

Reply Client::toAll(const JsonValue& request) const {
    Reply last = unreachable("no process has a scripted backend");
    for (const auto& endpoint : endpoints()) {
        last = ask(endpoint, request);
        if (!last.ok) {
            return last;
        }
    }
    return last;
}

Reply Client::capsLock(bool on) const {
    JsonValue request = op("capslock");
    request.set("on", on);
    return toAll(request);
}

Reply Client::advance(Milliseconds by) const {
    JsonValue request = op("advance");
    request.set("ms", static_cast<std::int64_t>(by.count()));
    return toAll(request);
}

Reply Client::hoverOff() const {
    return toAll(op("hover"));
}

Reply Client::events(pid_t process, std::uint64_t since) const {
    JsonValue request = op("events");
    request.set("since", static_cast<std::uint64_t>(since));
    Reply last = unreachable("that process has no scripted backend");
    for (const auto& endpoint : Client(process).endpoints()) {
        last = ask(endpoint, request);
        if (last.ok) {
            break;
        }
    }
    return last;
}

} // namespace corvantix_user
