#include "json_scan.h"

#include <utility>

namespace velda {

namespace {

// Deep enough for any manifest a person writes; the launcher's own reader allows less.
constexpr int kMaxDepth = 512;

}  // namespace

JsonScan scan_json_top_level(std::string_view text) {
    JsonValue root;
    // Names given twice are kept: check says what the launcher's plain search makes of them.
    JsonParse parse = parse_json(text, {kMaxDepth, false}, &root);
    JsonScan scan;
    scan.valid = parse.valid;
    scan.error = parse.error;
    scan.error_offset = parse.error_offset;
    scan.byte_order_mark = parse.byte_order_mark;
    scan.root_is_object = root.kind == JsonKind::Object;
    for (JsonObjectMember& member : root.members) {
        scan.members.push_back({std::move(member.key), member.key_offset, member.value.kind,
                                member.value.offset, std::move(member.value.raw),
                                std::move(member.value.text)});
    }
    return scan;
}

int find_top_level_member(const JsonScan& scan, std::string_view key) {
    for (size_t i = 0; i < scan.members.size(); ++i) {
        if (scan.members[i].key == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const char* json_kind_name(JsonKind kind) {
    switch (kind) {
        case JsonKind::String:
            return "a string";
        case JsonKind::Number:
            return "a number";
        case JsonKind::Object:
            return "an object";
        case JsonKind::Array:
            return "an array";
        case JsonKind::True:
            return "true";
        case JsonKind::False:
            return "false";
        case JsonKind::Null:
            return "null";
    }
    return "a value";
}

}  // namespace velda
