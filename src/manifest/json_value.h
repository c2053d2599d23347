#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velda {

// A strict JSON reader (RFC 8259: UTF-8 checked, escapes decoded, no trailing commas), which
// keeps where each value stands in the text. A UTF-8 byte order mark may lead.

enum class JsonKind { String, Number, Object, Array, True, False, Null };

struct JsonObjectMember;

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    size_t offset = 0;  // its first byte in the text
    std::string text;   // strings: decoded
    std::string raw;    // strings: the bytes between the quotes, not decoded
    // Numbers: whether the value is whole, not negative and at most 2^53, and then the value;
    // other numbers are valid JSON but no count of bytes.
    bool whole = false;
    uint64_t number = 0;
    std::vector<JsonObjectMember> members;  // objects, in text order
    std::vector<JsonValue> items;           // arrays
};

struct JsonObjectMember {
    std::string key;    // decoded
    size_t key_offset;  // the key's opening quote
    JsonValue value;
};

struct JsonLimits {
    int max_depth;               // objects and arrays below the root
    bool refuse_duplicate_keys;  // a name twice in one object is an error
};

struct JsonParse {
    bool valid = false;
    std::string error;  // why the text is not JSON, when it is not
    size_t error_offset = 0;
    bool byte_order_mark = false;
};

// Reads the whole text into *root. On an error, *root holds what was read up to it (the
// members of an object so far, each whole).
JsonParse parse_json(std::string_view text, const JsonLimits& limits, JsonValue* root);

// The first member of object named key, or null.
const JsonValue* json_member(const JsonValue& object, std::string_view key);

}  // namespace velda
