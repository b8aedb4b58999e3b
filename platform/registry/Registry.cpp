#include "platform/registry/Registry.h"

#include "platform/folders/Folders.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

struct RegistryKey {
    int hive;
    std::vector<std::string> path;
};

namespace {

constexpr std::string_view kHeader = "CorvantixRegistry 1";
constexpr std::size_t kMaxKeyName = 255;
constexpr int kHiveCount = 3;

struct NoCase {
    using is_transparent = void;
    static char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
    bool operator()(std::string_view a, std::string_view b) const {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const auto x = static_cast<unsigned char>(fold(a[i]));
            const auto y = static_cast<unsigned char>(fold(b[i]));
            if (x != y) {
                return x < y;
            }
        }
        return a.size() < b.size();
    }
};

struct Value {
    std::string name;
    std::uint32_t type = REG_SZ;
    std::string text;
    std::uint32_t number = 0;
};

struct Node {
    std::string name;
    std::map<std::string, Value, NoCase> values;
    std::map<std::string, std::unique_ptr<Node>, NoCase> children;
};

// ---- The hive file -------------------------------------------------------
//
// One line per item, depth-first: "K\t<depth>\t<name>" opens a key at a depth
// (the hive's root is depth 0), "S\t<name>\t<text>" and "D\t<name>\t<number>"
// are values of the key opened last. Names and texts are escaped so that a
// line never holds a tab or a line break of its own.

std::string escape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (u < 0x20 || u == 0x7F) {
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::string> unescape(std::string_view text) {
    if (text.find('\\') == std::string_view::npos) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 'x': {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int hi = hexDigit(text[i + 1]);
            const int lo = hexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

// The three fields of an item line; false for any other count.
bool splitFields(std::string_view line, std::array<std::string_view, 3>& fields) {
    const std::size_t first = line.find('\t');
    const std::size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    if (second == std::string_view::npos || line.find('\t', second + 1) != std::string_view::npos) {
        return false;
    }
    fields = {line.substr(0, first), line.substr(first + 1, second - first - 1),
              line.substr(second + 1)};
    return true;
}

void writeNode(std::ostringstream& out, const Node& node, int depth) {
    if (depth > 0) {
        out << "K\t" << depth << '\t' << escape(node.name) << '\n';
    }
    for (const auto& [key, value] : node.values) {
        if (value.type == REG_DWORD) {
            out << "D\t" << escape(value.name) << '\t' << value.number << '\n';
        } else {
            out << "S\t" << escape(value.name) << '\t' << escape(value.text) << '\n';
        }
    }
    for (const auto& [key, child] : node.children) {
        writeNode(out, *child, depth + 1);
    }
}

std::string serialise(const Node& root) {
    std::ostringstream out;
    out << kHeader << '\n';
    writeNode(out, root, 0);
    return out.str();
}

std::optional<std::uint32_t> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool parse(std::string_view text, Node& root) {
    std::vector<Node*> stack{&root};
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return false; // a file always ends with a line break
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (first) {
            if (line != kHeader) {
                return false;
            }
            first = false;
            continue;
        }
        std::array<std::string_view, 3> fields;
        if (!splitFields(line, fields)) {
            return false;
        }
        if (fields[0] == "K") {
            const auto depth = parseNumber(fields[1]);
            auto name = unescape(fields[2]);
            if (!depth || *depth == 0 || *depth > stack.size() || !name || name->empty()) {
                return false;
            }
            stack.resize(*depth);
            Node* parent = stack.back();
            auto child = std::make_unique<Node>();
            child->name = *name;
            Node* raw = child.get();
            if (!parent->children.emplace(std::move(*name), std::move(child)).second) {
                return false;
            }
            stack.push_back(raw);
        } else if (fields[0] == "S" || fields[0] == "D") {
            auto name = unescape(fields[1]);
            if (!name) {
                return false;
            }
            Value value;
            value.name = *name;
            if (fields[0] == "S") {
                auto data = unescape(fields[2]);
                if (!data) {
                    return false;
                }
                value.type = REG_SZ;
                value.text = std::move(*data);
            } else {
                const auto number = parseNumber(fields[2]);
                if (!number) {
                    return false;
                }
                value.type = REG_DWORD;
                value.number = *number;
            }
            stack.back()->values.insert_or_assign(std::move(*name), std::move(value));
        } else {
            return false;
        }
    }
    return !first;
}

// ---- Hives ---------------------------------------------------------------

// In the order of the hive handles' values.
constexpr std::array<const char*, kHiveCount> kHiveFiles = {"Classes.hive", "CurrentUser.hive",
                                                            "LocalMachine.hive"};
constexpr int kUserHive = 1;

std::filesystem::path hiveFile(int hive) {
    const auto folder = hive == kUserHive ? platform::folderPath(platform::Folder::UserRegistry)
                                          : platform::folderPath(platform::Folder::MachineRegistry);
    return folder / kHiveFiles[static_cast<std::size_t>(hive)];
}

std::optional<int> predefinedHive(HKEY key) {
    const auto value = reinterpret_cast<std::uintptr_t>(key);
    if (value >= 0x80000000u && value < 0x80000000u + kHiveCount) {
        return static_cast<int>(value - 0x80000000u);
    }
    return std::nullopt;
}

// The hive file's text; a missing file is an empty hive.
LSTATUS readHiveText(int hive, std::string& text) {
    const auto path = hiveFile(hive);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::error_code ec;
        return std::filesystem::exists(path, ec) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    }
    char buffer[4096];
    LSTATUS rc = ERROR_SUCCESS;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            rc = ERROR_BADDB;
            break;
        }
    }
    ::close(fd);
    return rc;
}

// Reads a hive to change it.
LSTATUS loadHive(int hive, Node& root) {
    std::string text;
    if (const LSTATUS rc = readHiveText(hive, text); rc != ERROR_SUCCESS) {
        return rc;
    }
    if (text.empty()) {
        return ERROR_SUCCESS;
    }
    return parse(text, root) ? ERROR_SUCCESS : ERROR_BADDB;
}

// Reads a hive to look in it. The file is read every time; its tree is made
// again only when the text differs from the last one read, as a control's
// creation looks up its class in a hive that seldom changes.
LSTATUS viewHive(int hive, std::shared_ptr<const Node>& root) {
    struct Parsed {
        std::string text;
        std::shared_ptr<const Node> root;
    };
    static std::mutex mutex;
    static std::array<Parsed, kHiveCount> last;

    std::string text;
    if (const LSTATUS rc = readHiveText(hive, text); rc != ERROR_SUCCESS) {
        return rc;
    }
    Parsed& parsed = last[static_cast<std::size_t>(hive)];
    {
        std::lock_guard guard(mutex);
        if (parsed.root && parsed.text == text) {
            root = parsed.root;
            return ERROR_SUCCESS;
        }
    }
    auto fresh = std::make_shared<Node>();
    if (!text.empty() && !parse(text, *fresh)) {
        return ERROR_BADDB;
    }
    root = fresh;
    std::lock_guard guard(mutex);
    parsed = Parsed{std::move(text), std::move(fresh)};
    return ERROR_SUCCESS;
}

LSTATUS storeHive(int hive, const Node& root) {
    static std::atomic<unsigned> counter{0};
    const auto path = hiveFile(hive);
    const auto temp =
        path.parent_path() / (path.filename().string() + "." + std::to_string(getpid()) + "." +
                              std::to_string(counter++) + ".tmp");
    const std::string text = serialise(root);
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            return ERROR_CANTWRITE;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

// Held while one change is read, made and written: an flock() on a lock file
// beside the hive excludes other processes, a mutex the threads of this one.
class HiveLock {
public:
    explicit HiveLock(int hive) : guard_(mutexes()[static_cast<std::size_t>(hive)]) {
        const auto path = hiveFile(hive);
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        const auto lockPath = path.parent_path() / (path.filename().string() + ".lock");
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            while (flock(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    ::close(fd_);
                    fd_ = -1;
                    break;
                }
            }
        }
    }
    ~HiveLock() {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    static std::array<std::mutex, kHiveCount>& mutexes() {
        static std::array<std::mutex, kHiveCount> all;
        return all;
    }
    std::lock_guard<std::mutex> guard_;
    int fd_ = -1;
};

// ---- Paths ---------------------------------------------------------------

struct Target {
    int hive = 0;
    std::vector<std::string> base; // the handle's own key
    std::vector<std::string> path; // base plus the sub-key
};

LSTATUS splitPath(const char* subKey, std::vector<std::string>& parts) {
    if (subKey == nullptr || *subKey == '\0') {
        return ERROR_SUCCESS;
    }
    const std::string_view text(subKey);
    if (text.front() == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto part = text.substr(start, end - start);
        if (part.empty()) {
            return ERROR_BAD_PATHNAME;
        }
        if (part.size() > kMaxKeyName) {
            return ERROR_INVALID_PARAMETER;
        }
        parts.emplace_back(part);
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

LSTATUS target(HKEY key, const char* subKey, Target& out) {
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (const auto hive = predefinedHive(key)) {
        out.hive = *hive;
    } else {
        out.hive = key->hive;
        out.base = key->path;
    }
    out.path = out.base;
    return splitPath(subKey, out.path);
}

// Node or const Node.
template <class Tree>
Tree* find(Tree& root, const std::vector<std::string>& path, std::size_t depth) {
    Tree* node = &root;
    for (std::size_t i = 0; i < depth; ++i) {
        const auto it = node->children.find(path[i]);
        if (it == node->children.end()) {
            return nullptr;
        }
        node = it->second.get();
    }
    return node;
}

template <class Tree>
Tree* find(Tree& root, const std::vector<std::string>& path) {
    return find(root, path, path.size());
}

HKEY newHandle(int hive, std::vector<std::string> path) {
    return new (std::nothrow) RegistryKey{hive, std::move(path)};
}

// Finds the target key of a handle; the handle's own key must still exist.
template <class Tree>
LSTATUS findKey(const Target& where, Tree& root, Tree*& node) {
    if (find(root, where.base) == nullptr) {
        return ERROR_KEY_DELETED;
    }
    node = find(root, where.path);
    return node == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// Reads the target key of a handle to change it.
LSTATUS readKey(const Target& where, Node& root, Node*& node) {
    if (const LSTATUS rc = loadHive(where.hive, root); rc != ERROR_SUCCESS) {
        return rc;
    }
    return findKey(where, root, node);
}

// Reads the target key of a handle to look at it; root keeps the tree.
LSTATUS viewKey(const Target& where, std::shared_ptr<const Node>& root, const Node*& node) {
    if (const LSTATUS rc = viewHive(where.hive, root); rc != ERROR_SUCCESS) {
        return rc;
    }
    return findKey(where, *root, node);
}

} // namespace

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, HKEY* result, std::uint32_t* disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Target where;
    if (const LSTATUS rc = target(key, subKey, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    HiveLock lock(where.hive);
    if (!lock.held()) {
        return ERROR_CANTWRITE;
    }
    Node root;
    if (const LSTATUS rc = loadHive(where.hive, root); rc != ERROR_SUCCESS) {
        return rc;
    }
    if (find(root, where.base) == nullptr) {
        return ERROR_KEY_DELETED;
    }
    bool created = false;
    Node* node = &root;
    for (const auto& part : where.path) {
        auto it = node->children.find(part);
        if (it == node->children.end()) {
            auto child = std::make_unique<Node>();
            child->name = part;
            it = node->children.emplace(part, std::move(child)).first;
            created = true;
        }
        node = it->second.get();
    }
    if (created) {
        if (const LSTATUS rc = storeHive(where.hive, root); rc != ERROR_SUCCESS) {
            return rc;
        }
    }
    *result = newHandle(where.hive, std::move(where.path));
    if (*result == nullptr) {
        return ERROR_OUTOFMEMORY;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Target where;
    if (const LSTATUS rc = target(key, subKey, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    std::shared_ptr<const Node> root;
    const Node* node = nullptr;
    if (const LSTATUS rc = viewKey(where, root, node); rc != ERROR_SUCCESS) {
        return rc;
    }
    *result = newHandle(where.hive, std::move(where.path));
    return *result == nullptr ? ERROR_OUTOFMEMORY : ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (!predefinedHive(key)) {
        delete key;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueEx(HKEY key, const char* valueName, std::uint32_t type, const void* data,
                      std::uint32_t size) {
    if (type != REG_SZ && type != REG_DWORD) {
        return ERROR_INVALID_PARAMETER;
    }
    if (data == nullptr && size != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Value value;
    value.name = valueName == nullptr ? "" : valueName;
    value.type = type;
    if (type == REG_DWORD) {
        if (size != sizeof(std::uint32_t)) {
            return ERROR_INVALID_PARAMETER;
        }
        std::memcpy(&value.number, data, sizeof value.number);
    } else if (size > 0) {
        const auto* bytes = static_cast<const char*>(data);
        value.text.assign(bytes, strnlen(bytes, size));
    }
    Target where;
    if (const LSTATUS rc = target(key, nullptr, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    HiveLock lock(where.hive);
    if (!lock.held()) {
        return ERROR_CANTWRITE;
    }
    Node root;
    Node* node = nullptr;
    if (const LSTATUS rc = readKey(where, root, node); rc != ERROR_SUCCESS) {
        return rc;
    }
    // A value renamed in letter case keeps its first spelling, like a key.
    if (const auto it = node->values.find(value.name); it != node->values.end()) {
        value.name = it->second.name;
        it->second = std::move(value);
    } else {
        std::string name = value.name;
        node->values.emplace(std::move(name), std::move(value));
    }
    return storeHive(where.hive, root);
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, std::uint32_t* type, void* data,
                        std::uint32_t* size) {
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target where;
    if (const LSTATUS rc = target(key, nullptr, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    std::shared_ptr<const Node> root;
    const Node* node = nullptr;
    if (const LSTATUS rc = viewKey(where, root, node); rc != ERROR_SUCCESS) {
        return rc;
    }
    const auto it = node->values.find(std::string_view(valueName == nullptr ? "" : valueName));
    if (it == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const Value& value = it->second;
    if (type != nullptr) {
        *type = value.type;
    }
    const std::uint32_t needed = value.type == REG_DWORD
                                     ? static_cast<std::uint32_t>(sizeof value.number)
                                     : static_cast<std::uint32_t>(value.text.size() + 1);
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (value.type == REG_DWORD) {
        std::memcpy(data, &value.number, sizeof value.number);
    } else {
        std::memcpy(data, value.text.c_str(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyEx(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameSize) {
    if (name == nullptr || nameSize == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target where;
    if (const LSTATUS rc = target(key, nullptr, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    std::shared_ptr<const Node> root;
    const Node* node = nullptr;
    if (const LSTATUS rc = viewKey(where, root, node); rc != ERROR_SUCCESS) {
        return rc;
    }
    if (index >= node->children.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = node->children.begin();
    std::advance(it, index);
    const std::string& childName = it->second->name;
    if (childName.size() + 1 > *nameSize) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, childName.c_str(), childName.size() + 1);
    *nameSize = static_cast<std::uint32_t>(childName.size());
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteTree(HKEY key, const char* subKey) {
    Target where;
    if (const LSTATUS rc = target(key, subKey, where); rc != ERROR_SUCCESS) {
        return rc;
    }
    HiveLock lock(where.hive);
    if (!lock.held()) {
        return ERROR_CANTWRITE;
    }
    Node root;
    Node* node = nullptr;
    if (const LSTATUS rc = readKey(where, root, node); rc != ERROR_SUCCESS) {
        return rc;
    }
    if (where.path.size() == where.base.size()) {
        if (node->values.empty() && node->children.empty()) {
            return ERROR_SUCCESS;
        }
        node->values.clear();
        node->children.clear();
    } else {
        Node* parent = find(root, where.path, where.path.size() - 1);
        parent->children.erase(where.path.back());
    }
    return storeHive(where.hive, root);
}

namespace platform {

std::filesystem::path registryHiveFile(HKEY hive) {
    const auto index = predefinedHive(hive);
    return index ? hiveFile(*index) : std::filesystem::path();
}

namespace {

// Owns an open key for the conveniences below.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

} // namespace

LSTATUS registrySetString(HKEY key, std::string_view subKey, std::string_view valueName,
                          std::string_view value) {
    OpenKey open;
    if (const LSTATUS rc = RegCreateKeyEx(key, std::string(subKey).c_str(), open.out(), nullptr);
        rc != ERROR_SUCCESS) {
        return rc;
    }
    const std::string text(value);
    return RegSetValueEx(open.get(), std::string(valueName).c_str(), REG_SZ, text.c_str(),
                         static_cast<std::uint32_t>(text.size() + 1));
}

LSTATUS registrySetNumber(HKEY key, std::string_view subKey, std::string_view valueName,
                          std::uint32_t value) {
    OpenKey open;
    if (const LSTATUS rc = RegCreateKeyEx(key, std::string(subKey).c_str(), open.out(), nullptr);
        rc != ERROR_SUCCESS) {
        return rc;
    }
    return RegSetValueEx(open.get(), std::string(valueName).c_str(), REG_DWORD, &value,
                         sizeof value);
}

namespace {

// The value of a key below key as one read of the hive finds it: what opening
// the key and querying it would read once per call.
const Value* readValue(HKEY key, std::string_view subKey, std::string_view valueName,
                       std::shared_ptr<const Node>& root) {
    Target where;
    const Node* node = nullptr;
    if (target(key, std::string(subKey).c_str(), where) != ERROR_SUCCESS ||
        viewKey(where, root, node) != ERROR_SUCCESS) {
        return nullptr;
    }
    const auto it = node->values.find(valueName);
    return it != node->values.end() ? &it->second : nullptr;
}

} // namespace

std::optional<std::string> registryString(HKEY key, std::string_view subKey,
                                          std::string_view valueName) {
    std::shared_ptr<const Node> root;
    const Value* value = readValue(key, subKey, valueName, root);
    if (value == nullptr || value->type != REG_SZ) {
        return std::nullopt;
    }
    // As a query returns it: the text up to its first zero byte.
    return value->text.substr(0, strnlen(value->text.c_str(), value->text.size()));
}

std::optional<std::uint32_t> registryNumber(HKEY key, std::string_view subKey,
                                            std::string_view valueName) {
    std::shared_ptr<const Node> root;
    const Value* value = readValue(key, subKey, valueName, root);
    if (value == nullptr || value->type != REG_DWORD) {
        return std::nullopt;
    }
    return value->number;
}

std::vector<std::string> registrySubKeys(HKEY key, std::string_view subKey) {
    std::vector<std::string> names;
    OpenKey open;
    if (RegOpenKeyEx(key, std::string(subKey).c_str(), open.out()) != ERROR_SUCCESS) {
        return names;
    }
    std::array<char, kMaxKeyName + 1> buffer{};
    for (std::uint32_t index = 0;; ++index) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        if (RegEnumKeyEx(open.get(), index, buffer.data(), &size) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(buffer.data(), size);
    }
    return names;
}

} // namespace platform
