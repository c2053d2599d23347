#include "manifest/release_details.h"

#include <set>
#include <utility>

namespace velda {

namespace {

constexpr int kMaxDepth = 16;
constexpr uint64_t kMaxWholeNumber = uint64_t{1} << 53;

enum class Kind { String, Number, Object, Array, True, False, Null };

struct Member;

// One parsed JSON value. Numbers keep whether they were a whole, non-negative value within
// 2^53; other numbers are valid JSON but useless as a size.
struct Value {
    Kind kind = Kind::Null;
    std::string text;  // strings, decoded
    bool whole = false;
    uint64_t number = 0;
    std::vector<Member> members;  // objects, in text order
    std::vector<Value> items;     // arrays
};

struct Member {
    std::string key;
    Value value;
};

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool document(Value* out) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        }
        skip_blanks();
        if (!value(0, out)) {
            return false;
        }
        skip_blanks();
        return pos_ == text_.size() || fail("text after the end of the JSON value");
    }

    const std::string& error() const { return error_; }
    size_t error_offset() const { return error_offset_; }

  private:
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool at_end() const { return pos_ >= text_.size(); }

    bool fail(const char* why) {
        if (error_.empty()) {
            error_ = why;
            error_offset_ = pos_;
        }
        return false;
    }

    void skip_blanks() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }

    bool value(int depth, Value* out) {
        if (depth > kMaxDepth) {
            return fail("nested too deeply");
        }
        char c = peek();
        if (c == '{') {
            out->kind = Kind::Object;
            return object(depth, out);
        }
        if (c == '[') {
            out->kind = Kind::Array;
            return array(depth, out);
        }
        if (c == '"') {
            out->kind = Kind::String;
            return string(&out->text);
        }
        if (c == 't' || c == 'f' || c == 'n') {
            return literal(out);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            out->kind = Kind::Number;
            return number(out);
        }
        return fail(at_end() ? "unexpected end of the text" : "expected a JSON value");
    }

    bool object(int depth, Value* out) {
        ++pos_;
        skip_blanks();
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        std::set<std::string> keys;
        while (true) {
            skip_blanks();
            if (peek() != '"') {
                return fail("expected a member name in double quotes");
            }
            std::string key;
            if (!string(&key)) {
                return false;
            }
            if (!keys.insert(key).second) {
                return fail("a member name appears twice in one object");
            }
            skip_blanks();
            if (peek() != ':') {
                return fail("expected a colon after the member name");
            }
            ++pos_;
            skip_blanks();
            Value member;
            if (!value(depth + 1, &member)) {
                return false;
            }
            out->members.push_back({std::move(key), std::move(member)});
            skip_blanks();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            return fail("expected a comma or a closing brace");
        }
    }

    bool array(int depth, Value* out) {
        ++pos_;
        skip_blanks();
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_blanks();
            Value item;
            if (!value(depth + 1, &item)) {
                return false;
            }
            out->items.push_back(std::move(item));
            skip_blanks();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            return fail("expected a comma or a closing bracket");
        }
    }

    bool literal(Value* out) {
        static constexpr std::pair<std::string_view, Kind> kWords[] = {
            {"true", Kind::True}, {"false", Kind::False}, {"null", Kind::Null}};
        for (const auto& [word, kind] : kWords) {
            if (text_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                out->kind = kind;
                return true;
            }
        }
        return fail("expected true, false or null");
    }

    // Digits as a whole number; *overflow once the value passes 2^53.
    bool digits(uint64_t* value, bool* overflow) {
        size_t start = pos_;
        while (peek() >= '0' && peek() <= '9') {
            if (*value > kMaxWholeNumber) {
                *overflow = true;
            } else {
                *value = *value * 10 + static_cast<uint64_t>(peek() - '0');
            }
            ++pos_;
        }
        return pos_ > start || fail("expected a digit");
    }

    bool number(Value* out) {
        bool negative = peek() == '-';
        if (negative) {
            ++pos_;
        }
        uint64_t whole = 0;
        bool overflow = false;
        if (peek() == '0') {
            ++pos_;
        } else if (!digits(&whole, &overflow)) {
            return false;
        }
        bool plain = true;
        uint64_t ignored = 0;
        bool ignored_overflow = false;
        if (peek() == '.') {
            ++pos_;
            plain = false;
            if (!digits(&ignored, &ignored_overflow)) {
                return false;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            plain = false;
            if (peek() == '+' || peek() == '-') {
                ++pos_;
            }
            if (!digits(&ignored, &ignored_overflow)) {
                return false;
            }
        }
        out->whole = plain && !negative && !overflow && whole <= kMaxWholeNumber;
        out->number = out->whole ? whole : 0;
        return true;
    }

    bool hex4(uint32_t* out) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = peek();
            int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
            if (digit < 0) {
                return fail("expected four hex digits after \\u");
            }
            v = v * 16 + static_cast<uint32_t>(digit);
            ++pos_;
        }
        *out = v;
        return true;
    }

    static void append_utf8(uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    bool unicode_escape(std::string* decoded) {
        uint32_t cp;
        if (!hex4(&cp)) {
            return false;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail("low surrogate without a high one");
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low;
            if (text_.substr(pos_, 2) != "\\u") {
                return fail("high surrogate without a low one");
            }
            pos_ += 2;
            if (!hex4(&low)) {
                return false;
            }
            if (low < 0xDC00 || low > 0xDFFF) {
                return fail("high surrogate without a low one");
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(cp, decoded);
        return true;
    }

    bool escape(std::string* decoded) {
        ++pos_;  // the backslash
        char c = peek();
        const std::string_view simple = "\"\\/bfnrt";
        const std::string_view meaning = "\"\\/\b\f\n\r\t";
        size_t at = c == '\0' ? std::string_view::npos : simple.find(c);
        if (at != std::string_view::npos) {
            decoded->push_back(meaning[at]);
            ++pos_;
            return true;
        }
        if (c != 'u') {
            return fail("unknown escape sequence");
        }
        ++pos_;
        return unicode_escape(decoded);
    }

    // One UTF-8 sequence of two bytes or more, checked for overlong forms and surrogates.
    bool utf8_sequence(std::string* decoded) {
        unsigned char lead = static_cast<unsigned char>(peek());
        size_t length;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return fail("not UTF-8");
        }
        for (size_t i = 1; i < length; ++i) {
            if (pos_ + i >= text_.size()) {
                return fail("not UTF-8");
            }
            unsigned char next = static_cast<unsigned char>(text_[pos_ + i]);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
                return fail("not UTF-8");
            }
        }
        decoded->append(text_.substr(pos_, length));
        pos_ += length;
        return true;
    }

    bool string(std::string* decoded) {
        ++pos_;
        while (true) {
            if (at_end()) {
                return fail("unterminated string");
            }
            unsigned char c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++pos_;
                return true;
            }
            bool ok = true;
            if (c < 0x20) {
                ok = fail("control byte inside a string");
            } else if (c == '\\') {
                ok = escape(decoded);
            } else if (c >= 0x80) {
                ok = utf8_sequence(decoded);
            } else {
                decoded->push_back(static_cast<char>(c));
                ++pos_;
            }
            if (!ok) {
                return false;
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
    size_t error_offset_ = 0;
};

const Value* member_of(const Value& object, std::string_view key) {
    for (const Member& member : object.members) {
        if (member.key == key) {
            return &member.value;
        }
    }
    return nullptr;
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
           fields.size("files_count", &out->files_count);
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

bool parse_root_object(std::string_view json, Value* root, std::string* why) {
    Parser parser(json);
    if (!parser.document(root)) {
        *why = "not JSON at byte " + std::to_string(parser.error_offset()) + ": " + parser.error();
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

bool read_release_details(std::string_view json, ReleaseDetails* out, std::string* why) {
    *out = ReleaseDetails{};
    why->clear();
    Value root;
    if (!parse_root_object(json, &root, why)) {
        return false;
    }
    ReleaseDetails details;
    if (!read_sizes(root, &details.sizes, why) || !read_direct_from(root, &details, why) ||
        !read_change_sets(root, &details, why) || !read_identity(root, &details.identity, why)) {
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
