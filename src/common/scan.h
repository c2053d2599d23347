#pragma once

#include <cstdint>

namespace velda {

// The blanks that scanf skips before a number (isspace in the C locale).
[[nodiscard]] bool is_scanf_space(char c);

// Reads a number as scanf's %d and %lu do: blanks, an optional sign, at least one digit.
// The magnitude stops growing past limit (then it is limit + 1), so callers see the overflow.
[[nodiscard]] bool scan_decimal(const char** cursor, uint64_t limit, bool* negative,
                                uint64_t* magnitude);

}  // namespace velda
