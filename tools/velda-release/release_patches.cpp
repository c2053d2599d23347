#include "release_patches.h"

#include <algorithm>
#include <cstring>

#include "delta/delta_patch.h"

namespace velda {

namespace {

class SpanPatch : public DeltaPatchInput {
  public:
    explicit SpanPatch(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool read(uint8_t* buffer, size_t capacity, size_t* got) override {
        *got = std::min(capacity, bytes_.size() - at_);
        std::memcpy(buffer, bytes_.data() + at_, *got);
        at_ += *got;
        return true;
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

class SpanBase : public DeltaBase {
  public:
    explicit SpanBase(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read_at(uint64_t offset, uint8_t* buffer, size_t size) override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) {
            return false;
        }
        std::memcpy(buffer, bytes_.data() + offset, size);
        return true;
    }

  private:
    std::span<const uint8_t> bytes_;
};

class StringOutput : public DeltaOutput {
  public:
    explicit StringOutput(std::string* out) : out_(out) {}
    bool write(const uint8_t* data, size_t size) override {
        out_->append(reinterpret_cast<const char*>(data), size);
        return true;
    }

  private:
    std::string* out_;
};

}  // namespace

bool patch_worth_sending(uint64_t patch_size, uint64_t result_size) {
    return patch_size > 0 && patch_size * 10 < result_size * 6;
}

std::string format_patch_index(const std::vector<PatchRecord>& records) {
    std::string out;
    for (const PatchRecord& record : records) {
        out += record.patch_sha256 + " " + std::to_string(record.patch_size) + " " +
               record.base_sha256 + " " + record.result_sha256 + " " +
               std::to_string(record.result_size) + " " + record.path + "\n";
    }
    return out;
}

bool apply_patch_in_memory(std::span<const uint8_t> patch, std::span<const uint8_t> base,
                           uint64_t result_size, std::string* result, std::string* why) {
    result->clear();
    SpanPatch input(patch);
    SpanBase from(base);
    StringOutput out(result);
    DeltaResult applied = apply_delta_patch(input, from, result_size, out);
    if (applied != DeltaResult::Applied) {
        *why = delta_result_text(applied);
        return false;
    }
    if (result->size() != result_size) {
        *why = "the patch makes " + std::to_string(result->size()) + " bytes, not " +
               std::to_string(result_size);
        return false;
    }
    return true;
}

}  // namespace velda
