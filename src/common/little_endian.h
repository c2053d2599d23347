#pragma once

#include <cstdint>
#include <string>

namespace velda {

// ZIP records store every number least significant byte first, whatever the machine.

inline uint16_t load_le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t load_le64(const unsigned char* p) {
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}

// The low width bytes of value at out.
inline void store_le(unsigned char* out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
}

inline void append_le(std::string* out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

}  // namespace velda
