#pragma once

// What tests of the run folders read of a file, and the other local account
// they play.

#include <filesystem>
#include <sys/stat.h>
#include <sys/types.h>

namespace platform_test {

// Another local account: one that got to a shared folder first, or owns a
// folder where the user's own belongs.
inline constexpr uid_t kOtherUid = 12345;

// The permission bits of a path itself (a link is not followed); 0 when missing.
inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

inline uid_t ownerOf(const std::filesystem::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

} // namespace platform_test
