#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// The patch file: a fixed header, then one zlib stream of instructions up to the end.
//
//   header    "VDLP", format 1, method 1 (zlib), two zero bytes, base size and new size as
//             64-bit little-endian numbers: 24 bytes.
//   instruction, repeated until the new file is whole:
//     add length, insert length, seek (varints);
//     the add: add-length bytes of the base from the base position, each one plus (mod 256) its
//       difference. Stored as a run of unchanged bytes (varint), one difference byte, another
//       run, another byte, ..., ending where the add length is reached (after a run or a byte);
//     the insert: insert-length bytes taken as they are.
//     The base position starts at 0, moves past the added bytes, then by the seek, and never
//     leaves 0..base size. The seek is stored as magnitude * 2 + 1 when it goes back.
//
// Approximate matches leave a recompiled program's moved addresses as few, scattered
// differences; as runs and bytes they deflate to about 4/5 of the zeros and bytes themselves.

inline constexpr uint8_t kDeltaMagic[4] = {'V', 'D', 'L', 'P'};
inline constexpr uint8_t kDeltaFormat = 1;
inline constexpr uint8_t kDeltaMethodZlib = 1;
inline constexpr size_t kDeltaHeaderSize = 24;
// A 64-bit number takes at most ten 7-bit groups.
inline constexpr size_t kDeltaVarintMaxBytes = 10;

// value as a varint into out (room for kDeltaVarintMaxBytes); returns the bytes written.
inline size_t encode_delta_varint(uint64_t value, uint8_t* out) {
    size_t length = 0;
    while (value >= 0x80) {
        out[length++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[length++] = static_cast<uint8_t>(value);
    return length;
}

inline uint64_t encode_delta_seek(int64_t seek) {
    if (seek < 0) {
        return (static_cast<uint64_t>(-(seek + 1)) + 1) << 1 | 1;
    }
    return static_cast<uint64_t>(seek) << 1;
}

}  // namespace velda
