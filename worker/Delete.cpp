#include "worker/Delete.h"

#include "common/ResultCode.h"
#include "common/ToolLog.h"
#include "worker/Worker.h"
#include "worker/WorkerTool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

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

// The path without its last part; one without a separator stays as it is.
void cutLastPart(std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        path.erase(slash);
    }
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

    std::error_code ec;
    std::string path = fs::absolute(text, ec).string();
    if (ec) {
        path = text;
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // What is there decides (programs have no extension); only a missing
    // path is judged by its look.
    const auto status = fs::symlink_status(path, ec);
    const bool folder = fs::exists(status) ? fs::is_directory(status) : looksLikeFolder(path);

    if (!folder) {
        if (fs::exists(status)) {
            logNormal("File mode");
        }
        if (!withRetries([&] { return ::unlink(path.c_str()) == 0; })) {
            logNormal("Try too many times");
            return kWorkerFailed;
        }
        logNormal("Delete " + path + " success");
        cutLastPart(path);
    }
    logNormal("Folder mode");
    while (!path.empty()) {
        if (!withRetries([&] { return ::rmdir(path.c_str()) == 0; })) {
            logNormal("Delete " + path + " retry too many times");
            break;
        }
        logNormal("Delete " + path + " success");
        cutLastPart(path);
    }
    return kWorkerSuccess;
}
