// The binary patch's applier over any bytes. It never asks the base for bytes it lacks, never
// writes past the size it was given, makes exactly that size when it says it applied, and reads
// the same however the patch is cut into reads.
#include <vector>

#include "common/little_endian.h"
#include "delta_memory.h"
#include "fuzz_targets.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "delta_patch";
constexpr uint64_t kLargestBase = 1 << 16;

// The base the corpus was made against: its size comes from the patch's header, its bytes from
// their positions (fuzz/README.md gives the rule).
std::vector<uint8_t> fuzz_delta_base(uint64_t size) {
    std::vector<uint8_t> base(static_cast<size_t>(size));
    for (size_t i = 0; i < base.size(); ++i) {
        base[i] = static_cast<uint8_t>((i % 251) ^ (i / 251 % 7));
    }
    return base;
}

}  // namespace

int fuzz_delta_patch(const uint8_t* data, size_t size) {
    std::vector<uint8_t> patch(data, data + size);
    uint64_t base_size = size >= 16 ? load_le64(data + 8) : 0;
    uint64_t result_size = size >= 24 ? load_le64(data + 16) : 0;
    std::vector<uint8_t> base = fuzz_delta_base(base_size <= kLargestBase ? base_size : 0);

    DeltaResult first = DeltaResult::Applied;
    std::vector<uint8_t> first_result;
    for (size_t piece : {size_t{1} << 20, size_t{3}}) {
        MemoryPatch input(patch, piece);
        MemoryBase base_file(base);
        MemoryOutput output;
        DeltaResult applied = apply_delta_patch(input, base_file, result_size, output);
        if (base_file.outside) {
            return fuzz_failure(kTarget, "the base was asked for bytes it does not have");
        }
        if (output.bytes.size() > result_size) {
            return fuzz_failure(kTarget, "more bytes were written than the new file's size");
        }
        if (applied == DeltaResult::Applied && output.bytes.size() != result_size) {
            return fuzz_failure(kTarget, "applied, but the new file has another size");
        }
        // What a failed application wrote is left unchecked: the caller deletes it.
        if (piece != size_t{1} << 20 && (applied != first || (applied == DeltaResult::Applied &&
                                                              output.bytes != first_result))) {
            return fuzz_failure(kTarget, "another result when the patch comes in other reads");
        }
        first = applied;
        first_result = std::move(output.bytes);
    }
    if (delta_result_text(first)[0] == '\0') {
        return fuzz_failure(kTarget, "a result without its reason");
    }
    return 0;
}
