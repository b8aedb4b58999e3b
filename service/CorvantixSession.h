#pragma once

// The service's 32 sessions. Each open session owns a private copy of the
// adapter library, loaded from its own folder so that every copy keeps its
// own state, and releasing the session unloads and deletes that copy.

#include "adapter/AdapterExports.h"
#include "common/Json.h"
#include "service/LoadedAdapter.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int kSessionSlotCount = 32;
inline constexpr std::uint64_t kStampFree = ~std::uint64_t{0};
inline constexpr const char* kServiceVersion = "1.0.22.0804";

// Who chose a session's id: only ids the service made are found by the
// substring rule, so a short id given by a page cannot capture others.
enum class SessionIdSource { Page, Service };

struct SessionSlot {
    std::string sessionId; // empty: the slot is free
    SessionIdSource idSource = SessionIdSource::Page;
    std::string origin; // the page origin that opened the session
    std::string adapterName;
    std::string adapterVersion;
    std::string installerVersion;
    LoadedAdapter adapter;
    CallMethodFn stringEntry = nullptr;
    CallJsonMapMethodFn mapEntry = nullptr;
    int browserMode = 0;
    std::int64_t creationTime = 0;
};

// Start-up: log, folders, the value store's fresh key, the version file and
// an empty "Tempfile" with one folder per slot. Every stamp is left free.
void initSessionArea();

const std::filesystem::path& sessionDataFolder();
// Where the installed adapter is looked for (tests point it elsewhere).
void setSessionProgramFolder(std::filesystem::path folder);

// 0-31.
SessionSlot& sessionSlot(int index);
std::uint64_t sessionStamp(int index);
void markStampFree(int index);
int getOldestSessionIndex();
// The first slot, in index order, whose id the service made and which occurs
// within the given one, or whose page-given id equals it.
int findSessionIndex(std::string_view sessionId);
int findFreeSessionIndex();
bool sessionIdInUse(std::string_view sessionId);

// Opens the session in slot index (or the spare slot): copies, loads and
// binds the adapter, unlocks it for the origin and reads its version. On
// failure the slot is released again, reply may have been reset to a new
// one, and false is returned.
bool openSession(int index, std::string_view sessionId, SessionIdSource idSource,
                 std::string_view libDir, std::string_view comName, std::string_view origin,
                 JsonMapPtr& reply);

// The adapter's answer (copied at once); nullopt when the session has no
// entry point (the caller releases it).
std::optional<std::string> callSession(int index, const JsonMap* request,
                                       std::string_view functionName);

// Releases one session (its stamp stays for the caller to free); -1 does nothing.
void releaseSession(int index);
// Once set (by the final function, under the request lock), the dispatcher
// opens no session and answers nothing.
void setSessionsClosing();
bool sessionsClosing();
// Releases every session, oldest first, then deletes the library files that
// lie directly in the data folder.
void releaseAllAdapters();

// The request dispatcher: finds or opens the page's session, runs the
// service's own operations and forwards every other function to the
// session's adapter. No map means: close the connection without an answer.
JsonMapPtr dispatchSession(const JsonMap* request, std::optional<std::string_view> origin);
