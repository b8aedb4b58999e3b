// The INI reader on any file, as the log settings are read from it. The
// first input byte is the room given for a value, the rest the file's text,
// kept in an anonymous memory file so no file is written per input. Each
// answer is checked against the reader's contract, then the log settings are
// read from the file and a line is written with them.

#include "common/QxIni.h"
#include "common/QxLog.h"
#include "common/Tool.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int memoryFile = -1;
std::string memoryPath;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void checkRead(std::string_view text, std::string_view section, std::string_view key,
               std::size_t room) {
    std::string out = "untouched";
    const int result = iniGetString(section, key, out, room, memoryPath);
    switch (result) {
    case kIniNoSection:
        check(out == "untouched");
        break;
    case kIniNoKey:
        check(out.empty());
        break;
    case kIniFound:
    case kIniCut:
        // A value is a piece of its line, cut to the room less its end.
        check(out.size() <= (room > 0 ? room - 1 : 0));
        check(result == kIniFound || out.size() == (room > 0 ? room - 1 : 0));
        check(text.find(out) != std::string_view::npos);
        break;
    default:
        __builtin_trap();
    }
}

void checkLines(std::string_view text) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        (void)iniIsSection(line, kProductWord);
        (void)iniIsSection(line, {});
        const auto at = iniMatchKey(line, "Log File");
        check(at == std::string_view::npos || at <= line.size());
        check(iniTrimValue(line).size() <= line.size());
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
}

void checkLogSettings() {
    logSetTarget(std::nullopt, 0);
    const int result = logConfigure(kProductWord, memoryPath);
    std::string level;
    check(result == iniGetString(kProductWord, "Log Level", level, 16, memoryPath));
    const auto& settings = logSettings();
    check(settings.enabled == (result == kIniFound));
    check(settings.fileName.size() <= kLogFileNameMax);
    check(settings.maxSize >= 0);
    logPrint(settings.level, 0, "%s %d", "fuzz", settings.maxSize);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    memoryFile = memfd_create("ini", 0);
    // Made as anybody's to write, which no INI file that is read may be.
    if (memoryFile < 0 || fchmod(memoryFile, 0600) != 0) {
        std::abort();
    }
    memoryPath = "/proc/self/fd/" + std::to_string(memoryFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t room = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (ftruncate(memoryFile, 0) != 0 ||
        pwrite(memoryFile, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        std::abort();
    }
    for (const std::string_view key : {"Log File", "Log Level", "Log MaxSize"}) {
        checkRead(text, kProductWord, key, room);
    }
    // An empty name takes the first section of any name.
    checkRead(text, "", "Log File", room);
    checkLines(text);
    checkLogSettings();
    return 0;
}
