#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "delta_memory.h"

using namespace velda;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes cut(Bytes bytes, size_t drop) {
    bytes.resize(bytes.size() - drop);
    return bytes;
}

Bytes with(Bytes bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

const Bytes kBase = bytes_of("0123456789abcdef");
// add 5 at 0 (+1 on the first two, the third kept, +1 on the last two), insert "xy", seek +5;
// then add 3 at 10, all kept.
const Bytes kInstructions = {5, 2, 10, 0, 1, 0, 1, 1, 1, 0, 1, 'x', 'y', 3, 0, 0, 3};
const Bytes kResult = bytes_of("12245xyabc");

TEST(DeltaPatch, AddsInsertsAndSeeksInTheBase) {
    for (size_t piece : {size_t{1}, size_t{5}, size_t{1} << 20}) {
        Bytes result;
        EXPECT_EQ(apply_in_memory(delta_crafted(16, 10, kInstructions), kBase, 10, &result, piece),
                  DeltaResult::Applied);
        EXPECT_EQ(result, kResult);
    }
}

struct FailureCase {
    const char* name;
    Bytes patch;
    uint64_t base_size;
    uint64_t result_size;
    DeltaResult expected;
};

TEST(DeltaPatch, RefusesEachKindOfBadPatch) {
    Bytes good = delta_crafted(16, 10, kInstructions);
    Bytes eleven_byte_varint = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0};
    Bytes flipped = good;
    flipped.back() ^= 0x01;  // the stream's checksum
    const FailureCase cases[] = {
        {"empty", {}, 16, 8, DeltaResult::NotAPatch},
        {"another file", bytes_of("PK\x03\x04 not a patch at all"), 16, 8, DeltaResult::NotAPatch},
        {"another format", with(delta_header(16, 8, 2), delta_deflated({})), 16, 8,
         DeltaResult::NotAPatch},
        {"cut magic", bytes_of("VDL"), 16, 8, DeltaResult::Truncated},
        {"cut header", cut(delta_header(16, 8), 3), 16, 8, DeltaResult::Truncated},
        {"header only", delta_header(16, 8), 16, 8, DeltaResult::Truncated},
        {"cut stream", cut(good, 3), 16, 10, DeltaResult::Truncated},
        {"other base", good, 17, 10, DeltaResult::WrongBaseSize},
        {"other result", good, 16, 11, DeltaResult::WrongResultSize},
        {"stops short", delta_crafted(16, 8, {4, 0, 0, 4}), 16, 8, DeltaResult::WrongResultSize},
        {"not zlib", with(delta_header(16, 8), bytes_of("garbage!")), 16, 8, DeltaResult::Corrupt},
        {"bad checksum", flipped, 16, 10, DeltaResult::Corrupt},
        {"cut instruction", delta_crafted(16, 8, {4, 2}), 16, 8, DeltaResult::Corrupt},
        {"cut inserted bytes", delta_crafted(16, 8, {0, 8, 0, 'a'}), 16, 8, DeltaResult::Corrupt},
        {"run past the add", delta_crafted(16, 4, {4, 0, 0, 5}), 16, 4, DeltaResult::Corrupt},
        {"cut difference", delta_crafted(16, 4, {4, 0, 0, 1}), 16, 4, DeltaResult::Corrupt},
        {"long varint", delta_crafted(16, 8, eleven_byte_varint), 16, 8, DeltaResult::Corrupt},
        {"instruction after the end", delta_crafted(16, 10, with(kInstructions, {0, 0, 0})), 16, 10,
         DeltaResult::Corrupt},
        {"bytes after the stream", with(good, {0}), 16, 10, DeltaResult::Corrupt},
        {"add past the base", delta_crafted(16, 20, {17, 0, 0}), 16, 20,
         DeltaResult::OffsetPastBase},
        {"seek before the base", delta_crafted(16, 4, {0, 4, 3, 'a', 'b', 'c', 'd'}), 16, 4,
         DeltaResult::OffsetPastBase},
        {"seek past the base", delta_crafted(16, 4, {2, 2, 30, 2, 'c', 'd'}), 16, 4,
         DeltaResult::OffsetPastBase},
        {"huge seek",
         delta_crafted(16, 4,
                       with({0, 4}, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,
                                     'a', 'b', 'c', 'd'})),
         16, 4, DeltaResult::OffsetPastBase},
        {"insert past the result", delta_crafted(16, 4, {0, 5, 0, 1, 2, 3, 4, 5}), 16, 4,
         DeltaResult::LengthPastResult},
        {"add past the result", delta_crafted(16, 4, {5, 0, 0, 0, 0, 0, 0, 0}), 16, 4,
         DeltaResult::LengthPastResult},
        {"lengths that wrap",
         delta_crafted(16, 4,
                       with({2}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0})),
         16, 4, DeltaResult::LengthPastResult},
    };
    for (const FailureCase& c : cases) {
        Bytes base(kBase.begin(), kBase.end());
        base.resize(c.base_size, 'z');
        MemoryPatch input(c.patch, 1 << 20);
        MemoryBase base_file(base);
        MemoryOutput output;
        EXPECT_EQ(apply_delta_patch(input, base_file, c.result_size, output), c.expected) << c.name;
        EXPECT_FALSE(base_file.outside) << c.name;
        EXPECT_LE(output.bytes.size(), c.result_size) << c.name;
    }
}

// Each end that fails is named as the reason.
class FailingPatch final : public DeltaPatchInput {
  public:
    bool read(uint8_t*, size_t, size_t*) override { return false; }
};
class FailingBase final : public DeltaBase {
  public:
    uint64_t size() const override { return 16; }
    bool read_at(uint64_t, uint8_t*, size_t) override { return false; }
};
class FailingOutput final : public DeltaOutput {
  public:
    bool write(const uint8_t*, size_t) override { return false; }
};

TEST(DeltaPatch, NamesTheEndThatFailed) {
    Bytes good = delta_crafted(16, 10, kInstructions);
    MemoryBase base(kBase);
    MemoryOutput output;
    FailingPatch failing_patch;
    EXPECT_EQ(apply_delta_patch(failing_patch, base, 10, output), DeltaResult::PatchReadFailed);
    MemoryPatch input(good, 1 << 20);
    FailingBase failing_base;
    EXPECT_EQ(apply_delta_patch(input, failing_base, 10, output), DeltaResult::BaseReadFailed);
    MemoryPatch again(good, 1 << 20);
    FailingOutput failing_output;
    EXPECT_EQ(apply_delta_patch(again, base, 10, failing_output), DeltaResult::OutputFailed);
}

}  // namespace
