#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "manifest/json_value.h"

namespace velda {

// A strict JSON reader that keeps where each member of the top-level object stands in the
// text, so that it can be set beside what the launcher's plain text search finds.

struct JsonMember {
    std::string key;    // decoded
    size_t key_offset;  // the key's opening quote
    JsonKind kind;
    size_t value_offset;  // first byte of the value
    std::string raw;      // strings: the bytes between the quotes, not decoded
    std::string decoded;  // strings: the value with its escapes decoded
};

struct JsonScan {
    bool valid = false;
    std::string error;  // why the text is not JSON, when it is not
    size_t error_offset = 0;
    bool byte_order_mark = false;
    bool root_is_object = false;
    // Top-level members in text order, as far as the text could be read.
    std::vector<JsonMember> members;
};

JsonScan scan_json_top_level(std::string_view text);

// Index of the first top-level member named key, or -1.
int find_top_level_member(const JsonScan& scan, std::string_view key);

const char* json_kind_name(JsonKind kind);

}  // namespace velda
