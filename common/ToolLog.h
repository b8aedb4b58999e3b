#pragma once

// The log writers every program links: "[identity][severity] message text"
// lines through the log library, on only while an INI file enables them.

#include <optional>
#include <string>
#include <string_view>

// Starts logging under the identity when an INI file enables it; true when
// logging is on afterwards. Does nothing while logging is already on.
bool setLog(std::optional<std::string_view> identity);
// Writes "Log state: Disable", then turns the writers and the library off.
void disableLog();
// True when setLog would find an INI file (beside the program, in the
// Windows folder, in the user's temporary folder or in the current folder).
bool logIniFound();
// Logging as the INI file says: on under the identity when one is found,
// off when none is. A debug-mode signal that comes twice or is missed thus
// never leaves logging the wrong way round. True when logging is on.
bool followLogIni(std::string_view identity);
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
