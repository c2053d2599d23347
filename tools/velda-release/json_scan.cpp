#include "json_scan.h"

#include <cstdint>

namespace velda {

namespace {

constexpr int kMaxDepth = 512;

class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}

    void run(JsonScan* out) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            out->byte_order_mark = true;
            pos_ = 3;
        }
        skip_blanks();
        bool ok;
        if (peek() == '{') {
            out->root_is_object = true;
            ok = object(0, &out->members);
        } else {
            JsonKind ignored;
            ok = value(0, &ignored, nullptr, nullptr);
        }
        if (ok) {
            skip_blanks();
            if (pos_ != text_.size()) {
                ok = fail("text after the end of the JSON value");
            }
        }
        out->valid = ok;
        out->error = error_;
        out->error_offset = error_offset_;
    }

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

    // members is non-null for the top-level object only.
    bool object(int depth, std::vector<JsonMember>* members) {
        ++pos_;
        skip_blanks();
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_blanks();
            if (peek() != '"') {
                return fail("expected a member name in double quotes");
            }
            JsonMember member{};
            member.key_offset = pos_;
            std::string raw_key;
            if (!string(&member.key, &raw_key)) {
                return false;
            }
            skip_blanks();
            if (peek() != ':') {
                return fail("expected a colon after the member name");
            }
            ++pos_;
            skip_blanks();
            member.value_offset = pos_;
            if (!value(depth + 1, &member.kind, &member.decoded, &member.raw)) {
                return false;
            }
            if (members != nullptr) {
                members->push_back(std::move(member));
            }
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

    bool array(int depth) {
        ++pos_;
        skip_blanks();
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_blanks();
            JsonKind ignored;
            if (!value(depth + 1, &ignored, nullptr, nullptr)) {
                return false;
            }
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

    bool value(int depth, JsonKind* kind, std::string* decoded, std::string* raw) {
        if (depth > kMaxDepth) {
            return fail("nested too deeply");
        }
        char c = peek();
        if (c == '{') {
            *kind = JsonKind::Object;
            return object(depth, nullptr);
        }
        if (c == '[') {
            *kind = JsonKind::Array;
            return array(depth);
        }
        if (c == '"') {
            *kind = JsonKind::String;
            std::string scratch_decoded;
            std::string scratch_raw;
            return string(decoded != nullptr ? decoded : &scratch_decoded,
                          raw != nullptr ? raw : &scratch_raw);
        }
        if (c == 't') {
            *kind = JsonKind::True;
            return literal("true");
        }
        if (c == 'f') {
            *kind = JsonKind::False;
            return literal("false");
        }
        if (c == 'n') {
            *kind = JsonKind::Null;
            return literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            *kind = JsonKind::Number;
            return number();
        }
        return fail(at_end() ? "unexpected end of the text" : "expected a JSON value");
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return fail("expected true, false or null");
        }
        pos_ += word.size();
        return true;
    }

    bool digits() {
        size_t start = pos_;
        while (peek() >= '0' && peek() <= '9') {
            ++pos_;
        }
        return pos_ > start || fail("expected a digit");
    }

    bool number() {
        if (peek() == '-') {
            ++pos_;
        }
        if (peek() == '0') {
            ++pos_;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++pos_;
            if (!digits()) {
                return false;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') {
                ++pos_;
            }
            if (!digits()) {
                return false;
            }
        }
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

    bool escape(std::string* decoded) {
        ++pos_;  // the backslash
        char c = peek();
        const char* simple = "\"\\/bfnrt";
        const char* meaning = "\"\\/\b\f\n\r\t";
        for (int i = 0; simple[i] != '\0'; ++i) {
            if (c == simple[i]) {
                decoded->push_back(meaning[i]);
                ++pos_;
                return true;
            }
        }
        if (c != 'u') {
            return fail("unknown escape sequence");
        }
        ++pos_;
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

    // One UTF-8 sequence of two bytes or more, checked for overlong forms and surrogates.
    bool utf8_sequence(std::string* decoded) {
        unsigned char lead = static_cast<unsigned char>(peek());
        int length;
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
        for (int i = 1; i < length; ++i) {
            if (pos_ + static_cast<size_t>(i) >= text_.size()) {
                return fail("not UTF-8");
            }
            unsigned char next = static_cast<unsigned char>(text_[pos_ + static_cast<size_t>(i)]);
            unsigned char min = i == 1 ? low : 0x80;
            unsigned char max = i == 1 ? high : 0xBF;
            if (next < min || next > max) {
                return fail("not UTF-8");
            }
        }
        decoded->append(text_.substr(pos_, static_cast<size_t>(length)));
        pos_ += static_cast<size_t>(length);
        return true;
    }

    bool string(std::string* decoded, std::string* raw) {
        ++pos_;
        size_t start = pos_;
        while (true) {
            if (at_end()) {
                return fail("unterminated string");
            }
            unsigned char c = static_cast<unsigned char>(peek());
            if (c == '"') {
                *raw = std::string(text_.substr(start, pos_ - start));
                ++pos_;
                return true;
            }
            if (c < 0x20) {
                return fail("control byte inside a string");
            }
            if (c == '\\') {
                if (!escape(decoded)) {
                    return false;
                }
            } else if (c >= 0x80) {
                if (!utf8_sequence(decoded)) {
                    return false;
                }
            } else {
                decoded->push_back(static_cast<char>(c));
                ++pos_;
            }
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
    size_t error_offset_ = 0;
};

}  // namespace

JsonScan scan_json_top_level(std::string_view text) {
    JsonScan scan;
    Scanner(text).run(&scan);
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
