#include "common/QxIni.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view skipBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view trimBlanks(std::string_view text) {
    text = skipBlanks(text);
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Whether the file opened may configure this user's programs: a regular file
// of the user's or root's that nobody else may write.
bool trusted(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_uid == geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The whole file; nullopt when it cannot be opened or is not trusted. Read
// with plain calls: a stream costs more to set up than a missing or small
// file costs to read.
std::optional<std::string> readWhole(const std::filesystem::path& path) {
    // Not blocking: a pipe put in the file's place is refused, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    if (!trusted(fd)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return text;
}

// The next line as getline gives it, without its line feed.
bool nextLine(std::string_view& rest, std::string_view& line) {
    if (rest.empty()) {
        return false;
    }
    const std::size_t end = rest.find('\n');
    line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return true;
}

} // namespace

bool iniIsSection(std::string_view line, std::string_view name) {
    const auto text = trimBlanks(line);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') {
        return false;
    }
    if (name.empty()) {
        return true;
    }
    const auto inner = trimBlanks(text.substr(1, text.size() - 2));
    return !inner.empty() && equalsNoCase(inner, name);
}

std::size_t iniMatchKey(std::string_view line, std::string_view key) {
    const auto text = skipBlanks(line);
    if (text.empty() || text.front() == ';') {
        return std::string_view::npos;
    }
    const auto eq = text.find('=');
    if (eq == std::string_view::npos || eq != key.size() ||
        !equalsNoCase(text.substr(0, eq), key)) {
        return std::string_view::npos;
    }
    return (line.size() - text.size()) + eq + 1;
}

std::string iniTrimValue(std::string_view value) {
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
        value.remove_suffix(1);
    }
    const auto start = skipBlanks(value);
    if (!start.empty() && (start.front() == '"' || start.front() == '\'')) {
        const auto last = start.rfind(start.front());
        if (last != 0) {
            return std::string(start.substr(1, last - 1));
        }
    }
    return std::string(value);
}

int iniGetString(std::string_view section, std::string_view key, std::string& out,
                 std::size_t outSize, const std::filesystem::path& path) {
    const auto text = readWhole(path);
    if (!text) {
        return kIniNoFile;
    }
    std::string_view rest = *text;
    std::string_view line;
    bool found = false;
    while (nextLine(rest, line)) {
        if (iniIsSection(line, section)) {
            found = true;
            break;
        }
    }
    if (!found) {
        return kIniNoSection;
    }
    out.clear();
    while (nextLine(rest, line)) {
        if (iniIsSection(line, {})) {
            return kIniNoKey;
        }
        const auto at = iniMatchKey(line, key);
        if (at == std::string_view::npos) {
            continue;
        }
        std::string value = iniTrimValue(line.substr(at));
        const std::size_t room = outSize > 0 ? outSize - 1 : 0;
        if (value.size() > room) {
            out = value.substr(0, room);
            return kIniCut;
        }
        out = std::move(value);
        return kIniFound;
    }
    return kIniNoKey;
}

bool iniTrusted(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = trusted(fd);
    ::close(fd);
    return ok;
}
