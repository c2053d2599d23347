#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "common/little_endian.h"
#include "delta/delta_patch.h"

// The applier's three ends over memory, and patches written by hand, for the tests and the fuzz
// target.

// A patch header (delta/delta_format.h) of the given sizes.
inline std::vector<uint8_t> delta_header(uint64_t base_size, uint64_t result_size,
                                         uint8_t format = 1) {
    std::vector<uint8_t> out = {'V', 'D', 'L', 'P', format, 1, 0, 0};
    out.resize(24);
    velda::store_le(out.data() + 8, base_size, 8);
    velda::store_le(out.data() + 16, result_size, 8);
    return out;
}

// The zlib stream of the given instruction bytes; empty if zlib fails.
inline std::vector<uint8_t> delta_deflated(const std::vector<uint8_t>& instructions) {
    uLongf size = compressBound(static_cast<uLong>(instructions.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, instructions.data(), static_cast<uLong>(instructions.size()),
                  9) != Z_OK) {
        return {};
    }
    out.resize(size);
    return out;
}

inline std::vector<uint8_t> delta_crafted(uint64_t base_size, uint64_t result_size,
                                          const std::vector<uint8_t>& instructions) {
    std::vector<uint8_t> out = delta_header(base_size, result_size);
    std::vector<uint8_t> stream = delta_deflated(instructions);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

// Hands out the patch in pieces of at most piece bytes, as a file or a socket would.
class MemoryPatch final : public velda::DeltaPatchInput {
  public:
    MemoryPatch(const std::vector<uint8_t>& bytes, size_t piece) : bytes_(bytes), piece_(piece) {}
    bool read(uint8_t* buffer, size_t capacity, size_t* got) override {
        *got = std::min({capacity, piece_, bytes_.size() - next_});
        if (*got > 0) {
            std::memcpy(buffer, bytes_.data() + next_, *got);
        }
        next_ += *got;
        return true;
    }

  private:
    const std::vector<uint8_t>& bytes_;
    size_t piece_;
    size_t next_ = 0;
};

class MemoryBase final : public velda::DeltaBase {
  public:
    explicit MemoryBase(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read_at(uint64_t offset, uint8_t* buffer, size_t size) override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) {
            outside = true;
            return false;
        }
        if (size > 0) {
            std::memcpy(buffer, bytes_.data() + offset, size);
        }
        return true;
    }
    bool outside = false;  // asked for bytes the base lacks: the applier's checks failed

  private:
    const std::vector<uint8_t>& bytes_;
};

class MemoryOutput final : public velda::DeltaOutput {
  public:
    bool write(const uint8_t* data, size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    std::vector<uint8_t> bytes;
};

inline velda::DeltaResult apply_in_memory(const std::vector<uint8_t>& patch,
                                          const std::vector<uint8_t>& base, uint64_t result_size,
                                          std::vector<uint8_t>* result, size_t piece = 1 << 20) {
    MemoryPatch input(patch, piece);
    MemoryBase base_file(base);
    MemoryOutput output;
    velda::DeltaResult applied = velda::apply_delta_patch(input, base_file, result_size, output);
    *result = std::move(output.bytes);
    return applied;
}
