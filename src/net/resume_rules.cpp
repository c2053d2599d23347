#include "net/resume_rules.h"

#include <cstring>

#include "common/text.h"

namespace velda {

namespace {

constexpr uint32_t kPartialContent = 206;

bool fits_header(const char* text) {
    size_t length = std::strlen(text);
    return length > 0 && length < kValidatorSize && is_printable_ascii_text(text);
}

// Decimal digits at *cursor into *value; false on none or overflow.
bool read_number(const char** cursor, uint64_t* value) {
    const char* p = *cursor;
    if (*p < '0' || *p > '9') {
        return false;
    }
    uint64_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    *cursor = p;
    return true;
}

}  // namespace

bool partial_can_continue(const PartialDownload& partial) {
    return partial.validator[0] != '\0' && partial.have > 0 && partial.have < partial.total;
}

bool choose_validator(const char* etag, const char* last_modified, char out[kValidatorSize]) {
    out[0] = '\0';
    // A weak ETag names a body that may differ byte for byte: If-Range refuses it.
    if (etag != nullptr && fits_header(etag) && std::strncmp(etag, "W/", 2) != 0) {
        copy_bounded(out, kValidatorSize, etag);
        return true;
    }
    if (last_modified != nullptr && fits_header(last_modified)) {
        copy_bounded(out, kValidatorSize, last_modified);
        return true;
    }
    return false;
}

bool parse_content_range(const char* text, ContentRange* range) {
    if (text == nullptr ||
        !equals_ignoring_ascii_case(std::string_view(text).substr(0, 6), "bytes ")) {
        return false;
    }
    const char* p = text + 6;
    while (*p == ' ') {
        ++p;
    }
    ContentRange parsed;
    if (!read_number(&p, &parsed.first) || *p++ != '-' || !read_number(&p, &parsed.last) ||
        *p++ != '/' || parsed.last < parsed.first) {
        return false;
    }
    if (*p == '*') {
        ++p;
    } else {
        if (!read_number(&p, &parsed.total) || parsed.last >= parsed.total) {
            return false;
        }
        parsed.total_known = true;
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    *range = parsed;
    return true;
}

AnswerUse judge_answer(const PartialDownload& asked, uint32_t status, const char* content_range,
                       const char* etag, const char* last_modified) {
    if (!partial_can_continue(asked)) {
        // Nothing was asked but the whole body: a part of it is of no use.
        return status == kPartialContent ? AnswerUse::Refuse : AnswerUse::Restart;
    }
    if (status != kPartialContent) {
        return AnswerUse::Restart;  // The server sends the body whole: it changed, or ignores
                                    // Range.
    }
    ContentRange range;
    if (!parse_content_range(content_range, &range) || !range.total_known ||
        range.first != asked.have || range.total != asked.total || range.last + 1 != range.total) {
        return AnswerUse::Refuse;
    }
    // A server that ignored If-Range but names another version gives away the change here.
    char answered[kValidatorSize];
    if (choose_validator(etag, last_modified, answered) &&
        std::strcmp(answered, asked.validator) != 0) {
        return AnswerUse::Refuse;
    }
    return AnswerUse::Continue;
}

}  // namespace velda
