#include "worker/Delete.h"

#include "common/ResultCode.h"
#include "common/ToolLog.h"
#include "platform/folders/Folders.h"
#include "worker/Worker.h"
#include "worker/WorkerTool.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPathMax = 511;
constexpr int kUninstallerRounds = 30;
constexpr int kRetries = 10;
constexpr auto kRetryPause = std::chrono::milliseconds(500);

// Tries once and then up to ten more times, half a second apart.
bool withRetries(const std::function<bool()>& attempt) {
    for (int tries = 0;; ++tries) {
        if (attempt()) {
            return true;
        }
        if (tries == kRetries) {
            return false;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

// A path that does not exist is taken by its look: a separator after its
// last dot names a folder, anything else a file. "File mode" is logged when
// a dot decided it.
bool looksLikeFolder(const std::string& path) {
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        if (*it == '.') {
            logNormal("File mode");
            return false;
        }
        if (*it == '/' || *it == '\\') {
            return true;
        }
    }
    return false;
}

// The path as it was written: what it starts from (the working folder, the
// root, or the folder of a drive letter), which is never removed, and the
// parts below that the walk may remove, from the last one up.
struct WrittenPath {
    fs::path base;
    std::vector<std::string> parts;

    fs::path upTo(std::size_t count) const {
        fs::path path = base;
        for (std::size_t i = 0; i < count; ++i) {
            path /= parts[i];
        }
        return path;
    }
};

WrittenPath writtenPath(const std::string& text) {
    WrittenPath written;
    // A path written the Windows way ("C:\x\y.txt") names a file of the
    // drive's folder.
    const fs::path native = platform::nativePath(text);
    fs::path below = native;
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
        written.base = platform::driveFolder(text[0]);
        below = native.lexically_relative(written.base);
    } else if (native.is_absolute()) {
        written.base = native.root_path();
        below = native.relative_path();
    }
    for (const auto& part : below) {
        if (!part.empty() && part != ".") {
            written.parts.push_back(part.string());
        }
    }
    return written;
}

// The folder that holds the count-th part, opened part by part from the
// base without following a link; -1 when a part is missing, no folder, or
// a link (whatever it points at is not this path's to remove).
int openHolder(const WrittenPath& path, std::size_t count) {
    int fd =
        ::open(path.base.empty() ? "." : path.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; fd >= 0 && i + 1 < count; ++i) {
        const int next =
            ::openat(fd, path.parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

// Removes the count-th part (a folder when `flags` is AT_REMOVEDIR); a link
// there is removed itself, never what it points at.
bool removePart(const WrittenPath& path, std::size_t count, int flags) {
    const int holder = openHolder(path, count);
    if (holder < 0) {
        return false;
    }
    const bool removed = ::unlinkat(holder, path.parts[count - 1].c_str(), flags) == 0;
    ::close(holder);
    return removed;
}

// What is there, not following a link of the path; nullopt when nothing is.
std::optional<bool> isFolderThere(const WrittenPath& path) {
    if (path.parts.empty()) {
        return std::nullopt;
    }
    const int holder = openHolder(path, path.parts.size());
    struct stat st {};
    const bool there =
        holder >= 0 && ::fstatat(holder, path.parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (holder >= 0) {
        ::close(holder);
    }
    return there ? std::optional<bool>(S_ISDIR(st.st_mode)) : std::nullopt;
}

} // namespace

int deleteWithRetries(WorkerContext& context, std::string_view argumentText) {
    logNormal("Delete area");
    logNormal("Start");
    const auto blank = argumentText.find(' ');
    std::string text;
    if (blank != std::string_view::npos) {
        text = argumentText.substr(blank + 1);
        std::erase(text, '"');
    }
    if (text.empty()) {
        logNormal("Input is empty");
        return kResultBadArgument;
    }
    // A cut path could name another file or folder than the one meant.
    if (text.size() > kPathMax) {
        logError("Input is too long: ", std::to_string(text.size()));
        return kResultBadArgument;
    }
    context.selfDelete = true;
    const std::string tag = "[" + context.identity + "] ";
    logNormal("CmdLine: ", text);
    logNormal(tag + "Input: ", text);

    waitForUninstallers(kUninstallerRounds,
                        [&] { logNormal(tag, "NSIS uninstaller is running, wait"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::string written = text;
    while (written.size() > 1 && (written.back() == '/' || written.back() == '\\')) {
        written.pop_back();
    }
    // The path is taken as written: a name without a separator is the last
    // part, and nothing above the folders it names is ever removed.
    const WrittenPath path = writtenPath(written);
    // What is there decides (programs have no extension); only a missing
    // path is judged by its look.
    const auto there = isFolderThere(path);
    const bool folder = there ? *there : looksLikeFolder(path.upTo(path.parts.size()).string());

    std::size_t count = path.parts.size();
    if (!folder) {
        if (there) {
            logNormal("File mode");
        }
        if (count == 0 || !withRetries([&] { return removePart(path, count, 0); })) {
            logNormal("Try too many times");
            return kWorkerFailed;
        }
        logNormal("Delete " + path.upTo(count).string() + " success");
        --count;
    }
    logNormal("Folder mode");
    // ".." names a folder that cannot be removed by that name.
    while (count > 0 && path.parts[count - 1] != "..") {
        const std::string name = path.upTo(count).string();
        if (!withRetries([&] { return removePart(path, count, AT_REMOVEDIR); })) {
            logNormal("Delete " + name + " retry too many times");
            break;
        }
        logNormal("Delete " + name + " success");
        --count;
    }
    return kWorkerSuccess;
}
