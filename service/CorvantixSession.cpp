#include "service/CorvantixSession.h"

#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/text/TextCodec.h"
#include "service/CorvantixQueue.h"
#include "service/CorvantixTopUI.h"
#include "service/CorvantixValue.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

namespace fs = std::filesystem;

// Where a new session opens while all 32 are in use, so that the oldest is
// released only once the new one has been accepted.
constexpr int kSpareSessionIndex = kSessionSlotCount;
constexpr std::size_t kSessionTextMax = 63;
constexpr const char* kVersionFileName = "VondelCorvantixMainVersion";
constexpr const char* kLibrarySuffix = ".so";

// The 32 sessions and, last, the spare slot.
std::array<SessionSlot, kSessionSlotCount + 1> slots;
std::array<std::uint64_t, kSessionSlotCount> stamps = [] {
    std::array<std::uint64_t, kSessionSlotCount> s{};
    s.fill(kStampFree);
    return s;
}();
std::uint64_t stampCounter = 0;
// The spare slot's copy waits beside the copy of the oldest session, which it
// is to replace, under a name of its own: the loader knows a library by its
// path, and the copy adopted last time may still be loaded under the previous
// spare name. No folder is made or removed for it (on ext4 a mkdir and rmdir
// cost more than the rest of the copy's moves together).
std::uint64_t spareCounter = 0;
fs::path spareCopy;        // while the spare slot has a copy of its own
std::string spareFileName; // the copy's name once adopted
std::atomic<bool> closing{false};

fs::path dataFolder;
fs::path programFolder;
std::optional<fs::path> programFolderOverride;
std::unique_ptr<CorvantixValue> valueStore;

// Asks the file system to place the folders made in folder apart from one
// another (on ext4: in other block groups). A file is created in its folder's
// group, and creating one there passes over every inode deleted there in the
// last minutes: with each session's copy in a group of its own, a new copy
// no longer passes over the copies of all the other sessions deleted before
// it. Where the file system has no such hint nothing changes.
void spreadSubfolders(const fs::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_TOPDIR_FL) == 0) {
        flags |= FS_TOPDIR_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
}

bool validIndex(int index) {
    return index >= 0 && index < kSessionSlotCount;
}

bool validSlot(int index) {
    return validIndex(index) || index == kSpareSessionIndex;
}

fs::path slotFolder(int index) {
    return dataFolder / "Tempfile" / ("Session_" + std::to_string(index));
}

fs::path copyPath(int index, const std::string& fileName) {
    if (index != kSpareSessionIndex) {
        return slotFolder(index) / fileName;
    }
    const int oldest = getOldestSessionIndex();
    const fs::path folder = oldest >= 0 ? slotFolder(oldest) : dataFolder / "Tempfile";
    spareCopy = folder / ("spare" + std::to_string(spareCounter++) + "-" + fileName);
    spareFileName = fileName;
    return spareCopy;
}

std::string cut(std::string_view text) {
    return std::string(text.substr(0, kSessionTextMax));
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && toLowerString(a) == toLowerString(b);
}

std::string jsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// A built map as plain JSON text, for an adapter that has only the string entry.
std::string plainJson(const JsonMap* map) {
    std::string text = "{";
    for (int i = 0; i < map->count; ++i) {
        const auto& e = map->entries[i];
        if (e.key == nullptr || e.textValue == nullptr) {
            continue;
        }
        text += (text.size() > 1 ? "," : "") + jsonQuoted(e.key) + ":" + jsonQuoted(e.textValue);
    }
    return text + "}";
}

JsonMapPtr systemMap(std::string_view function, std::string_view index,
                     std::optional<std::string_view> url = std::nullopt) {
    JsonMapPtr map = newJsonMap();
    if (!map) {
        return map;
    }
    addJsonMapValue(map.get(), "functionname", function);
    if (url) {
        addJsonMapValue(map.get(), "url", *url);
    }
    addJsonMapValue(map.get(), "AdapterJsonKeyCheck", "true");
    addJsonMapValue(map.get(), "CorvantixFunctionIndex", index);
    return map;
}

// A system function through the map entry, or as plain JSON through the string entry.
std::optional<std::string> callSystem(const SessionSlot& slot, const JsonMap* map,
                                      const char* function) {
    const char* answer = nullptr;
    if (slot.mapEntry != nullptr) {
        answer = slot.mapEntry(map, function);
    } else if (slot.stringEntry != nullptr) {
        answer = slot.stringEntry(plainJson(map).c_str());
    }
    if (answer == nullptr) {
        return std::nullopt;
    }
    return std::string(answer);
}

bool stampSession(int index) {
    if (!validIndex(index)) {
        return false;
    }
    stamps[static_cast<std::size_t>(index)] = stampCounter++;
    return true;
}

// Replaces reply by a new, empty map, logging the line that asked.
void resetReply(JsonMapPtr& reply, int line) {
    logNormal("reset Corvantix Json at file: ", "CorvantixSession");
    logNormalInt("reset Corvantix Json at line: ", line);
    reply = newJsonMap();
}

CorvantixValue& sessionValueStore() {
    if (!valueStore) {
        valueStore = std::make_unique<CorvantixValue>();
    }
    return *valueStore;
}

// Releases the session and frees its stamp, so the slot takes the next one.
void freeSession(int index) {
    logNormalInt("Release session index: ", index);
    releaseSession(index);
    markStampFree(index);
}

void releaseFailed(int index, JsonMapPtr& reply, int line, std::optional<std::string> result) {
    freeSession(index);
    if (result) {
        resetReply(reply, line);
        addJsonMapValue(reply.get(), "result", *result);
    }
}

} // namespace

const fs::path& sessionDataFolder() {
    return dataFolder;
}
void setSessionProgramFolder(fs::path folder) {
    programFolderOverride = folder;
    programFolder = std::move(folder);
}

SessionSlot& sessionSlot(int index) {
    return slots.at(static_cast<std::size_t>(index));
}
std::uint64_t sessionStamp(int index) {
    return stamps.at(static_cast<std::size_t>(index));
}

void markStampFree(int index) {
    if (validIndex(index)) {
        stamps[static_cast<std::size_t>(index)] = kStampFree;
    }
}

int getOldestSessionIndex() {
    int oldest = -1;
    for (int i = 0; i < kSessionSlotCount; ++i) {
        const auto s = stamps[static_cast<std::size_t>(i)];
        if (s != kStampFree && (oldest < 0 || s < stamps[static_cast<std::size_t>(oldest)])) {
            oldest = i;
        }
    }
    return oldest;
}

int findSessionIndex(std::string_view sessionId) {
    for (int i = 0; i < kSessionSlotCount; ++i) {
        const auto& slot = slots[static_cast<std::size_t>(i)];
        if (slot.sessionId.empty()) {
            continue;
        }
        const bool found = slot.idSource == SessionIdSource::Service
                               ? sessionId.find(slot.sessionId) != std::string_view::npos
                               : sessionId == slot.sessionId;
        if (found) {
            return i;
        }
    }
    return -1;
}

int findFreeSessionIndex() {
    for (int i = 0; i < kSessionSlotCount; ++i) {
        if (slots[static_cast<std::size_t>(i)].sessionId.empty()) {
            return i;
        }
    }
    return -1;
}

bool sessionIdInUse(std::string_view sessionId) {
    for (const auto& slot : slots) {
        if (!slot.sessionId.empty() && slot.sessionId == sessionId) {
            return true;
        }
    }
    return false;
}

void initSessionArea() {
    setLog("CorvantixSession");
    closing = false;
    for (auto& slot : slots) {
        slot = SessionSlot{};
    }
    dataFolder = getCopyPath(kProductWord);
    std::error_code ec;
    fs::create_directories(dataFolder, ec);
    programFolder = programFolderOverride ? *programFolderOverride : getExecutePath().value_or("");

    // A fresh key and IV for this run; the old store's values end here.
    valueStore = std::make_unique<CorvantixValue>();

    {
        std::ofstream version(dataFolder / kVersionFileName, std::ios::trunc);
        if (version) {
            version << "Corvantix version=" << kServiceVersion;
        }
        if (!version) {
            logWarning("Write Corvantix version: ", "Fail");
        }
    }

    const auto temp = dataFolder / "Tempfile";
    fs::remove_all(temp, ec);
    fs::create_directories(temp, ec);
    spreadSubfolders(temp);
    for (int i = 0; i < kSessionSlotCount; ++i) {
        fs::create_directory(temp / ("Session_" + std::to_string(i)), ec);
    }
    stamps.fill(kStampFree);
}

bool openSession(int index, std::string_view sessionId, SessionIdSource idSource,
                 std::string_view libDir, std::string_view comName, std::string_view origin,
                 JsonMapPtr& reply) {
    if (index != kSpareSessionIndex && !stampSession(index)) {
        return false;
    }
    logNormalInt("Session index: ", index);
    SessionSlot& slot = sessionSlot(index);
    slot.sessionId = cut(sessionId);
    slot.idSource = idSource;
    slot.origin = std::string(origin);
    slot.creationTime = static_cast<std::int64_t>(std::time(nullptr));
    logNormalInt("Init time: ", static_cast<long>(static_cast<std::uint32_t>(slot.creationTime)));

    const std::string fileName = std::string(comName) + kLibrarySuffix;
    const fs::path installed = programFolder / std::string(libDir) / fileName;
    const fs::path copy = copyPath(index, fileName);
    logNormalW("Original adapter: ", platform::utf8ToUtf16(installed.string()));
    logNormalW("Copy adapter: ", platform::utf8ToUtf16(copy.string()));

    LoadedAdapter adapter;
    if (copyLibraryFile(installed, copy)) {
        logNormal("Copy adapter state: ", "Success");
        adapter = LoadedAdapter::open(copy, true);
        if (adapter.loaded()) {
            logNormal("Copied adapter: ", "Active");
        } else {
            logWarning("Copied adapter: ", "Inactive");
        }
    } else {
        logWarning("Copy adapter state: ", "Fail");
    }
    if (!adapter.loaded()) {
        adapter = LoadedAdapter::open(installed, false);
        if (adapter.loaded()) {
            logNormal("Origin adapter: ", "Active");
        } else {
            const char* reason = dlerror();
            logWarning("Origin adapter: ", "Inactive");
            logExist("Origin adpater: ", isFileExist(installed));
            logExist("Copied adpater: ", isFileExist(copy));
            logError("Adapter load error reason: ", reason != nullptr ? reason : "");
            releaseFailed(index, reply, __LINE__, std::to_string(kResultLoadFailed));
            return false;
        }
    }

    slot.adapter = std::move(adapter);
    slot.adapterName = cut(comName);
    slot.stringEntry = reinterpret_cast<CallMethodFn>(slot.adapter.symbol(kCallMethodName));
    slot.mapEntry =
        reinterpret_cast<CallJsonMapMethodFn>(slot.adapter.symbol(kCallJsonMapMethodName));
    logChoice("Json string callMethod: ", slot.stringEntry != nullptr, "Active", "Inactive");
    logChoice("Json map callMethod: ", slot.mapEntry != nullptr, "Active", "Inactive");
    if (slot.stringEntry == nullptr && slot.mapEntry == nullptr) {
        logWarning("", "All callMethod load fail");
        releaseFailed(index, reply, __LINE__, std::to_string(kResultNoEntryPoint));
        return false;
    }
    logNormal(slot.mapEntry != nullptr ? "Json map init: " : "Json string init: ", "Active");

    {
        const JsonMapPtr unlock = systemMap("Corvantix_Unlock", "-2", origin);
        const auto answer = unlock ? callSystem(slot, unlock.get(), "Corvantix_Unlock")
                                   : std::optional<std::string>{};
        const std::string result = answer.value_or("");
        if (!equalsNoCase(result, "0")) {
            logWarning("Unlock result: ", result);
            releaseFailed(index, reply, __LINE__, result);
            return false;
        }
        logNormal("Unlock: ", "Success");
    }

    const JsonMapPtr version = systemMap("Corvantix_GetVersion", "-1");
    const auto answer = version ? callSystem(slot, version.get(), "Corvantix_GetVersion")
                                : std::optional<std::string>{};
    const std::string text = cut(answer.value_or(""));
    if (text.empty()) {
        logWarning("Init adapter: ", "Fail");
        releaseFailed(index, reply, __LINE__, std::nullopt);
        return false;
    }
    slot.adapterVersion = text;
    const std::int32_t number = stringToLong(text, true);
    if (!isConvertError() && number >= 61000 && number <= 61999) {
        logWarningInt("Parse component version error: ", number);
        releaseFailed(index, reply, __LINE__, std::to_string(number));
        return false;
    }
    logNormal("Extract component version: ", "Success");
    return true;
}

std::optional<std::string> callSession(int index, const JsonMap* request,
                                       std::string_view functionName) {
    const SessionSlot& slot = sessionSlot(index);
    const char* answer = nullptr;
    if (slot.mapEntry != nullptr) {
        answer = slot.mapEntry(request, std::string(functionName).c_str());
    } else if (slot.stringEntry != nullptr) {
        answer = slot.stringEntry(request != nullptr && request->rawText != nullptr
                                      ? request->rawText
                                      : plainJson(request).c_str());
    } else {
        return std::nullopt;
    }
    return std::string(answer != nullptr ? answer : "");
}

void setSessionsClosing() {
    closing = true;
}

bool sessionsClosing() {
    return closing;
}

void releaseSession(int index) {
    if (!validSlot(index)) {
        return;
    }
    SessionSlot& slot = sessionSlot(index);
    if (slot.sessionId.empty()) {
        return;
    }
    slot.browserMode = 0;
    logNormal("Release Session id: ", slot.sessionId);
    logNormal("Release AdapterName: ", slot.adapterName);
    logNormal("Release Adapter Version: ", slot.adapterVersion);
    logNormal("Release Installer Version: ", slot.installerVersion);
    slot.sessionId.clear();
    slot.idSource = SessionIdSource::Page;
    slot.origin.clear();
    slot.adapterName.clear();
    slot.adapterVersion.clear();
    slot.installerVersion.clear();

    if (slot.mapEntry != nullptr) {
        if (const JsonMapPtr release = systemMap("Corvantix_Release", "-3")) {
            slot.mapEntry(release.get(), "Corvantix_Release");
        }
    }
    slot.mapEntry = nullptr;
    slot.stringEntry = nullptr;
    slot.creationTime = 0;

    slot.adapter.release();
    if (index == kSpareSessionIndex) {
        spareCopy.clear();
    }
}

void releaseAllAdapters() {
    logNormal("[CorvantixFinal] ", "Start release all adapters");
    for (int index = getOldestSessionIndex(); index >= 0; index = getOldestSessionIndex()) {
        freeSession(index);
    }
    releaseSession(kSpareSessionIndex);
    // Hidden library files first, then the rest, as an installer may leave both.
    // The iteration reports errors through ec: it runs on the quit path.
    for (const bool hidden : {true, false}) {
        std::error_code ec;
        for (fs::directory_iterator it(dataFolder, ec), end; !ec && it != end; it.increment(ec)) {
            const auto& path = it->path();
            std::error_code fileError;
            if (it->is_regular_file(fileError) && path.extension() == kLibrarySuffix &&
                path.filename().string().starts_with(".") == hidden) {
                fs::remove(path, fileError);
            }
        }
    }
}

// ---- Dispatcher -----------------------------------------------------------

namespace {

std::string requestText(const JsonMap* request, std::string_view key, std::size_t max) {
    return getJsonMapValue(request, key).value_or("").substr(0, max);
}

std::optional<std::string> requestOptional(const JsonMap* request, std::string_view key,
                                           std::size_t max) {
    auto value = getJsonMapValue(request, key);
    if (value) {
        value->resize(std::min(value->size(), max));
    }
    return value;
}

bool isFunction(std::string_view name, std::initializer_list<std::string_view> choices) {
    for (const auto choice : choices) {
        if (equalsNoCase(name, choice)) {
            return true;
        }
    }
    return false;
}

// Moves the session opened in the spare slot into the free slot index, its
// library copy into that slot's folder, and stamps it.
void adoptSpareSession(int index) {
    if (!validIndex(index)) {
        return;
    }
    SessionSlot& slot = sessionSlot(index);
    slot = std::exchange(sessionSlot(kSpareSessionIndex), SessionSlot{});
    if (!spareCopy.empty() && slot.adapter.file() == spareCopy) {
        slot.adapter.moveTo(slotFolder(index) / spareFileName);
    }
    spareCopy.clear();
    stampSession(index);
    logNormalInt("Session index: ", index);
}

// Passes on 0 (equal) or -1 (the minimum is lower).
bool versionPasses(const std::optional<std::string>& minimum, std::string_view real,
                   const char* miniLabel, const char* realLabel, const char* verifyLabel) {
    const int result =
        minimum ? compareVersion(*minimum, real) : compareVersion(std::nullopt, real);
    logWarning(miniLabel, minimum.value_or(""));
    logWarning(realLabel, real);
    const bool pass = result == 0 || result == -1;
    if (pass) {
        logNormal(verifyLabel, "Pass");
    } else {
        logWarning(verifyLabel, "Fail");
    }
    return pass;
}

void setResult(JsonMapPtr& reply, int line, std::string_view result) {
    resetReply(reply, line);
    if (reply) {
        addJsonMapValue(reply.get(), "result", result);
    }
}

JsonMapPtr callAdapter(int index, const JsonMap* request, std::string_view function,
                       JsonMapPtr reply) {
    bool watching = false;
    if (getJsonMapBool(request, "topuidetect")) {
        logNormal("Set top component UI: ", "Enable");
        startTopUI(getpid(), kTopUIOwnWindows);
        watching = true;
    } else if (getJsonMapBool(request, "topuialldetect")) {
        logNormal("Set top all system UI: ", "Enable");
        startTopUI(getpid(), kTopUIAllWindows);
        watching = true;
    }
    const auto answer = callSession(index, request, function);
    if (watching) {
        stopTopUI();
    }
    if (!answer) {
        freeSession(index);
        setResult(reply, __LINE__, std::to_string(kResultNoEntryPoint));
        return reply;
    }
    const bool hide = getJsonMapBool(request, "hide_result");
    const std::string shown = hide ? std::string(answer->size(), '*') : *answer;
    logDebug(answer->find('\n') != std::string::npos ? " Component result:\n"
                                                     : " Component result: ",
             shown);
    if (reply) {
        addJsonMapValue(reply.get(), "result", *answer);
    }
    return reply;
}

// The functions the service answers itself, named in any case.
enum class OwnFunction { None, Close, ForceRelease, Echo, SetValue, GetValue };

OwnFunction ownFunction(std::string_view name) {
    if (isFunction(name, {"CorvantixClose", "CorvantixRelease"})) {
        return OwnFunction::Close;
    }
    if (isFunction(name, {"CorvantixForceRelease"})) {
        return OwnFunction::ForceRelease;
    }
    if (isFunction(name, {"CorvantixEcho", "Echo"})) {
        return OwnFunction::Echo;
    }
    if (isFunction(name, {"setCorvantixValue"})) {
        return OwnFunction::SetValue;
    }
    if (isFunction(name, {"getCorvantixValue"})) {
        return OwnFunction::GetValue;
    }
    return OwnFunction::None;
}

// The session a request names, or a new id the service makes for it (then
// also told to the page as "SessionID"); index is -1 when none is open.
struct SessionKey {
    std::string id;
    SessionIdSource source = SessionIdSource::Page;
    int index = -1;
};

SessionKey findOrMakeSessionKey(const JsonMap* request, JsonMap* reply) {
    SessionKey key{requestText(request, "SessionId", kSessionTextMax)};
    if (!key.id.empty()) {
        key.index = findSessionIndex(key.id);
    } else {
        key.source = SessionIdSource::Service;
        logNormal("Generate new session id", "");
        key.id = generateSessionId();
        for (;;) {
            int collision = -1;
            for (int i = 0; i < kSessionSlotCount; ++i) {
                if (sessionSlot(i).sessionId == key.id) {
                    collision = i;
                }
            }
            if (collision < 0) {
                break;
            }
            logNormalInt("Session id collision index: ", collision);
            key.id = generateSessionId();
        }
        addJsonMapValue(reply, "SessionID", key.id);
    }
    logNormal("Session id: ", key.id);
    return key;
}

JsonMapPtr closeSession(int index, OwnFunction function, JsonMapPtr reply) {
    if (function == OwnFunction::ForceRelease) {
        logNormal("Force release: ", "Active");
        freeSession(index);
    } else if (sessionSlot(index).browserMode == 1) {
        logNormal("[Browser mode] Skip release process", "");
    } else {
        freeSession(index);
    }
    return reply;
}

JsonMapPtr echoSession(const SessionSlot& slot, JsonMapPtr reply) {
    logNormal("Browser mode: ", "Active");
    addJsonMapValue(reply.get(), "ServerVersion", kServiceVersion);
    addJsonMapValue(reply.get(), "LibVersion", slot.adapterVersion);
    addJsonMapValue(reply.get(), "InstallerVersion", slot.installerVersion);
    setJsonMapResult(reply.get(), 0);
    return reply;
}

JsonMapPtr setValue(const JsonMap* request, JsonMapPtr reply) {
    const auto channel = getJsonMapValue(request, "channel");
    const auto domains = getJsonMapValue(request, "domain_list");
    const auto value = getJsonMapValue(request, "value");
    if (!channel || !domains || !value) {
        setResult(reply, __LINE__, std::to_string(kResultBadArgument));
        return reply;
    }
    const int code =
        sessionValueStore().setCorvantixValue(channel, domains, getJsonMapTimeout(request), value);
    setResult(reply, __LINE__, std::to_string(code));
    return reply;
}

JsonMapPtr getValue(const JsonMap* request, std::string_view origin, JsonMapPtr reply) {
    const auto channel = getJsonMapValue(request, "channel");
    if (!channel) {
        setResult(reply, __LINE__, std::to_string(kResultBadArgument));
        return reply;
    }
    const auto text = sessionValueStore().getCorvantixValue(channel, origin);
    setResult(reply, __LINE__, text ? *text : std::to_string(kResultNotAvailable));
    return reply;
}

// A request to the session open in index: the service's own operations, or
// the adapter's function.
JsonMapPtr serveOpenSession(int index, const JsonMap* request, std::string_view function,
                            std::string_view origin, JsonMapPtr reply) {
    logNormal("Find the loaded adapter", "");
    // A session answers only the page that opened it: another page that
    // learnt its id must not use its unlocked adapter, values or release.
    if (sessionSlot(index).origin != origin) {
        logWarning("Session origin mismatch: ", origin);
        setResult(reply, __LINE__, std::to_string(kResultNotUnlocked));
        return reply;
    }
    const OwnFunction own = ownFunction(function);
    switch (own) {
    case OwnFunction::Close:
    case OwnFunction::ForceRelease:
        return closeSession(index, own, std::move(reply));
    case OwnFunction::Echo:
        return echoSession(sessionSlot(index), std::move(reply));
    case OwnFunction::SetValue:
        return setValue(request, std::move(reply));
    case OwnFunction::GetValue:
        return getValue(request, origin, std::move(reply));
    case OwnFunction::None:
        break;
    }
    return callAdapter(index, request, function, std::move(reply));
}

// The adapter's folder and component name the request may load: the path
// table's, by its identifier or by matching names. nullopt when refused.
struct AdapterNames {
    std::string libDir;
    std::string comName;
};

std::optional<AdapterNames> allowedAdapter(const JsonMap* request, JsonMapPtr& reply) {
    const std::string pathId = requestText(request, "PathID", 511);
    AdapterNames names{
        sanitizeName(requestText(request, "LibDir", kSessionTextMax), kPathNameSize),
        sanitizeName(requestText(request, "ComName", kSessionTextMax), kPathNameSize)};
    logNormal("Adapter folder: ", names.libDir);
    logNormal("Adapter name: ", names.comName);
    if (!pathId.empty()) {
        logNormal("Path id mode: ", "Active");
        // An unknown identifier is refused: otherwise the request's own folder
        // and component names would choose the library to load.
        if (lookupPathId(pathId, names.libDir, names.comName) != 0) {
            logNormal("Unknown path id connection: ", "Reject");
            setResult(reply, __LINE__, std::to_string(kResultPathRefused));
            return std::nullopt;
        }
    } else {
        logNormal("Path id check location mode: ", "Active");
        if (!checkPathTable(names.libDir, names.comName)) {
            logNormal("Out of path table connection: ", "Reject");
            setResult(reply, __LINE__, std::to_string(kResultPathRefused));
            return std::nullopt;
        }
    }
    if (names.libDir.empty() || names.comName.empty()) {
        logNormal("No path information connection: ", "Reject");
        setResult(reply, __LINE__, std::to_string(kResultPathRefused));
        return std::nullopt;
    }
    return names;
}

// Opens the page's new session in a free slot, or in the spare one while all
// 32 are in use; its index, or -1 with reply saying why.
int openNewSession(const JsonMap* request, const SessionKey& key, std::string_view origin,
                   JsonMapPtr& reply) {
    const auto names = allowedAdapter(request, reply);
    if (!names) {
        return -1;
    }
    int index = findFreeSessionIndex();
    if (index < 0) {
        logWarning("", "Corvantix slot is full, release the oldest one");
        if (getOldestSessionIndex() < 0) {
            logWarning("", "Get the oldest SessionIndex fail");
            return -1;
        }
        // The new session opens beside the 32; the oldest goes only once the
        // new one has passed its unlock and version checks.
        index = kSpareSessionIndex;
    }
    if (!openSession(index, key.id, key.source, names->libDir, names->comName, origin, reply)) {
        return -1;
    }
    return index;
}

// The page's minimum server and adapter versions against the real ones; on
// a failure the session is freed and reply says which was too old.
bool versionsPass(int index, const JsonMap* request, JsonMapPtr& reply) {
    const auto minServer = requestOptional(request, "minServerVersion", kSessionTextMax);
    std::string minLib = requestText(request, "minLibVersion", kSessionTextMax);
    if (minLib.empty()) {
        minLib = "0.0.0.0";
    }
    const std::string adapterVersion = sessionSlot(index).adapterVersion;
    addJsonMapValue(reply.get(), "ServerVersion", kServiceVersion);
    addJsonMapValue(reply.get(), "LibVersion", adapterVersion);

    if (!versionPasses(minServer, kServiceVersion, "Mini server version: ", "Real server version: ",
                       "Verify server version: ")) {
        freeSession(index);
        setResult(reply, __LINE__, std::to_string(kResultServerTooOld));
        return false;
    }
    if (!versionPasses(minLib, adapterVersion, "Mini adapter version: ", "Real adapter version: ",
                       "Verify adapter version: ")) {
        freeSession(index);
        setResult(reply, __LINE__, std::to_string(kResultAdapterTooOld));
        return false;
    }
    return true;
}

// A session accepted in the spare slot takes a free slot, or the oldest one's.
int settleSpareSession() {
    int index = findFreeSessionIndex();
    if (index < 0) {
        index = getOldestSessionIndex();
        freeSession(index);
    }
    adoptSpareSession(index);
    return index;
}

void readInstallerVersion(std::string_view installerName, SessionSlot& slot, JsonMap* reply) {
    logNormal("InstallerName: ", installerName);
    const auto file = fs::path(
        removeExeExtension((dataFolder / (std::string(installerName) + "Version.txt")).string()));
    logNormalW("InstallerVersionFile: ", platform::utf8ToUtf16(file.string()));
    const std::string version = readFileText(file).value_or("").substr(0, kSessionTextMax);
    logNormal("InstallerVersion: ", version);
    addJsonMapValue(reply, "InstallerVersion", version);
    slot.installerVersion = version;
}

// A request without an open session: opens one, checks the versions, then
// answers an echo itself or calls the adapter's function.
JsonMapPtr serveNewSession(const JsonMap* request, const SessionKey& key, std::string_view function,
                           std::string_view origin, JsonMapPtr reply) {
    const OwnFunction own = ownFunction(function);
    if (own == OwnFunction::Close || own == OwnFunction::ForceRelease) {
        logNormal("No specific adapter to release", "");
        return reply;
    }
    int index = openNewSession(request, key, origin, reply);
    if (index < 0) {
        return reply;
    }
    const std::string installerName =
        sanitizeName(requestText(request, "InstallerName", 511), kInstallerNameSize);
    if (!versionsPass(index, request, reply)) {
        return reply;
    }
    if (index == kSpareSessionIndex) {
        index = settleSpareSession();
    }
    SessionSlot& slot = sessionSlot(index);
    if (!installerName.empty()) {
        readInstallerVersion(installerName, slot, reply.get());
    }
    if (own == OwnFunction::Echo) {
        slot.browserMode = getCorvantixMode(request) == 1 ? 1 : 0;
        setJsonMapResult(reply.get(), 0);
        return reply;
    }
    return callAdapter(index, request, function, std::move(reply));
}

} // namespace

JsonMapPtr dispatchSession(const JsonMap* request, std::optional<std::string_view> origin) {
    if (request == nullptr) {
        CORVANTIX_NULL_PARAMETER("JsonMap");
    }
    if (!origin) {
        CORVANTIX_NULL_PARAMETER("Origin");
    }
    if (request == nullptr || !origin) {
        return nullptr;
    }
    if (sessionsClosing()) {
        logWarning("Service closing: ", "Reject");
        return nullptr;
    }
    JsonMapPtr reply = newJsonMap();
    if (!reply) {
        return nullptr;
    }
    displayParameter(request);

    const SessionKey key = findOrMakeSessionKey(request, reply.get());
    const std::string function = requestText(request, "FunctionName", 511);
    if (key.index >= 0) {
        return serveOpenSession(key.index, request, function, *origin, std::move(reply));
    }
    return serveNewSession(request, key, function, *origin, std::move(reply));
}
