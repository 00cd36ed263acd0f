#include "app/Json.h"
#include "app/TextFormat.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace veltrix {

JsonValue JsonValue::array(std::vector<JsonValue> items) {
    JsonValue v;
    v.type_ = Type::Array;
    v.items_ = std::move(items);
    return v;
}

JsonValue JsonValue::object(std::vector<std::pair<std::string, JsonValue>> members) {
    JsonValue v;
    v.type_ = Type::Object;
    for (auto& [key, value] : members) v.insert(key, std::move(value));
    return v;
}

double JsonValue::toDouble() const {
    if (type_ == Type::Integer) return double(integer_);
    return type_ == Type::Double ? double_ : 0.0;
}

int JsonValue::toInt() const {
    if (type_ == Type::Integer) return integer_ >= INT_MIN && integer_ <= INT_MAX ? int(integer_) : 0;
    if (type_ == Type::Double && std::floor(double_) == double_ && double_ >= INT_MIN && double_ <= INT_MAX)
        return int(double_);
    return 0;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue none;
    const auto at = std::lower_bound(members_.begin(), members_.end(), key,
                                     [](const auto& member, const std::string& k) { return member.first < k; });
    return at != members_.end() && at->first == key ? at->second : none;
}

void JsonValue::insert(const std::string& key, JsonValue value) {
    const auto at = std::lower_bound(members_.begin(), members_.end(), key,
                                     [](const auto& member, const std::string& k) { return member.first < k; });
    if (at != members_.end() && at->first == key) at->second = std::move(value);
    else members_.emplace(at, key, std::move(value));
}

void JsonValue::append(JsonValue value) { items_.push_back(std::move(value)); }

namespace {

// The control characters with a one-letter escape, and their letters.
constexpr char kControls[] = "\b\f\n\r\t";
constexpr char kLetters[] = "bfnrt";

void writeString(std::string& out, const std::string& text) {
    out += '"';
    for (char c : validUtf8(text)) {
        const char* control = c != '\0' ? std::strchr(kControls, c) : nullptr;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (control) {
            out += '\\';
            out += kLetters[control - kControls];
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", unsigned(c));
            out += code;
        } else {
            out += c;
        }
    }
    out += '"';
}

void indent(std::string& out, int depth) { out.append(size_t(4 * depth), ' '); }

}  // namespace

void JsonValue::write(std::string& out, int depth) const {
    switch (type_) {
    case Type::Null: out += "null"; break;
    case Type::Bool: out += bool_ ? "true" : "false"; break;
    case Type::Integer: out += std::to_string(integer_); break;
    case Type::Double: out += std::isfinite(double_) ? shortestNumberText(double_) : "null"; break;
    case Type::String: writeString(out, string_); break;
    case Type::Array:
        out += "[\n";
        for (size_t i = 0; i < items_.size(); ++i) {
            indent(out, depth + 1);
            items_[i].write(out, depth + 1);
            out += i + 1 < items_.size() ? ",\n" : "\n";
        }
        indent(out, depth);
        out += "]";
        break;
    case Type::Object:
        out += "{\n";
        for (size_t i = 0; i < members_.size(); ++i) {
            indent(out, depth + 1);
            writeString(out, members_[i].first);
            out += ": ";
            members_[i].second.write(out, depth + 1);
            out += i + 1 < members_.size() ? ",\n" : "\n";
        }
        indent(out, depth);
        out += "}";
        break;
    }
}

std::string JsonValue::toJson() const {
    std::string out;
    write(out, 0);
    out += "\n";
    return out;
}

namespace {

// A recursive-descent reader; every failure records its reason and offset once.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    bool document(JsonValue& value) {
        skipSpace();
        if (at_ >= s_.size() || (s_[at_] != '{' && s_[at_] != '[')) return fail("illegal value");
        if (!parseValue(value, 0, "illegal value")) return false;
        skipSpace();
        if (at_ != s_.size()) {
            fail("garbage at the end of the document");
            offset = at_;
            return false;
        }
        return true;
    }

    std::string error;
    size_t offset = 0;

private:
    static constexpr int kMaxDepth = 1024;

    // The offset is that just past the character where the reading stopped, or the end.
    bool fail(const char* why) {
        error = why;
        offset = at_ < s_.size() ? at_ + 1 : at_;
        return false;
    }
    void skipSpace() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
    }
    bool literal(const char* word) {
        const size_t n = std::char_traits<char>::length(word);
        if (s_.compare(at_, n, word) != 0) return false;
        at_ += n;
        return true;
    }

    // in names the container the value stands in, for the message when the text ends before it.
    bool parseValue(JsonValue& value, int depth, const char* in) {
        skipSpace();
        if (at_ >= s_.size()) return fail(in);
        const char c = s_[at_];
        if (c == '{' || c == '[') {
            if (depth >= kMaxDepth) return fail("too deeply nested document");
            return c == '{' ? parseObject(value, depth + 1) : parseArray(value, depth + 1);
        }
        if (c == '"') {
            std::string text;
            if (!parseString(text)) return false;
            value = JsonValue(std::move(text));
            return true;
        }
        if (c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9')) return parseNumber(value);
        if (literal("true")) value = JsonValue(true);
        else if (literal("false")) value = JsonValue(false);
        else if (literal("null")) value = JsonValue();
        else return fail("illegal value");
        return true;
    }

    // Steps over c when it comes next.
    bool take(char c) {
        if (at_ >= s_.size() || s_[at_] != c) return false;
        ++at_;
        return true;
    }

    bool parseObject(JsonValue& value, int depth) {
        ++at_;  // '{'
        value = JsonValue::object();
        skipSpace();
        if (take('}')) return true;
        for (;;) {
            skipSpace();
            if (at_ >= s_.size() || s_[at_] != '"') return fail("unterminated object");
            std::string key;
            if (!parseString(key)) return false;
            skipSpace();
            if (!take(':')) return fail("missing name separator");
            JsonValue member;
            if (!parseValue(member, depth, "unterminated object")) return false;
            value.insert(key, std::move(member));
            skipSpace();
            if (take('}')) return true;
            if (!take(',')) return fail("unterminated object");
            skipSpace();
            if (at_ < s_.size() && s_[at_] == '}') return fail("object is missing after a comma");
        }
    }

    bool parseArray(JsonValue& value, int depth) {
        ++at_;  // '['
        value = JsonValue::array();
        skipSpace();
        if (take(']')) return true;
        for (;;) {
            JsonValue item;
            if (!parseValue(item, depth, "unterminated array")) return false;
            value.append(std::move(item));
            skipSpace();
            if (at_ >= s_.size()) return fail("unterminated array");
            if (take(']')) return true;
            if (!take(',')) return fail("missing value separator");
            skipSpace();
            if (at_ < s_.size() && s_[at_] == ']') return fail("object is missing after a comma");
        }
    }

    bool parseNumber(JsonValue& value) {
        const size_t start = at_;
        if (s_[at_] == '-') ++at_;
        while (at_ < s_.size() && std::string("0123456789.eE+-").find(s_[at_]) != std::string::npos) ++at_;
        const std::string text = s_.substr(start, at_ - start);
        double d = 0;
        if (!parseDouble(text, d) || text.find_first_of("iInN+") == 0) {
            error = "illegal number";
            offset = at_;
            return false;
        }
        if (at_ == s_.size()) return fail("invalid termination by number");
        int64_t n = 0;
        bool integral = text.find_first_of(".eE") == std::string::npos && text.size() <= 18;
        if (integral) n = std::stoll(text);
        value = integral ? JsonValue(n) : JsonValue(d);
        return true;
    }

    static void appendUtf8(std::string& out, unsigned c) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }

    bool hex4(unsigned& c) {
        if (at_ + 4 > s_.size()) return false;
        c = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = s_[at_ + size_t(k)];
            c <<= 4;
            if (h >= '0' && h <= '9') c |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f') c |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') c |= unsigned(h - 'A' + 10);
            else return false;
        }
        at_ += 4;
        return true;
    }

    bool parseString(std::string& out) {
        const size_t start = ++at_;  // after '"'
        for (;;) {
            if (at_ >= s_.size()) {
                fail("unterminated string");
                offset = s_.size() + 1;
                return false;
            }
            const char c = s_[at_];
            if (c == '"') break;
            if (c != '\\') {
                out += c;
                ++at_;
                continue;
            }
            if (++at_ >= s_.size()) return fail("unterminated string");
            const char e = s_[at_++];
            const char* letter = e != '\0' ? std::strchr(kLetters, e) : nullptr;
            if (letter) {
                out += kControls[letter - kLetters];
            } else if (e == 'u') {
                unsigned code = 0;
                if (!hex4(code)) return fail("invalid escape sequence");
                // A surrogate pair makes one character; a lone surrogate stands for U+FFFD.
                if (code >= 0xd800 && code < 0xdc00 && s_.compare(at_, 2, "\\u") == 0) {
                    const size_t back = at_;
                    at_ += 2;
                    unsigned low = 0;
                    if (hex4(low) && low >= 0xdc00 && low < 0xe000)
                        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                    else at_ = back;
                }
                appendUtf8(out, code >= 0xd800 && code < 0xe000 ? 0xfffd : code);
            } else {
                out += e;  // any other escape (\", \\, \/ among them) stands for its character
            }
        }
        if (validUtf8(out) != out) {
            error = "invalid UTF8 string";
            offset = start;
            return false;
        }
        ++at_;  // closing '"'
        return true;
    }

    const std::string& s_;
    size_t at_ = 0;
};

}  // namespace

bool JsonValue::parse(const std::string& text, JsonValue& value, std::string* error, size_t* offset) {
    JsonReader reader(text);
    JsonValue parsed;
    if (!reader.document(parsed)) {
        if (error) *error = reader.error;
        if (offset) *offset = reader.offset;
        return false;
    }
    value = std::move(parsed);
    return true;
}

}  // namespace veltrix
