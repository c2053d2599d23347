#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velda {

// A patch that turns base into result, for apply_delta_patch (delta/delta_patch.h). Matches are
// found with a suffix array of the base, so a base takes about five times its size in memory.
[[nodiscard]] std::vector<uint8_t> make_delta_patch(std::span<const uint8_t> base,
                                                    std::span<const uint8_t> result);

}  // namespace velda
