#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velda {

// Strips a leading UTF-8 byte-order mark once, then trailing, then leading tab, LF, CR and space.
void trim_in_place(char* text);

// strncpy-style copy that keeps at most size - 1 bytes and always terminates.
void copy_bounded(char* dest, size_t dest_size, const char* src);

// snprintf that cuts silently: every formatted text is bounded by its buffer.
void format_bounded(char* dest, size_t dest_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

[[nodiscard]] bool is_trim_blank(char c);

// ASCII letters only, as Windows compares file names in the C locale.
[[nodiscard]] bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);
[[nodiscard]] bool ends_with_ignoring_ascii_case(std::string_view text, std::string_view suffix);

// Space to tilde: what a header value or a one-line record can carry as it came. code is a byte
// or a UTF-16 unit.
[[nodiscard]] bool is_printable_ascii(uint32_t code);
// Every byte of text is printable ASCII; true for an empty text.
[[nodiscard]] bool is_printable_ascii_text(std::string_view text);

}  // namespace velda
