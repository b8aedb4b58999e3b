#include "platform/ui/JsonLine.h"

#include <limits>

namespace platform::ui {
namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    JsonParse run() {
        JsonParse result;
        skipSpace();
        JsonValue value;
        if (!parseValue(value, 0)) {
            result.error = error_;
            value.wipe();
            return result;
        }
        skipSpace();
        if (pos_ != text_.size()) {
            value.wipe();
            result.error = "text after the value";
            return result;
        }
        result.value = std::move(value);
        return result;
    }

private:
    bool fail(const char* why) {
        if (error_.empty()) {
            error_ = why;
        }
        return false;
    }

    void skipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return fail("unknown word");
        }
        pos_ += word.size();
        return true;
    }

    bool parseValue(JsonValue& out, int depth) {
        if (depth > kJsonMaxDepth) {
            return fail("nested too deeply");
        }
        if (pos_ >= text_.size()) {
            return fail("value missing");
        }
        switch (text_[pos_]) {
        case '{':
            return parseObject(out, depth);
        case '[':
            return parseArray(out, depth);
        case '"': {
            std::string text;
            if (!parseString(text)) {
                wipeString(text);
                return false;
            }
            out = JsonValue(std::move(text));
            return true;
        }
        case 't':
            out = JsonValue(true);
            return literal("true");
        case 'f':
            out = JsonValue(false);
            return literal("false");
        case 'n':
            out = JsonValue(nullptr);
            return literal("null");
        default:
            return parseNumber(out);
        }
    }

    bool parseNumber(JsonValue& out) {
        bool negative = false;
        if (text_[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') {
            return fail("unexpected character");
        }
        if (text_[pos_] == '0' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
            text_[pos_ + 1] <= '9') {
            return fail("leading zero");
        }
        // Gathered as a negative number, which has the larger range.
        std::int64_t value = 0;
        constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            const int digit = text_[pos_] - '0';
            if (value < (kMin + digit) / 10) {
                return fail("number out of range");
            }
            value = value * 10 - digit;
            ++pos_;
        }
        if (pos_ < text_.size() &&
            (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
            return fail("only whole numbers are allowed");
        }
        if (!negative) {
            if (value == kMin) {
                return fail("number out of range");
            }
            value = -value;
        }
        out = JsonValue(value);
        return true;
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool readHex4(std::uint32_t& unit) {
        if (text_.size() - pos_ < 4) {
            return fail("short \\u escape");
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(text_[pos_++]);
            if (d < 0) {
                return fail("bad \\u escape");
            }
            unit = unit * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }

    static void appendUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // One UTF-8 sequence copied as it is, after checking it is well formed.
    bool copyUtf8(std::string& out) {
        const auto lead = static_cast<unsigned char>(text_[pos_]);
        int extra = 0;
        std::uint32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            return fail("text is not UTF-8");
        }
        if (text_.size() - pos_ <= static_cast<std::size_t>(extra)) {
            return fail("text is not UTF-8");
        }
        for (int i = 1; i <= extra; ++i) {
            const auto c = static_cast<unsigned char>(text_[pos_ + i]);
            if ((c & 0xC0) != 0x80) {
                return fail("text is not UTF-8");
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return fail("text is not UTF-8");
        }
        out.append(text_.substr(pos_, extra + 1));
        pos_ += extra + 1;
        return true;
    }

    bool parseString(std::string& out) {
        ++pos_; // the opening quote
        for (;;) {
            if (pos_ >= text_.size()) {
                return fail("unterminated string");
            }
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in a string");
            }
            if (static_cast<unsigned char>(c) >= 0x80) {
                if (!copyUtf8(out)) {
                    return false;
                }
                continue;
            }
            ++pos_;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) {
                return fail("unterminated string");
            }
            const char e = text_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::uint32_t unit = 0;
                if (!readHex4(unit)) {
                    return false;
                }
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return fail("lone surrogate");
                }
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (text_.substr(pos_, 2) != "\\u") {
                        return fail("lone surrogate");
                    }
                    pos_ += 2;
                    if (!readHex4(low)) {
                        return false;
                    }
                    if (low < 0xDC00 || low > 0xDFFF) {
                        return fail("lone surrogate");
                    }
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, unit);
                break;
            }
            default:
                return fail("bad escape");
            }
        }
    }

    bool parseArray(JsonValue& out, int depth) {
        ++pos_;
        JsonValue::Array items;
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            out = JsonValue(std::move(items));
            return true;
        }
        for (;;) {
            skipSpace();
            JsonValue item;
            if (!parseValue(item, depth + 1)) {
                item.wipe();
                out = JsonValue(std::move(items));
                return false;
            }
            items.push_back(std::move(item));
            skipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                out = JsonValue(std::move(items));
                return true;
            }
            out = JsonValue(std::move(items));
            return fail("expected , or ]");
        }
    }

    bool parseObject(JsonValue& out, int depth) {
        ++pos_;
        JsonValue::Object members;
        const auto done = [&](bool ok) {
            out = JsonValue(std::move(members));
            return ok;
        };
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return done(true);
        }
        for (;;) {
            skipSpace();
            if (pos_ >= text_.size() || text_[pos_] != '"') {
                return done(fail("expected a key"));
            }
            std::string key;
            if (!parseString(key)) {
                wipeString(key);
                return done(false);
            }
            for (const auto& member : members) {
                if (member.first == key) {
                    return done(fail("duplicate key"));
                }
            }
            skipSpace();
            if (pos_ >= text_.size() || text_[pos_] != ':') {
                return done(fail("expected :"));
            }
            ++pos_;
            skipSpace();
            JsonValue value;
            const bool ok = parseValue(value, depth + 1);
            members.emplace_back(std::move(key), std::move(value));
            if (!ok) {
                return done(false);
            }
            skipSpace();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return done(true);
            }
            return done(fail("expected , or }"));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

void writeString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += kHex[u >> 4];
                out += kHex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void writeValue(std::string& out, const JsonValue& value) {
    if (const auto b = value.asBool()) {
        out += *b ? "true" : "false";
    } else if (const auto n = value.asNumber()) {
        out += std::to_string(*n);
    } else if (const auto* s = value.asString()) {
        writeString(out, *s);
    } else if (const auto* a = value.asArray()) {
        out += '[';
        for (std::size_t i = 0; i < a->size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            writeValue(out, (*a)[i]);
        }
        out += ']';
    } else if (const auto* o = value.asObject()) {
        out += '{';
        for (std::size_t i = 0; i < o->size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            writeString(out, (*o)[i].first);
            out += ':';
            writeValue(out, (*o)[i].second);
        }
        out += '}';
    } else {
        out += "null";
    }
}

} // namespace

std::optional<bool> JsonValue::asBool() const {
    if (const auto* b = std::get_if<bool>(&value_)) {
        return *b;
    }
    return std::nullopt;
}

std::optional<std::int64_t> JsonValue::asNumber() const {
    if (const auto* n = std::get_if<std::int64_t>(&value_)) {
        return *n;
    }
    return std::nullopt;
}

const std::string* JsonValue::asString() const {
    return std::get_if<std::string>(&value_);
}

const JsonValue::Array* JsonValue::asArray() const {
    return std::get_if<Array>(&value_);
}

const JsonValue::Object* JsonValue::asObject() const {
    return std::get_if<Object>(&value_);
}

JsonValue::Array* JsonValue::asArray() {
    return std::get_if<Array>(&value_);
}

JsonValue::Object* JsonValue::asObject() {
    return std::get_if<Object>(&value_);
}

const JsonValue* JsonValue::find(std::string_view key) const {
    if (const auto* o = asObject()) {
        for (const auto& member : *o) {
            if (member.first == key) {
                return &member.second;
            }
        }
    }
    return nullptr;
}

JsonValue& JsonValue::set(std::string_view key, JsonValue value) {
    if (isNull()) {
        value_ = Object();
    }
    if (auto* o = asObject()) {
        for (auto& member : *o) {
            if (member.first == key) {
                member.second = std::move(value);
                return *this;
            }
        }
        o->emplace_back(std::string(key), std::move(value));
    }
    return *this;
}

JsonValue& JsonValue::push(JsonValue value) {
    if (isNull()) {
        value_ = Array();
    }
    if (auto* a = asArray()) {
        a->push_back(std::move(value));
    }
    return *this;
}

void JsonValue::wipe() {
    if (auto* s = std::get_if<std::string>(&value_)) {
        wipeString(*s);
    } else if (auto* a = asArray()) {
        for (auto& item : *a) {
            item.wipe();
        }
    } else if (auto* o = asObject()) {
        for (auto& member : *o) {
            wipeString(member.first);
            member.second.wipe();
        }
    }
}

JsonParse parseJson(std::string_view text) {
    return Parser(text).run();
}

std::string serializeJson(const JsonValue& value) {
    std::string out;
    writeValue(out, value);
    return out;
}

} // namespace platform::ui
