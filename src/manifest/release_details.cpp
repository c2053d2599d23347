#include "manifest/release_details.h"

#include <set>
#include <utility>

#include "manifest/json_value.h"

namespace velda {

namespace {

constexpr int kMaxDepth = 16;

using Kind = JsonKind;
using Value = JsonValue;

const Value* member_of(const Value& object, std::string_view key) {
    return json_member(object, key);
}

// Reads members of one object into typed fields; the first refusal is kept in *why.
class Fields {
  public:
    Fields(const Value& object, std::string where, std::string* why)
        : object_(object), where_(std::move(where)), why_(why) {}

    bool size(std::string_view key, std::optional<uint64_t>* out) {
        const Value* found = member_of(object_, key);
        if (found == nullptr) {
            return true;
        }
        if (found->kind != Kind::Number || !found->whole) {
            return refuse(key, "is not a whole number from 0 to 2^53");
        }
        *out = found->number;
        return true;
    }

    // limit counts the launcher's terminating NUL, as its buffers do.
    bool text(std::string_view key, size_t limit, bool required, std::string* out) {
        const Value* found = member_of(object_, key);
        if (found == nullptr) {
            return !required || refuse(key, "is missing");
        }
        if (found->kind != Kind::String) {
            return refuse(key, "is not a string");
        }
        if (required && found->text.empty()) {
            return refuse(key, "is empty");
        }
        if (limit != 0 && found->text.size() >= limit) {
            return refuse(key, "is longer than a launcher keeps");
        }
        *out = found->text;
        return true;
    }

    bool refuse(std::string_view key, const char* what) {
        *why_ = where_ + "\"" + std::string(key) + "\" " + what;
        return false;
    }

  private:
    const Value& object_;
    std::string where_;
    std::string* why_;
};

bool read_sizes(const Value& root, ReleaseSizes* out, std::string* why) {
    Fields fields(root, "", why);
    return fields.size("package_size", &out->package) &&
           fields.size("unpacked_size", &out->unpacked) &&
           fields.size("unpacked_files", &out->unpacked_files) &&
           fields.size("direct_size", &out->direct);
}

bool read_direct_from(const Value& root, ReleaseDetails* out, std::string* why) {
    const Value* found = member_of(root, "direct_from");
    if (found == nullptr) {
        return true;
    }
    if (found->kind != Kind::Array) {
        *why = "\"direct_from\" is not an array";
        return false;
    }
    if (found->items.size() > kMaxDirectFrom) {
        *why = "\"direct_from\" names more versions than a launcher reads";
        return false;
    }
    for (const Value& item : found->items) {
        if (item.kind != Kind::String || item.text.size() >= kVersionTextSize) {
            *why = "\"direct_from\" holds something other than a version text";
            return false;
        }
        out->direct_from.push_back(item.text);
    }
    out->direct_record_present = true;
    return true;
}

bool read_change_set(const Value& item, size_t index, ChangeSet* out, std::string* why) {
    std::string where = "change set " + std::to_string(index + 1) + ": ";
    if (item.kind != Kind::Object) {
        *why = where + "not an object";
        return false;
    }
    Fields fields(item, where, why);
    return fields.text("from", kVersionTextSize, true, &out->from_version) &&
           fields.text("list_url", kManifestUrlSize, true, &out->list_url) &&
           fields.text("base_url", kManifestUrlSize, true, &out->base_url) &&
           fields.text("list_sha256", 0, false, &out->list_sha256) &&
           fields.text("hashes_url", kManifestUrlSize, false, &out->hashes_url) &&
           fields.text("hashes_sha256", 0, false, &out->hashes_sha256) &&
           fields.size("list_size", &out->list_size) &&
           fields.size("hashes_size", &out->hashes_size) &&
           fields.size("files_size", &out->files_size) &&
           fields.size("files_count", &out->files_count) &&
           fields.text("patches_url", kManifestUrlSize, false, &out->patches_url) &&
           fields.text("patches_sha256", 0, false, &out->patches_sha256) &&
           fields.size("patches_size", &out->patches_size) &&
           fields.text("patch_base_url", kManifestUrlSize, false, &out->patch_base_url);
}

bool read_change_sets(const Value& root, ReleaseDetails* out, std::string* why) {
    const Value* found = member_of(root, "change_sets");
    if (found == nullptr) {
        return true;
    }
    if (found->kind != Kind::Array) {
        *why = "\"change_sets\" is not an array";
        return false;
    }
    if (found->items.size() > kMaxChangeSets) {
        *why = "\"change_sets\" holds more sets than a launcher reads";
        return false;
    }
    for (size_t i = 0; i < found->items.size(); ++i) {
        ChangeSet set;
        if (!read_change_set(found->items[i], i, &set, why)) {
            return false;
        }
        if (change_set_for(*out, set.from_version) != nullptr) {
            *why = "two change sets from version " + set.from_version;
            return false;
        }
        out->change_sets.push_back(std::move(set));
    }
    return true;
}

bool read_identity(const Value& root, ReleaseIdentity* out, std::string* why) {
    Fields fields(root, "", why);
    if (!fields.text("product", kProductIdSize, false, &out->product) ||
        !fields.text("issued", 0, false, &out->issued) ||
        !fields.text("expires", 0, false, &out->expires)) {
        return false;
    }
    if (member_of(root, "product") != nullptr && !product_id_valid(out->product)) {
        return fields.refuse("product", "is not 1 to 63 letters, digits, '.', '_' or '-'");
    }
    if (member_of(root, "issued") != nullptr && !utc_time_text_valid(out->issued)) {
        return fields.refuse("issued", "is not a UTC time like 2026-12-09T05:00:00Z");
    }
    if (member_of(root, "expires") != nullptr && !utc_time_text_valid(out->expires)) {
        return fields.refuse("expires", "is not a UTC time like 2026-12-09T05:00:00Z");
    }
    return true;
}

bool sha256_text_valid(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

bool read_launcher(const Value& root, std::optional<OfferedLauncher>* out, std::string* why) {
    const Value* found = member_of(root, "launcher");
    if (found == nullptr) {
        return true;
    }
    if (found->kind != Kind::Object) {
        *why = "\"launcher\" is not an object";
        return false;
    }
    Fields fields(*found, "launcher: ", why);
    OfferedLauncher offered;
    std::optional<uint64_t> size;
    if (!fields.text("version", kVersionTextSize, true, &offered.version) ||
        !fields.text("url", kManifestUrlSize, true, &offered.url) ||
        !fields.text("sha256", 0, true, &offered.sha256) || !fields.size("size", &size)) {
        return false;
    }
    if (offered.version.find_first_not_of("0123456789.") != std::string::npos ||
        !parse_version(offered.version.c_str(), nullptr)) {
        return fields.refuse("version", "is not a version like 1.4.2");
    }
    if (!sha256_text_valid(offered.sha256)) {
        return fields.refuse("sha256", "is not 64 hex digits");
    }
    if (!size || *size == 0) {
        return fields.refuse("size", "is missing or 0");
    }
    offered.size = *size;
    *out = std::move(offered);
    return true;
}

bool parse_root_object(std::string_view json, Value* root, std::string* why) {
    JsonParse parse = parse_json(json, {kMaxDepth, true}, root);
    if (!parse.valid) {
        *why = "not JSON at byte " + std::to_string(parse.error_offset) + ": " + parse.error;
        return false;
    }
    if (root->kind != Kind::Object) {
        *why = "the manifest is not a JSON object";
        return false;
    }
    return true;
}

bool digits_within(std::string_view text, size_t at, size_t count, int low, int high) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value >= low && value <= high;
}

}  // namespace

bool utc_time_text_valid(std::string_view text) {
    constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
    if (text.size() != kShape.size()) {
        return false;
    }
    for (size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != '0' && text[i] != kShape[i]) {
            return false;
        }
    }
    return digits_within(text, 0, 4, 1970, 9999) && digits_within(text, 5, 2, 1, 12) &&
           digits_within(text, 8, 2, 1, 31) && digits_within(text, 11, 2, 0, 23) &&
           digits_within(text, 14, 2, 0, 59) && digits_within(text, 17, 2, 0, 59);
}

bool product_id_valid(std::string_view text) {
    if (text.empty() || text.size() >= kProductIdSize) {
        return false;
    }
    for (char c : text) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.' && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

bool read_release_identity(std::string_view json, ReleaseIdentity* out, std::string* why) {
    *out = ReleaseIdentity{};
    why->clear();
    Value root;
    ReleaseIdentity identity;
    if (!parse_root_object(json, &root, why) || !read_identity(root, &identity, why)) {
        return false;
    }
    *out = std::move(identity);
    return true;
}

bool read_offered_launcher(std::string_view json, std::optional<OfferedLauncher>* out,
                           std::string* why) {
    out->reset();
    why->clear();
    Value root;
    return parse_root_object(json, &root, why) && read_launcher(root, out, why);
}

bool read_release_details(std::string_view json, ReleaseDetails* out, std::string* why) {
    *out = ReleaseDetails{};
    why->clear();
    Value root;
    if (!parse_root_object(json, &root, why)) {
        return false;
    }
    ReleaseDetails details;
    if (!read_sizes(root, &details.sizes, why) || !read_direct_from(root, &details, why) ||
        !read_change_sets(root, &details, why) || !read_identity(root, &details.identity, why) ||
        !read_launcher(root, &details.launcher, why)) {
        return false;
    }
    *out = std::move(details);
    return true;
}

const ChangeSet* change_set_for(const ReleaseDetails& details, std::string_view installed_version) {
    for (const ChangeSet& set : details.change_sets) {
        if (set.from_version == installed_version) {
            return &set;
        }
    }
    return nullptr;
}

bool direct_makes_release_whole(const ReleaseDetails& details, std::string_view installed_version) {
    if (!details.direct_record_present) {
        return false;
    }
    for (const std::string& version : details.direct_from) {
        if (version == installed_version) {
            return true;
        }
    }
    return false;
}

}  // namespace velda
