#include "common/ToolLog.h"

#include "common/LogEscape.h"
#include "common/QxIni.h"
#include "common/QxLog.h"
#include "common/Tool.h"
#include "common/ToolSystem.h"

#include "platform/folders/Folders.h"
#include "platform/text/TextCodec.h"

#include <new>
#include <string>

namespace {

constexpr std::size_t kLogIdentityMax = 63;

std::string identity;
bool writersOn = false;

constexpr const char* kNormal = "[Normal]";
constexpr const char* kWarning = "[Warning]";
constexpr const char* kError = "[Error]";

// An INI file that the reader would take: one that another account could
// have put there or written is no INI file at all.
bool iniThere(const std::filesystem::path& path) {
    return isFileExist(path) && iniTrusted(path);
}

void logFolderNotices();

void writeComposed(const char* severity, std::string_view message, std::string_view value) {
    if (!writersOn) {
        return;
    }
    logFolderNotices();
    std::string composed;
    try {
        composed.reserve(identity.size() + std::char_traits<char>::length(severity) +
                         message.size() + 5);
        composed.append("[").append(identity).append("]").append(severity).append(" ");
        composed.append(message);
    } catch (const std::bad_alloc&) {
        logAllocationFailure(__FILE_NAME__, __LINE__);
        return;
    }
    std::string text;
    appendLogEscaped(text, value);
    logPrint(5, 0, "%s%s", composed.c_str(), text.c_str());
}

// Folders found foreign and exchanged for private ones, said once each.
void logFolderNotices() {
    for (const auto& notice : platform::takeFolderNotices()) {
        writeComposed(kWarning, "Foreign folder refused, private one used: ", notice);
    }
}

} // namespace

bool logWritersOn() {
    return writersOn;
}

void resetLogForTest() {
    writersOn = false;
    identity.clear();
    logResetForTest();
}
const std::string& logIdentity() {
    return identity;
}

bool setLog(std::optional<std::string_view> name) {
    if (writersOn) {
        return true;
    }
    if (!name) {
        CORVANTIX_NULL_PARAMETER("inputPrefixName");
        return false;
    }
    identity = std::string(name->substr(0, kLogIdentityMax));
    const std::string iniName = std::string(kProductWord) + ".ini";

    int result = -1;
    const auto beside = getExecutePath();
    const auto windows = getWindowsPath();
    if (beside && iniThere(*beside / iniName)) {
        const auto path = *beside / iniName;
        logNormalW("Find log ini file in around: ", platform::utf8ToUtf16(path.string()));
        result = logConfigure(kProductWord, path);
    } else if (windows && iniThere(*windows / iniName)) {
        const auto path = *windows / iniName;
        logNormalW("Find log ini file in Windows: ", platform::utf8ToUtf16(path.string()));
        result = logConfigure(kProductWord, path);
    } else {
        const auto path = getUserTempPath() / iniName;
        logNormalW("Start find log ini file in getUserPath temp: ",
                   platform::utf8ToUtf16(path.string()));
        if (iniThere(path)) {
            logNormalW("Find log ini file in getUserPath temp: ",
                       platform::utf8ToUtf16(path.string()));
            result = logConfigure(kProductWord, path);
        } else {
            logNormal("Log search path: ", iniName);
            result = logConfigure(kProductWord, iniName);
            if (result != 0) {
                logNormalInt("Init log error code: ", result);
            }
        }
    }
    logPrint(5, 0, "%s %d %s Compile Time : %s %s", __FILE_NAME__, __LINE__, "setLog", __DATE__,
             __TIME__);
    writersOn = result == 0;
    if (writersOn) {
        logNormal("Log state: ", "Enable");
    }
    return writersOn;
}

bool logIniFound() {
    const std::string iniName = std::string(kProductWord) + ".ini";
    const auto beside = getExecutePath();
    const auto windows = getWindowsPath();
    return (beside && iniThere(*beside / iniName)) || (windows && iniThere(*windows / iniName)) ||
           iniThere(getUserTempPath() / iniName) || iniThere(iniName);
}

bool followLogIni(std::string_view name) {
    if (logIniFound()) {
        return setLog(std::string(name));
    }
    if (writersOn) {
        disableLog();
    }
    return false;
}

void disableLog() {
    logNormal("Log state: ", "Disable");
    writersOn = false;
    logSetTarget(std::nullopt, 0);
}

void logNormal(std::string_view message, std::string_view text) {
    writeComposed(kNormal, message, text);
}

void logNormalInt(std::string_view message, long number) {
    writeComposed(kNormal, message, std::to_string(number));
}

void logNormalW(std::string_view message, std::u16string_view text) {
    if (writersOn) {
        writeComposed(kNormal, message, platform::utf16ToUtf8(text));
    }
}

void logError(std::string_view message, std::string_view text) {
    writeComposed(kError, message, text);
}

void logErrorInt(std::string_view message, long number) {
    writeComposed(kError, message, std::to_string(number));
}

void logWarning(std::string_view message, std::string_view text) {
    writeComposed(kWarning, message, text);
}

void logWarningInt(std::string_view message, long number) {
    writeComposed(kWarning, message, std::to_string(number));
}

void logExist(std::string_view message, bool exists) {
    if (exists) {
        logNormal(message, "Exist");
    } else {
        logError(message, "Not Exist");
    }
}

void logChoice(std::string_view message, bool flag, std::string_view textIfSet,
               std::string_view textIfClear) {
    logNormal(message, flag ? textIfSet : textIfClear);
}

void logDebug(std::string_view message, std::string_view text) {
    const std::string m(message);
    std::string t;
    appendLogEscaped(t, text);
    logPrint(5, 0, "%s%s", m.c_str(), t.c_str());
}

void logNullParameter(std::string_view name, std::string_view module, int line) {
    if (!writersOn) {
        return;
    }
    const std::string n(name);
    const std::string m(module);
    logWarning("", "Parameter " + n + " is null at " + m + " " + std::to_string(line));
}

void logAllocationFailure(std::string_view module, int line) {
    logError("Memory allocate fail at file: ", module);
    logErrorInt("Memory allocate fail at line: ", line);
}
