#include "common/Json.h"

#include "common/AES.h"
#include "common/Cipher.h"
#include "common/Tool.h"
#include "common/ToolLog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#define JSMN_STATIC
#include <jsmn.h>

namespace {

// The root object and 128 pairs.
constexpr int kJsonMapTokens = 2 * kJsonMapMaxEntries + 1;

bool keyCheckMode = false;
int keyCheckError = 0;
// The parameter log decodes hide flags, and decoding an enciphered value
// logs the parameters: a nested call would never end.
bool displaying = false;

int lowerByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u - 'A' + 'a' : u;
}

int compareIgnoreCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = lowerByte(a[i]);
        const int y = lowerByte(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return compareIgnoreCase(a, b) == 0;
}

// compareIgnoreCase(a, b + c) without joining b and c.
int compareIgnoreCase(std::string_view a, std::string_view b, std::string_view c) {
    const std::size_t n = std::min(a.size(), b.size());
    if (const int order = compareIgnoreCase(a.substr(0, n), b.substr(0, n)); order != 0) {
        return order;
    }
    if (a.size() < b.size()) {
        return -1;
    }
    return compareIgnoreCase(a.substr(n), c);
}

std::string_view textOf(const char* p) {
    return p == nullptr ? std::string_view{} : std::string_view(p);
}

int entryCount(const JsonMap& map) {
    return std::clamp<int>(map.count, 0, kJsonMapMaxEntries);
}

// A NUL-terminated copy on the C heap; null when memory runs out.
char* copyText(std::string_view text) {
    auto* p = static_cast<char*>(std::malloc(text.size() + 1));
    if (p != nullptr) {
        std::memcpy(p, text.data(), text.size());
        p[text.size()] = '\0';
    }
    return p;
}

void freeText(char* p) {
    if (p != nullptr) {
        secureWipe(p, std::strlen(p));
        std::free(p);
    }
}

void wipe(std::string& text) {
    secureWipe(text.data(), text.size());
}

// Stable, and in place: an insertion sort needs no buffer, and the maps are
// small and, after an addition, sorted but for their last entry.
void sortEntries(JsonMap& map) {
    const int count = entryCount(map);
    for (int i = 1; i < count; ++i) {
        const JsonMapEntry entry = map.entries[i];
        int j = i;
        for (; j > 0 && compareJsonMapEntry(&entry, &map.entries[j - 1]) < 0; --j) {
            map.entries[j] = map.entries[j - 1];
        }
        map.entries[j] = entry;
    }
}

// The entry whose key is name + suffix, by binary search; nothing is logged.
const JsonMapEntry* findEntry(const JsonMap& map, std::string_view name,
                              std::string_view suffix = {}) {
    int low = 0;
    int high = entryCount(map) - 1;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const int order = compareIgnoreCase(textOf(map.entries[mid].key), name, suffix);
        if (order == 0) {
            return &map.entries[mid];
        }
        if (order < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    return nullptr;
}

std::optional<std::string> lookup(const JsonMap* map, std::string_view key) {
    if (map == nullptr) {
        return std::nullopt;
    }
    return BinarySearchCorvantixJsonMap(map, 0, entryCount(*map) - 1, key);
}

// Read in place: the flag's value is neither copied nor left behind.
bool flagIsSet(const JsonMap* map, std::string_view key, std::string_view flag) {
    const JsonMapEntry* entry = map != nullptr ? findEntry(*map, key, flag) : nullptr;
    if (entry == nullptr) {
        return false;
    }
    if (entry->textValue != nullptr) {
        return equalsIgnoreCase(entry->textValue, "true");
    }
    return entry->binaryValue != nullptr &&
           equalsIgnoreCase(std::string_view(reinterpret_cast<const char*>(entry->binaryValue),
                                             entry->binaryLength),
                            "true");
}

enum class ValueFlag { None, Encrypt, Star, Slash, Base64 };

// Whether any key begins with key + "_Corvantix", as every flag key does: the
// keys of that prefix start where it would be inserted.
bool mayHaveFlags(const JsonMap& map, std::string_view key) {
    constexpr std::string_view kPrefix = "_Corvantix";
    int low = 0;
    int high = entryCount(map);
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (compareIgnoreCase(textOf(map.entries[mid].key), key, kPrefix) < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == entryCount(map)) {
        return false;
    }
    const std::string_view found = textOf(map.entries[low].key);
    return found.size() >= key.size() + kPrefix.size() &&
           compareIgnoreCase(found.substr(0, key.size() + kPrefix.size()), key, kPrefix) == 0;
}

// The first flag of the key that is set, in their order of precedence.
ValueFlag valueFlag(const JsonMap* map, std::string_view key) {
    if (map == nullptr || !mayHaveFlags(*map, key)) {
        return ValueFlag::None;
    }
    if (flagIsSet(map, key, kJsonEncryptFlag)) {
        return ValueFlag::Encrypt;
    }
    if (flagIsSet(map, key, kJsonStarFlag)) {
        return ValueFlag::Star;
    }
    if (flagIsSet(map, key, kJsonSlashFlag)) {
        return ValueFlag::Slash;
    }
    if (flagIsSet(map, key, kJsonBase64Flag)) {
        return ValueFlag::Base64;
    }
    return ValueFlag::None;
}

// The seven replacements of unescapeJsonText in one pass: none of them makes
// or takes a backslash, so passing over the text once per replacement, in
// their order, gives the same text. Writes at most text.size() characters.
std::size_t unescapeInto(std::string_view text, char* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out[n++] = c;
            continue;
        }
        const std::string_view rest = text.substr(i + 1);
        char replaced = 0;
        std::size_t used = 1;
        switch (rest.front()) {
        case 'r':
            replaced = '\r';
            break;
        case 'n':
            replaced = '\n';
            break;
        case 't':
            replaced = '\t';
            break;
        case '"':
            replaced = '"';
            break;
        case 'u':
            used = 5;
            if (rest.starts_with("u000f")) {
                replaced = '\x0f';
            } else if (rest.starts_with("u000e")) {
                replaced = '\x0e';
            } else if (rest.starts_with("u001b")) {
                replaced = '\x1b';
            }
            break;
        default:
            break;
        }
        if (replaced == 0) {
            out[n++] = c;
            continue;
        }
        out[n++] = replaced;
        i += used;
    }
    return n;
}

// The unescaped text on the C heap; null when memory runs out.
char* copyUnescaped(std::string_view text) {
    auto* p = static_cast<char*>(std::malloc(text.size() + 1));
    if (p != nullptr) {
        p[unescapeInto(text, p)] = '\0';
    }
    return p;
}

// atoi without its overflow: the leading decimal number, clamped to int.
int leadingNumber(const std::string& text) {
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

int integerValue(const JsonMap* map, std::string_view key) {
    auto value = getJsonMapValue(map, key);
    if (!value) {
        return 0;
    }
    if (equalsIgnoreCase(*value, "true")) {
        return 1;
    }
    if (equalsIgnoreCase(*value, "false")) {
        return 0;
    }
    return leadingNumber(*value);
}

std::string decryptWithShareSecret(const JsonMap* map, std::string_view rawValue) {
    displayParameter(map);
    logNormal("find key: ", kJsonShareSecretKey);
    auto secret = lookup(map, kJsonShareSecretKey);
    if (!secret) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    if (secret->size() < kJsonShareSecretMin) {
        // Only the first 32 bytes are the key; fewer would be read past.
        logWarningInt("Share secret too short: ", static_cast<long>(secret->size()));
        wipe(*secret);
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    const std::string cipher = hexToBytes(rawValue);
    const auto iv = jsonMapFixedIv();
    auto plain =
        decryptAesCbc(std::span<const std::uint8_t>(
                          reinterpret_cast<const std::uint8_t*>(cipher.data()), cipher.size()),
                      std::span<const std::uint8_t, 32>(
                          reinterpret_cast<const std::uint8_t*>(secret->data()), 32),
                      iv);
    wipe(*secret);
    if (!plain) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::string(rawValue);
    }
    return std::move(*plain);
}

} // namespace

// ---- Record -------------------------------------------------------------------

void freeJsonMap(JsonMap* map) noexcept {
    if (map == nullptr) {
        return;
    }
    for (int i = 0; i < entryCount(*map); ++i) {
        freeText(map->entries[i].key);
        freeText(map->entries[i].textValue);
    }
    freeText(map->rawText);
    std::free(map);
}

JsonMapPtr newJsonMap() {
    auto* map = static_cast<JsonMap*>(std::calloc(1, sizeof(JsonMap)));
    if (map == nullptr) {
        CORVANTIX_ALLOCATION_FAILURE();
    }
    return JsonMapPtr(map);
}

int compareJsonMapEntry(const JsonMapEntry* a, const JsonMapEntry* b) {
    if (a == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputA");
    }
    if (b == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputB");
    }
    if (a == nullptr || b == nullptr) {
        return 100;
    }
    return compareIgnoreCase(textOf(a->key), textOf(b->key));
}

std::optional<std::string> BinarySearchCorvantixJsonMap(const JsonMap* map, int low, int high,
                                                        std::string_view key) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    const int count = entryCount(*map);
    low = std::max(low, 0);
    high = std::min(high, count - 1);
    const JsonMapEntry* found = nullptr;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const int order = compareIgnoreCase(textOf(map->entries[mid].key), key);
        if (order == 0) {
            found = &map->entries[mid];
            break;
        }
        if (order < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    if (found == nullptr) {
        if (keyCheckMode && key.find("Corvantix") == std::string_view::npos &&
            key.find("topui") == std::string_view::npos) {
            logWarning("Json map key not found: ", key);
            keyCheckError = kResultKeyMissing;
        }
        return std::nullopt;
    }
    if (found->textValue != nullptr) {
        return std::string(found->textValue);
    }
    if (found->binaryValue != nullptr) {
        return std::string(reinterpret_cast<const char*>(found->binaryValue), found->binaryLength);
    }
    return std::nullopt;
}

JsonMapPtr parseJsonMap(std::optional<std::string_view> json) {
    if (!json) {
        CORVANTIX_NULL_PARAMETER("inputJsonStr");
        return nullptr;
    }
    jsmn_parser parser;
    jsmn_init(&parser);
    // jsmn writes every token it reports; the rest is never read.
    std::array<jsmntok_t, kJsonMapTokens> tokens;
    const int n = jsmn_parse(&parser, json->data(), json->size(), tokens.data(),
                             static_cast<unsigned>(tokens.size()));
    if (n < 2) {
        logError("jsmn parse error");
        // A text that does not parse cannot be masked key by key, and a PIN
        // may stand anywhere in it: only its length is logged.
        logError("Error json: ", "length " + std::to_string(json->size()));
        return nullptr;
    }
    auto map = newJsonMap();
    if (!map) {
        return nullptr;
    }
    const auto slice = [&](const jsmntok_t& t) {
        if (t.start < 0 || t.end < t.start || static_cast<std::size_t>(t.end) > json->size()) {
            return std::string_view{};
        }
        return json->substr(static_cast<std::size_t>(t.start),
                            static_cast<std::size_t>(t.end - t.start));
    };
    // Pairs from the last back to the first; nesting is not followed.
    bool complete = true;
    for (int k = n - 2; k >= 1 && map->count < kJsonMapMaxEntries; k -= 2) {
        JsonMapEntry& entry = map->entries[map->count];
        entry.key = copyText(slice(tokens[static_cast<std::size_t>(k)]));
        if (entry.key == nullptr) {
            CORVANTIX_ALLOCATION_FAILURE();
            complete = false;
            break;
        }
        entry.textValue = copyUnescaped(slice(tokens[static_cast<std::size_t>(k + 1)]));
        ++map->count;
        if (entry.textValue == nullptr) {
            CORVANTIX_ALLOCATION_FAILURE();
            complete = false;
            break;
        }
    }
    sortEntries(*map);
    if (complete) {
        map->rawText = copyText(*json);
    }
    return map;
}

int addJsonMapValue(JsonMap* map, std::string_view key, std::optional<std::string_view> text) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return 0;
    }
    const int count = entryCount(*map);
    for (int i = 0; i < count; ++i) {
        JsonMapEntry& entry = map->entries[i];
        if (entry.key != nullptr && equalsIgnoreCase(entry.key, key)) {
            freeText(entry.textValue);
            entry.textValue = text ? copyText(*text) : nullptr;
            if (text && entry.textValue == nullptr) {
                CORVANTIX_ALLOCATION_FAILURE();
            }
            return 0;
        }
    }
    if (count >= kJsonMapMaxEntries) {
        return 0;
    }
    char* keyCopy = copyText(key);
    char* textCopy = text ? copyText(*text) : nullptr;
    if (keyCopy == nullptr || (text && textCopy == nullptr)) {
        CORVANTIX_ALLOCATION_FAILURE();
        freeText(keyCopy);
        freeText(textCopy);
        return 0;
    }
    map->entries[count] = JsonMapEntry{keyCopy, textCopy, nullptr, 0};
    map->count = count + 1;
    sortEntries(*map);
    return 0;
}

void setJsonMapResult(JsonMap* map, int code) {
    addJsonMapValue(map, "result", std::to_string(code));
}

std::optional<std::string> jsonMapToString(const JsonMap* map) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    std::size_t size = 2;
    for (int i = 0; i < entryCount(*map); ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.textValue != nullptr) {
            size += textOf(entry.key).size() + (std::strlen(entry.textValue) + 2) / 3 * 4 + 8;
        }
    }
    std::string out;
    out.reserve(size);
    out += "{";
    bool first = true;
    for (int i = 0; i < entryCount(*map); ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.textValue == nullptr) {
            continue;
        }
        if (!first) {
            out += ", ";
        }
        first = false;
        out.append("\"").append(textOf(entry.key)).append("\": \"");
        out.append(base64Encode(entry.textValue)).append("\"");
    }
    out += "}";
    return out;
}

// ---- Getters ------------------------------------------------------------------

std::string getDecodedValue(const JsonMap* map, std::string_view key, std::string_view rawValue) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::string(rawValue);
    }
    switch (valueFlag(map, key)) {
    case ValueFlag::Encrypt:
        return decryptWithShareSecret(map, rawValue);
    case ValueFlag::Star:
        return replaceString(rawValue, "*", "\\");
    case ValueFlag::Slash:
        return replaceString(rawValue, "==CorvantixSlash==", "\\");
    case ValueFlag::Base64:
        return decodeEscapedBase64(rawValue);
    case ValueFlag::None:
        break;
    }
    return std::string(rawValue);
}

std::optional<std::string> getJsonMapValue(const JsonMap* map, std::string_view key) {
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return std::nullopt;
    }
    auto raw = lookup(map, key);
    if (!raw || valueFlag(map, key) == ValueFlag::None) {
        return raw;
    }
    std::string decoded = getDecodedValue(map, key, *raw);
    wipe(*raw);
    return decoded;
}

int getCorvantixMode(const JsonMap* map) {
    return integerValue(map, "CorvantixMode");
}

int getJsonMapTimeout(const JsonMap* map) {
    return integerValue(map, "timeout");
}

bool getJsonMapBool(const JsonMap* map, std::string_view key) {
    auto value = getJsonMapValue(map, key);
    return value && equalsIgnoreCase(*value, "true");
}

void displayParameter(const JsonMap* map) {
    if (!logWritersOn() || displaying) {
        return;
    }
    if (map == nullptr) {
        CORVANTIX_NULL_PARAMETER("inputCorvantixJson");
        return;
    }
    displaying = true;
    logNormal("= DISPLAY PARAMETER", " ===== start =====");
    for (int i = 0; i < entryCount(*map); ++i) {
        const JsonMapEntry& entry = map->entries[i];
        const std::string_view key = textOf(entry.key);
        const std::string message = std::string(key) + ": ";
        if (entry.textValue == nullptr) {
            logNormal(message, entry.binaryValue != nullptr ? "[binary_value]" : "[empty]");
            continue;
        }
        const std::string_view value = entry.textValue;
        const std::string lower = toLowerString(message);
        bool masked = false;
        if (equalsIgnoreCase(key, kJsonShareSecretKey)) {
            masked = true; // a key: never in a log
        } else if (lower.find("corvantix") != std::string::npos) {
            masked = false;
        } else if (lower.find("pin") != std::string::npos ||
                   lower.find("pw") != std::string::npos ||
                   lower.find("pass") != std::string::npos) {
            masked = true;
        } else {
            masked = getJsonMapBool(map, std::string(key) + std::string(kJsonHideFlag));
        }
        logNormal(message, masked ? std::string(value.size(), '*') : std::string(value));
    }
    logNormal("= DISPLAY PARAMETER", " ===== end =====");
    displaying = false;
}

// ---- Texts ----------------------------------------------------------------------

std::optional<std::string> unescapeJsonText(std::optional<std::string_view> input) {
    if (!input) {
        CORVANTIX_NULL_PARAMETER("inputData");
        return std::nullopt;
    }
    std::string text(input->size(), '\0');
    text.resize(unescapeInto(*input, text.data()));
    return text;
}

// ---- Key check and IV --------------------------------------------------------------

void setJsonMapKeyCheck(bool on) {
    keyCheckMode = on;
}

int jsonMapKeyCheckError() {
    return keyCheckError;
}

void setJsonMapKeyCheckError(int error) {
    keyCheckError = error;
}

std::array<std::uint8_t, 16> jsonMapFixedIv() {
    // Built at run time rather than kept as one byte string in the program.
    static constexpr std::uint32_t kWords[4] = {0x5A17C3E9, 0x0B4D8F62, 0xE1297A5C, 0x3C86D04B};
    std::array<std::uint8_t, 16> iv{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            iv[4 * i + b] = static_cast<std::uint8_t>(kWords[i] >> (24 - 8 * b));
        }
    }
    return iv;
}
