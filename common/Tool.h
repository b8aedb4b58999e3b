#pragma once

// The toolbox every program links: log writers, texts, numbers, Base64, a
// flat JSON lookup, version comparison, random identifiers, and the routines
// that touch the operating system (folders, files, programs, named mutexes,
// the port probe and the OS flags).

#include "common/ResultCode.h"
#include "platform/mutex/NamedMutex.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kProductWord = "VondelCorvantix";

// ---- Log writers ---------------------------------------------------------

inline constexpr std::size_t kLogIdentityMax = 63;

// Starts logging under the identity when an INI file enables it; true when
// logging is on afterwards. Does nothing while logging is already on.
bool setLog(std::optional<std::string_view> identity);
// Writes "Log state: Disable", then turns the writers and the library off.
void disableLog();
bool logWritersOn();
// Writers and log library back to their state at process start (for tests).
void resetLogForTest();
const std::string& logIdentity();

void logNormal(std::string_view message, std::string_view text = {});
void logNormalInt(std::string_view message, long number);
void logNormalW(std::string_view message, std::u16string_view text);
void logError(std::string_view message, std::string_view text = {});
void logErrorInt(std::string_view message, long number);
void logWarning(std::string_view message, std::string_view text = {});
void logWarningInt(std::string_view message, long number);
void logExist(std::string_view message, bool exists);
void logChoice(std::string_view message, bool flag, std::string_view textIfSet,
               std::string_view textIfClear);
// Message and text at level 5 with no identity and no severity word, whatever
// the writers' switch says.
void logDebug(std::string_view message, std::string_view text = {});

// "Parameter %s is null at %s %d" and the allocation-failure pair.
void logNullParameter(std::string_view name, std::string_view module, int line);
void logAllocationFailure(std::string_view module, int line);
#define CORVANTIX_NULL_PARAMETER(name) logNullParameter((name), __FILE_NAME__, __LINE__)
#define CORVANTIX_ALLOCATION_FAILURE() logAllocationFailure(__FILE_NAME__, __LINE__)

// ---- Texts ---------------------------------------------------------------

// Every occurrence, left to right without overlap; an empty pattern changes nothing.
std::string replaceString(std::string_view text, std::string_view pattern,
                          std::string_view replacement);
std::string removeExeExtension(std::string_view path);
bool startsWith(std::optional<std::string_view> prefix, std::optional<std::string_view> mainText);
// Characters from .. to - 1, clipped to the text.
std::string subString(std::string_view text, std::size_t from, std::size_t to);
std::string toLowerString(std::string_view text); // ASCII A-Z only
std::vector<std::string> splitString(std::string_view text, std::string_view delimiter);
// 16 characters: blanks, then the text; nullopt for a text over 16 characters.
std::optional<std::string> rightAlignText(std::optional<std::string_view> text);

// ---- Numbers -------------------------------------------------------------

// Decimal; strict allows only digits and a leading "-". Leaves the
// conversion status behind (kResultSuccess, kResultNotNumber, kResultNoText)
// for the calling thread only: isConvertError() and conversionStatus() read
// the status of the calling thread's last conversion.
std::int32_t stringToLong(std::optional<std::string_view> text, bool strict);
std::int32_t hexStringToLong(std::optional<std::string_view> text);
bool isConvertError();
int conversionStatus();
// length / 2 bytes; any character that is not a hex digit counts as 0.
std::string hexToBytes(std::string_view hex);

// ---- Base64 and JSON -----------------------------------------------------

std::string base64Encode(std::string_view bytes);
// Decodes up to the first character outside the alphabet ("=" included).
std::string base64Decode(std::string_view text);
// "%2B", "%2F" and "%3D" back to "+", "/" and "=", then Base64.
std::string decodeEscapedBase64(std::string_view text);
// Flat-object lookup, key compared without regard to case; nullopt when the
// key is absent or the text is not JSON.
std::optional<std::string> getJsonValue(std::optional<std::string_view> json, std::string_view key);

// ---- Versions, random values, identifiers --------------------------------

// -1 older, 0 equal, 1 newer, 2 differs as text, 3 different component
// counts, kResultNotAvailable, kResultBadArgument.
int compareVersion(std::optional<std::string_view> a, std::optional<std::string_view> b);
bool getRandomBytes(std::uint8_t* buffer, std::size_t count);
// Eight characters of 0-9A-Z and "_SID".
std::string generateSessionId();

// ---- Folders and files ---------------------------------------------------

std::optional<std::filesystem::path> getExecutePath();
std::optional<std::filesystem::path> getWindowsPath();
// Ends with a separator; empty when it cannot be had.
std::filesystem::path getUserTempPath();
// The common application-data folder with the name below it; the name absent
// gives the folder itself. The last result is kept (lastCopyPath()).
std::filesystem::path getCopyPath(std::optional<std::string_view> name);
const std::filesystem::path& lastCopyPath();
std::optional<std::string> getUserName();
// True for an ordinary file; false for a folder or a missing path.
bool isFileExist(const std::filesystem::path& path);
// The whole file with CR LF as LF; nullopt when missing or empty.
std::optional<std::string> readFileText(const std::optional<std::filesystem::path>& path);

// ---- Programs, mutexes, ports, OS ----------------------------------------

inline constexpr int kCommandNotStarted = -1;
// Runs a command line hidden and waits; its exit code, 1 for no command,
// kCommandNotStarted when it cannot start.
int runCommandWait(std::optional<std::string_view> commandLine);
void hideNOWaitCommand(std::optional<std::string_view> commandLine);
// The per-user mutex "<user>_<name>" held by the caller, or nullptr when it
// could not be taken within the time-out.
std::unique_ptr<platform::NamedMutex> getMutexLock(std::optional<std::string_view> name,
                                                   std::uint32_t timeoutMs);
// True when the loopback port is listening or connected on 127.0.0.1 (or [::1]).
bool detectPort(int port, bool ipv6);

struct KernelVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
};
std::optional<KernelVersion> getKernelVersion();
std::uint32_t getOsFlags();
std::string getOsName(std::uint32_t flags);
