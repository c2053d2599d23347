#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velda {

// The suffix array of text, the empty suffix included: text.size() + 1 start positions in the
// order of their suffixes, so the first is always text.size(). Text below 2 GiB.
[[nodiscard]] std::vector<int32_t> build_suffix_array(std::span<const uint8_t> text);

}  // namespace velda
