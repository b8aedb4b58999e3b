#pragma once

// A small JSON codec for the scripted user's line protocol: one value per
// line, read and written here so that the platform layer needs nothing of the
// programs' own JSON code. Numbers are whole numbers within 64 bits (the
// protocol has no others); a fraction or an exponent is refused, as are
// duplicate keys, nesting deeper than kJsonMaxDepth and text that is not
// UTF-8.

#include "platform/ui/Wipe.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::ui {

inline constexpr int kJsonMaxDepth = 32;

class JsonValue {
public:
    using Array = std::vector<JsonValue>;
    // Keys in the order written; lookups are linear (the objects are small).
    using Object = std::vector<std::pair<std::string, JsonValue>>;

    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    JsonValue(bool value) : value_(value) {}
    JsonValue(int value) : value_(static_cast<std::int64_t>(value)) {}
    JsonValue(std::int64_t value) : value_(value) {}
    JsonValue(std::uint64_t value) : value_(static_cast<std::int64_t>(value)) {}
    JsonValue(const char* value) : value_(std::string(value)) {}
    JsonValue(std::string_view value) : value_(std::string(value)) {}
    JsonValue(std::string value) : value_(std::move(value)) {}
    JsonValue(Array value) : value_(std::move(value)) {}
    JsonValue(Object value) : value_(std::move(value)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool isBool() const { return std::holds_alternative<bool>(value_); }
    bool isNumber() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isObject() const { return std::holds_alternative<Object>(value_); }

    // Each accessor gives nullopt / null when the value is of another kind.
    std::optional<bool> asBool() const;
    std::optional<std::int64_t> asNumber() const;
    const std::string* asString() const;
    const Array* asArray() const;
    const Object* asObject() const;
    Array* asArray();
    Object* asObject();

    // The member of an object; null when this is no object or has no such key.
    const JsonValue* find(std::string_view key) const;
    // Sets a member of an object (making this an object when it is null).
    JsonValue& set(std::string_view key, JsonValue value);
    // Appends to an array (making this an array when it is null).
    JsonValue& push(JsonValue value);

    // Wipes every text held, keys included: request lines may carry what a
    // test types into a PIN field.
    void wipe();

private:
    std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object> value_;
};

struct JsonParse {
    std::optional<JsonValue> value;
    std::string error; // why the text is refused, empty on success
};

// Parses exactly one value, surrounded by optional white space.
JsonParse parseJson(std::string_view text);

// Compact text without line breaks (a line break inside a string is escaped).
std::string serializeJson(const JsonValue& value);

} // namespace platform::ui
