#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veltrix {

// A JSON value for the run summary: written with 4-space indentation and the keys of every object
// in byte order, read back by the summary row.
class JsonValue {
public:
    enum class Type { Null, Bool, Integer, Double, String, Array, Object };

    JsonValue() = default;  // null
    JsonValue(std::nullptr_t) {}
    JsonValue(bool b) : type_(Type::Bool), bool_(b) {}
    JsonValue(int n) : type_(Type::Integer), integer_(n) {}
    JsonValue(int64_t n) : type_(Type::Integer), integer_(n) {}
    JsonValue(uint32_t n) : type_(Type::Integer), integer_(n) {}
    JsonValue(size_t n) : type_(Type::Integer), integer_(int64_t(n)) {}
    JsonValue(double d) : type_(Type::Double), double_(d) {}
    JsonValue(const char* s) : type_(Type::String), string_(s) {}
    JsonValue(std::string s) : type_(Type::String), string_(std::move(s)) {}

    static JsonValue array(std::vector<JsonValue> items = {});
    static JsonValue object(std::vector<std::pair<std::string, JsonValue>> members = {});

    Type type() const { return type_; }
    bool isNumber() const { return type_ == Type::Integer || type_ == Type::Double; }
    bool isObject() const { return type_ == Type::Object; }
    bool isArray() const { return type_ == Type::Array; }
    double toDouble() const;
    // The number when it is an integral value in the int range, otherwise 0.
    int toInt() const;
    const std::string& toString() const { return string_; }
    const std::vector<JsonValue>& items() const { return items_; }
    const std::vector<std::pair<std::string, JsonValue>>& members() const { return members_; }

    // The member of that key of an object; null for any other value or a missing key.
    const JsonValue& operator[](const std::string& key) const;
    // Adds a member to an object, replacing one of the same key.
    void insert(const std::string& key, JsonValue value);
    // Adds an item to an array.
    void append(JsonValue value);

    // The indented text and a line end. Non-finite numbers are written as null; text that is not
    // valid UTF-8 has the offending bytes replaced by U+FFFD.
    std::string toJson() const;

    // Reads a document whose top level is an object or an array. False for anything else, with
    // the reason and the byte offset where it was found.
    static bool parse(const std::string& text, JsonValue& value, std::string* error = nullptr,
                      size_t* offset = nullptr);

private:
    void write(std::string& out, int depth) const;

    Type type_ = Type::Null;
    bool bool_ = false;
    int64_t integer_ = 0;
    double double_ = 0;
    std::string string_;
    std::vector<JsonValue> items_;
    std::vector<std::pair<std::string, JsonValue>> members_;  // sorted by key
};

}  // namespace veltrix
