#include "manifest/json_value.h"

#include <set>
#include <utility>

namespace velda {

namespace {

constexpr uint64_t kMaxWholeNumber = uint64_t{1} << 53;

// The parser of one text; the first error is kept with where it happened.
class Parser {
  public:
    Parser(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

    bool document(JsonValue* out, bool* byte_order_mark) {
        *byte_order_mark = text_.substr(0, 3) == "\xEF\xBB\xBF";
        if (*byte_order_mark) {
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

    bool value(int depth, JsonValue* out) {
        if (depth > limits_.max_depth) {
            return fail("nested too deeply");
        }
        out->offset = pos_;
        char c = peek();
        if (c == '{') {
            out->kind = JsonKind::Object;
            return object(depth, out);
        }
        if (c == '[') {
            out->kind = JsonKind::Array;
            return array(depth, out);
        }
        if (c == '"') {
            out->kind = JsonKind::String;
            return string(&out->text, &out->raw);
        }
        if (c == 't' || c == 'f' || c == 'n') {
            return literal(out);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            out->kind = JsonKind::Number;
            return number(out);
        }
        return fail(at_end() ? "unexpected end of the text" : "expected a JSON value");
    }

    bool object(int depth, JsonValue* out) {
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
            size_t key_offset = pos_;
            std::string key;
            std::string raw_key;
            if (!string(&key, &raw_key)) {
                return false;
            }
            if (limits_.refuse_duplicate_keys && !keys.insert(key).second) {
                return fail("a member name appears twice in one object");
            }
            skip_blanks();
            if (peek() != ':') {
                return fail("expected a colon after the member name");
            }
            ++pos_;
            skip_blanks();
            JsonValue member;
            if (!value(depth + 1, &member)) {
                return false;
            }
            out->members.push_back({std::move(key), key_offset, std::move(member)});
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

    bool array(int depth, JsonValue* out) {
        ++pos_;
        skip_blanks();
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_blanks();
            JsonValue item;
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

    bool literal(JsonValue* out) {
        static constexpr std::pair<std::string_view, JsonKind> kWords[] = {
            {"true", JsonKind::True}, {"false", JsonKind::False}, {"null", JsonKind::Null}};
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

    bool number(JsonValue* out) {
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
    JsonLimits limits_;
    size_t pos_ = 0;
    std::string error_;
    size_t error_offset_ = 0;
};

}  // namespace

JsonParse parse_json(std::string_view text, const JsonLimits& limits, JsonValue* root) {
    *root = JsonValue{};
    Parser parser(text, limits);
    JsonParse parse;
    parse.valid = parser.document(root, &parse.byte_order_mark);
    parse.error = parser.error();
    parse.error_offset = parser.error_offset();
    return parse;
}

const JsonValue* json_member(const JsonValue& object, std::string_view key) {
    for (const JsonObjectMember& member : object.members) {
        if (member.key == key) {
            return &member.value;
        }
    }
    return nullptr;
}

}  // namespace velda
