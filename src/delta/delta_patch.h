#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// A binary patch turns one exact base file into one exact new file. Applying it holds only fixed
// buffers: the base is read where the patch points, and the new file is written as it is
// produced, so memory stays the same for any file size.

// Where the patch's bytes come from, in order.
class DeltaPatchInput {
  public:
    virtual ~DeltaPatchInput() = default;
    // Up to capacity bytes into buffer; *got is 0 only at the end. False when reading failed.
    [[nodiscard]] virtual bool read(uint8_t* buffer, size_t capacity, size_t* got) = 0;
};

// The base file, read at any offset.
class DeltaBase {
  public:
    virtual ~DeltaBase() = default;
    [[nodiscard]] virtual uint64_t size() const = 0;
    // Exactly size bytes at offset (offset + size never passes size(): the applier checks).
    [[nodiscard]] virtual bool read_at(uint64_t offset, uint8_t* buffer, size_t size) = 0;
};

// Where the new file goes, in order.
class DeltaOutput {
  public:
    virtual ~DeltaOutput() = default;
    [[nodiscard]] virtual bool write(const uint8_t* data, size_t size) = 0;
};

enum class DeltaResult {
    Applied,
    NotAPatch,         // no patch header
    Truncated,         // the patch ends before its last instruction
    Corrupt,           // a compressed stream or an instruction that does not decode
    OffsetPastBase,    // an instruction reads outside the base
    LengthPastResult,  // an instruction writes past the new file's size
    WrongResultSize,   // the patch makes another size than the one expected, or stops short
    BaseReadFailed,
    OutputFailed,
    PatchReadFailed,
    WrongBaseSize,  // the base is not the size of the file the patch was made from
};

// A short English reason for the support log ("truncated patch", ...).
[[nodiscard]] const char* delta_result_text(DeltaResult result);

// Applies the patch to base, writing exactly result_size bytes to out, or fails without writing
// past result_size. The caller still compares the result's SHA-256 with the one it expects.
[[nodiscard]] DeltaResult apply_delta_patch(DeltaPatchInput& patch, DeltaBase& base,
                                            uint64_t result_size, DeltaOutput& out);

}  // namespace velda
