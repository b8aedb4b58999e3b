#include "worker/Uninstall.h"

#include "common/Message.h"
#include "common/ResultCode.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/process/Process.h"
#include "worker/Worker.h"
#include "worker/WorkerMessage.h"
#include "worker/WorkerTool.h"

#include <chrono>
#include <deque>
#include <fnmatch.h>
#include <system_error>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTextMax = 511;
constexpr std::size_t kMaxPieces = 16;
constexpr int kUninstallerRounds = 32;
constexpr std::string_view kLibrarySuffix = ".so";

struct Word {
    std::string text;
    bool quoted = false;
};

// Blanks separate, double quotes keep blanks inside a word.
std::vector<Word> splitWords(std::string_view text) {
    std::vector<Word> words;
    Word word;
    bool inWord = false;
    bool inQuotes = false;
    for (const char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            word.quoted = true;
            inWord = true;
        } else if (c == ' ' && !inQuotes) {
            if (inWord) {
                words.push_back(std::move(word));
                word = {};
                inWord = false;
            }
        } else {
            word.text += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    if (words.size() > kMaxPieces) {
        words.resize(kMaxPieces);
    }
    return words;
}

bool isLibrary(const fs::path& path) {
    return path.filename().string().ends_with(kLibrarySuffix);
}

std::size_t countLibraries(const std::vector<fs::path>& paths) {
    std::size_t count = 0;
    for (const auto& path : paths) {
        count += isLibrary(path);
    }
    return count;
}

// The data folder's libraries, hidden ones too; the folders below stay.
void deleteDataLibraries() {
    const fs::path data = getCopyPath(kProductWord);
    logNormal("Delete libraries in: ", data.string());
    std::error_code ec;
    for (fs::directory_iterator it(data, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (isLibrary(it->path()) && !it->is_directory(kind)) {
            std::error_code removed;
            if (!fs::remove(it->path(), removed)) {
                logError("Delete library fail: ", it->path().string());
            }
        }
    }
}

// Where the components are installed: with the service, whose adapters lie
// in folders below its program folder. The service is found as the worker
// starts programs (beside it, else along PATH); its own folder otherwise.
fs::path componentFolder(const WorkerContext& context) {
    if (const auto service = platform::findProgram(kWorkerServiceProgram)) {
        return service->parent_path();
    }
    return context.programFolder;
}

// A program path as one word of a command line.
std::string quotedWhenBlank(const std::string& path) {
    return path.find(' ') != std::string::npos ? "\"" + path + "\"" : path;
}

} // namespace

bool listFiles(const fs::path& folder, std::string_view pattern, std::vector<fs::path>& list) {
    const std::string wildcard(pattern);
    std::deque<fs::path> queue{folder};
    while (!queue.empty()) {
        const fs::path current = std::move(queue.front());
        queue.pop_front();
        std::error_code ec;
        fs::directory_iterator it(current, ec);
        if (ec) {
            logError("INVALID_HANDLE_VALUE at ", (current / wildcard).string());
            return false;
        }
        for (const fs::directory_iterator end; it != end;) {
            const fs::path entry = it->path();
            if (fnmatch(wildcard.c_str(), entry.filename().c_str(), 0) == 0) {
                std::error_code kind;
                // A link to a folder is not followed, or a loop would never end.
                if (it->is_directory(kind) && !it->is_symlink(kind)) {
                    queue.push_back(entry);
                } else {
                    list.push_back(entry);
                }
            }
            it.increment(ec);
            if (ec) {
                logError("ERROR_NO_MORE_FILES");
                return false;
            }
        }
    }
    return true;
}

std::vector<std::string> uninstallArguments(std::string_view text) {
    std::vector<std::string> arguments;
    std::string gathered;
    bool open = false;
    for (const auto& word : splitWords(text)) {
        gathered = open ? gathered + " " + word.text : word.text;
        open = true;
        std::error_code ec;
        if (word.quoted || word.text.find(".exe") != std::string::npos ||
            fs::is_regular_file(gathered, ec)) {
            arguments.push_back(std::move(gathered));
            gathered.clear();
            open = false;
        }
    }
    if (open) {
        arguments.push_back(std::move(gathered));
    }
    return arguments;
}

int uninstallDetect(WorkerContext& context, std::string_view argumentText) {
    logNormal("Uninstall detect area");
    const auto blank = argumentText.find(' ');
    const std::string rest(blank == std::string_view::npos
                               ? std::string_view()
                               : argumentText.substr(blank + 1).substr(0, kTextMax));
    logNormal("CmdLine: ", rest);
    logNormalInt("SplitLength: ", static_cast<long>(splitWords(rest).size()));
    const auto arguments = uninstallArguments(rest);
    logNormalInt("SplitLength: ", static_cast<long>(arguments.size()));
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        logNormal("argv", "[" + std::to_string(i) + "] = " + arguments[i]);
    }
    if (arguments.size() != 2) {
        logError("Corvantix uninstall detect: ", "Parameter error");
        return kResultBadArgument;
    }

    waitForUninstallers(kUninstallerRounds);
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const fs::path components = componentFolder(context);
    logNormal("Component folder: ", components.string());
    std::vector<fs::path> all;
    if (!listFiles(components, "*", all)) {
        logError("TotolFileList: ", "Detect error");
        return kWorkerFailed;
    }
    const std::size_t total = countLibraries(all);
    std::vector<fs::path> main;
    if (!listFiles(components, std::string("*") + std::string(kLibrarySuffix), main)) {
        logError("MainFileList: ", "Detect error");
        logError("MainFileList: ", "Uninstall mode");
    } else {
        const std::size_t inMain = countLibraries(main);
        logNormal("Uninstall detect result: ",
                  "TotolSize = " + std::to_string(total) + " MainSize = " + std::to_string(inMain));
        if (total != inMain) {
            // Other components still need the product.
            logNormal("->", "MonitorStart");
            sendIPCMsgWin(context.identity, kMonitorProgram, kInstructionMonitorStart);
            return kWorkerSuccess;
        }
    }
    logNormal("->", "Unstall");
    context.selfDelete = true;
    hideNOWaitCommand(quotedWhenBlank(arguments[0]) + " /S");
    deleteDataLibraries();
    return kWorkerSuccess;
}
