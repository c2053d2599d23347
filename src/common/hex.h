#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

constexpr size_t kSha256Size = 32;
constexpr size_t kSha256HexSize = 2 * kSha256Size + 1;  // 64 digits and the NUL

// True when text is exactly 2 * size hex digits (either case); out then holds their bytes.
[[nodiscard]] bool hex_to_bytes(const char* text, uint8_t* out, size_t size);

// Lower-case digits, NUL-terminated: out holds 2 * size + 1 bytes.
void bytes_to_hex(const uint8_t* bytes, size_t size, char* out);

// The value of one hex digit of either case, or -1.
int hex_digit_value(char c);

}  // namespace velda
