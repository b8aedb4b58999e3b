#pragma once

// The registry: one file-backed tree per hive. Every call reads the hive
// file afresh, and every change is made under the hive's lock on a fresh read
// and lands by writing a new file and renaming it over the old one, so
// writers in several processes never lose each other's changes and readers
// never see half a file. Key and value names compare without regard to case;
// a key keeps the spelling it was created with. Names are UTF-8, path parts
// are separated by backslashes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using LSTATUS = std::int32_t;

inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;

inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_DWORD = 4;

inline constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;

struct RegistryKey;
using HKEY = RegistryKey*;

// The hives are fixed handle values, the same in every module that links
// this library; they need no closing.
inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000u});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002u});

// Opens subKey below key, creating it and the keys above it when missing. An
// empty or null subKey opens key itself again. disposition (may be null)
// tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, HKEY* result, std::uint32_t* disposition);
// Opens an existing key; ERROR_FILE_NOT_FOUND when it is missing.
LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, HKEY* result);
LSTATUS RegCloseKey(HKEY key);

// REG_SZ data is text up to its first zero byte (a terminator may be counted
// in size or not); REG_DWORD data is four bytes. A null or empty name is the
// key's default value.
LSTATUS RegSetValueEx(HKEY key, const char* valueName, std::uint32_t type, const void* data,
                      std::uint32_t size);
// type and data may be null. With data null, *size receives the size needed;
// when *size is too small the call gives ERROR_MORE_DATA and the size needed.
// REG_SZ sizes count the terminating zero.
LSTATUS RegQueryValueEx(HKEY key, const char* valueName, std::uint32_t* type, void* data,
                        std::uint32_t* size);
// The index-th subkey name in order of names compared without case; *nameSize
// is the buffer's size in bytes on entry and the name's length without
// terminator on success. ERROR_NO_MORE_ITEMS past the last one.
LSTATUS RegEnumKeyEx(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameSize);
// Deletes subKey with everything below it; with subKey empty or null, every
// value and subkey of key (the key itself stays).
LSTATUS RegDeleteTree(HKEY key, const char* subKey);

namespace platform {

// The file that holds a hive (for tests and diagnostics).
std::filesystem::path registryHiveFile(HKEY hive);

// Conveniences over the calls above for C++ callers.
LSTATUS registrySetString(HKEY key, std::string_view subKey, std::string_view valueName,
                          std::string_view value);
LSTATUS registrySetNumber(HKEY key, std::string_view subKey, std::string_view valueName,
                          std::uint32_t value);
std::optional<std::string> registryString(HKEY key, std::string_view subKey,
                                          std::string_view valueName);
std::optional<std::uint32_t> registryNumber(HKEY key, std::string_view subKey,
                                            std::string_view valueName);
std::vector<std::string> registrySubKeys(HKEY key, std::string_view subKey);

} // namespace platform
