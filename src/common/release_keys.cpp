#include "common/release_keys.h"

#include <cstring>

namespace velda {

namespace {

// Everything of a P-256 SubjectPublicKeyInfo before the point: SEQUENCE, AlgorithmIdentifier
// (id-ecPublicKey, prime256v1), BIT STRING of 66 bytes with no unused bits, the 0x04 tag.
constexpr uint8_t kP256SpkiPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04,
};
constexpr size_t kP256SpkiSize = sizeof(kP256SpkiPrefix) + kP256PointSize;

constexpr char kPemBegin[] = "-----BEGIN PUBLIC KEY-----";
constexpr char kPemEnd[] = "-----END PUBLIC KEY-----";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Decodes the base64 body, line breaks allowed between characters; at most out_capacity bytes.
bool decode_base64(const char* text, size_t size, uint8_t* out, size_t out_capacity,
                   size_t* out_size) {
    uint32_t bits = 0;
    int bit_count = 0;
    size_t written = 0;
    size_t padding = 0;
    size_t symbols = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            ++padding;
            ++symbols;
            continue;
        }
        int value = base64_value(c);
        if (value < 0 || padding > 0) {
            return false;  // a foreign byte, or data after the padding
        }
        ++symbols;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            if (written == out_capacity) {
                return false;
            }
            out[written++] = static_cast<uint8_t>(bits >> bit_count);
        }
    }
    // Whole groups of four, at most two '=', and no stray set bits left over.
    if (symbols % 4 != 0 || padding > 2 || (bits & ((1u << bit_count) - 1)) != 0) {
        return false;
    }
    *out_size = written;
    return true;
}

// Reads one DER INTEGER at cursor into a 32-byte big-endian field.
bool read_der_integer(const uint8_t** cursor, const uint8_t* end, uint8_t field[32]) {
    const uint8_t* p = *cursor;
    if (end - p < 2 || p[0] != 0x02) {
        return false;
    }
    size_t length = p[1];
    p += 2;
    // Short-form lengths only: a 33-byte integer never needs more, and long form for a
    // length under 128 is not DER.
    if (length == 0 || length > 33 || static_cast<size_t>(end - p) < length) {
        return false;
    }
    if ((p[0] & 0x80) != 0) {
        return false;  // negative
    }
    if (p[0] == 0x00) {
        // A leading zero only where the next byte would read as a sign bit.
        if (length == 1 || (p[1] & 0x80) == 0) {
            return false;
        }
        ++p;
        --length;
    }
    if (length > 32) {
        return false;
    }
    std::memset(field, 0, 32);
    std::memcpy(field + (32 - length), p, length);
    *cursor = p + length;
    return true;
}

}  // namespace

bool p256_point_from_pem(const char* pem, size_t pem_size, uint8_t point[kP256PointSize]) {
    const char* end = pem + pem_size;
    const char* begin = pem;
    // Blank lines or a trailing newline around the armour are fine; nothing else is.
    while (begin < end && (*begin == '\r' || *begin == '\n')) {
        ++begin;
    }
    while (end > begin && (end[-1] == '\r' || end[-1] == '\n')) {
        --end;
    }
    size_t begin_length = sizeof(kPemBegin) - 1;
    size_t end_length = sizeof(kPemEnd) - 1;
    if (static_cast<size_t>(end - begin) < begin_length + end_length ||
        std::memcmp(begin, kPemBegin, begin_length) != 0 ||
        std::memcmp(end - end_length, kPemEnd, end_length) != 0) {
        return false;
    }
    const char* body = begin + begin_length;
    const char* body_end = end - end_length;
    if (body == body_end || (*body != '\n' && *body != '\r') ||
        (body_end[-1] != '\n' && body_end[-1] != '\r')) {
        return false;
    }
    uint8_t der[kP256SpkiSize + 1];
    size_t der_size = 0;
    if (!decode_base64(body, static_cast<size_t>(body_end - body), der, sizeof(der), &der_size) ||
        der_size != kP256SpkiSize ||
        std::memcmp(der, kP256SpkiPrefix, sizeof(kP256SpkiPrefix)) != 0) {
        return false;
    }
    std::memcpy(point, der + sizeof(kP256SpkiPrefix), kP256PointSize);
    return true;
}

bool der_signature_to_p256_rs(const uint8_t* der, size_t der_size,
                              uint8_t signature[kP256SignatureSize]) {
    if (der_size < 2 || der[0] != 0x30) {
        return false;
    }
    // Two INTEGERs of at most 35 bytes each: the SEQUENCE's length always fits the short form.
    size_t length = der[1];
    if (length >= 0x80 || length != der_size - 2) {
        return false;
    }
    const uint8_t* cursor = der + 2;
    const uint8_t* end = der + der_size;
    uint8_t rs[kP256SignatureSize];
    if (!read_der_integer(&cursor, end, rs) || !read_der_integer(&cursor, end, rs + 32) ||
        cursor != end) {
        return false;
    }
    std::memcpy(signature, rs, sizeof(rs));
    return true;
}

}  // namespace velda
