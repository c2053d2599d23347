#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace velda {

namespace {

char ascii_lower_char(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower_char(a[i]) != ascii_lower_char(b[i])) {
            return false;
        }
    }
    return true;
}

bool ends_with_ignoring_ascii_case(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equals_ignoring_ascii_case(text.substr(text.size() - suffix.size()), suffix);
}

bool is_printable_ascii(uint32_t code) {
    return code >= 0x20 && code <= 0x7E;
}

bool is_printable_ascii_text(std::string_view text) {
    for (char c : text) {
        if (!is_printable_ascii(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

bool is_trim_blank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

void trim_in_place(char* text) {
    size_t length = std::strlen(text);
    if (length >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF) {
        std::memmove(text, text + 3, length - 2);
        length -= 3;
    }
    while (length > 0 && is_trim_blank(text[length - 1])) {
        text[--length] = '\0';
    }
    size_t start = 0;
    while (start < length && is_trim_blank(text[start])) {
        ++start;
    }
    if (start > 0) {
        std::memmove(text, text + start, length - start + 1);
    }
}

void copy_bounded(char* dest, size_t dest_size, const char* src) {
    if (dest_size == 0) {
        return;
    }
    size_t length = std::strlen(src);
    if (length > dest_size - 1) {
        length = dest_size - 1;
    }
    std::memcpy(dest, src, length);
    dest[length] = '\0';
}

void format_bounded(char* dest, size_t dest_size, const char* format, ...) {
    if (dest_size == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(dest, dest_size, format, args);
    va_end(args);
    if (written < 0) {
        dest[0] = '\0';
    }
}

}  // namespace velda
