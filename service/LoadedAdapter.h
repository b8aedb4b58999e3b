#pragma once

// One loaded adapter library and the file it was loaded from. It unloads the
// library when it goes, and deletes the file when that is the session's own
// copy, never the installed library that was loaded in its place.

#include <filesystem>

// Copies the installed library to target as a new file (never over an
// existing one) with the library's permission bits: a clone where the file
// system can, else the bytes written, from memory while the library is the
// file they were read from. On failure nothing is left at target and errno
// says why.
bool copyLibraryFile(const std::filesystem::path& source, const std::filesystem::path& target);

class LoadedAdapter {
public:
    LoadedAdapter() = default;
    // Loads the library privately (RTLD_LOCAL); ownsFile: file is a copy made
    // for this session. Empty when it cannot load, with dlerror() saying why.
    static LoadedAdapter open(const std::filesystem::path& file, bool ownsFile);
    LoadedAdapter(LoadedAdapter&& other) noexcept;
    LoadedAdapter& operator=(LoadedAdapter&& other) noexcept;
    LoadedAdapter(const LoadedAdapter&) = delete;
    LoadedAdapter& operator=(const LoadedAdapter&) = delete;
    ~LoadedAdapter();

    bool loaded() const { return module_ != nullptr; }
    const std::filesystem::path& file() const { return file_; }
    // The library's symbol, or null.
    void* symbol(const char* name) const;
    // Renames the file to target; the loaded library keeps working after its
    // file has moved. False, with the file where it was, when it cannot move.
    bool moveTo(const std::filesystem::path& target);
    // Unloads and deletes now, logging each step ("Release adapter state: ",
    // "Delete adapter state: "); empty afterwards.
    void release();

private:
    LoadedAdapter(void* module, std::filesystem::path file, bool ownsFile) noexcept;

    void* module_ = nullptr;
    std::filesystem::path file_;
    bool ownsFile_ = false;
};
