#include "common/hex.h"

#include <cstring>

namespace velda {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool hex_to_bytes(const char* text, uint8_t* out, size_t size) {
    if (std::strlen(text) != 2 * size) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        int high = hex_digit_value(text[2 * i]);
        int low = hex_digit_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

void bytes_to_hex(const uint8_t* bytes, size_t size, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    out[2 * size] = '\0';
}

}  // namespace velda
