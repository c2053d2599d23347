#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velda {

// A changed file that a change set also offers as a binary patch from its earlier version.
struct PatchRecord {
    std::string path;  // as the changed-files list writes it
    std::string patch_sha256;
    uint64_t patch_size = 0;
    std::string base_sha256;
    std::string result_sha256;
    uint64_t result_size = 0;
};

// A patch is kept only when it costs under 60% of the file it makes: a smaller saving is not
// worth the launcher's extra reads and the fallback's risk of paying twice.
[[nodiscard]] bool patch_worth_sending(uint64_t patch_size, uint64_t result_size);

// The patch index as the launcher reads it (install/patch_index.h), one line per record in the
// order given, LF line ends.
std::string format_patch_index(const std::vector<PatchRecord>& records);

// Applies patch to base in memory; false, with *why, when it does not make exactly result_size
// bytes.
[[nodiscard]] bool apply_patch_in_memory(std::span<const uint8_t> patch,
                                         std::span<const uint8_t> base, uint64_t result_size,
                                         std::string* result, std::string* why);

}  // namespace velda
