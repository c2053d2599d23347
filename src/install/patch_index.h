#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace velda {

// A change set's patch index: for each changed file that has a binary patch, one line
//   <patch sha256> <patch size> <base sha256> <new sha256> <new size> <path as the list writes it>
// single blanks between the fields, the path last so that it may hold blanks; LF or CR LF ends.
// The patch for a path lies at <patch base URL>/<path>.vpatch.
struct PatchEntry {
    std::string_view path;
    size_t line = 0;
    uint8_t patch_sha256[kSha256Size] = {};
    uint64_t patch_size = 0;
    uint8_t base_sha256[kSha256Size] = {};  // the installed file the patch applies to
    uint8_t result_sha256[kSha256Size] = {};
    uint64_t result_size = 0;
};

inline constexpr const char* kPatchFileSuffix = ".vpatch";
// The largest size a line may give: JSON numbers are exact that far, and so are the manifest's.
inline constexpr uint64_t kPatchIndexMaxSize = uint64_t{1} << 53;

class PatchIndex {
  public:
    // Reads the whole text; false, with the line and the reason, for the first line that is not
    // one entry, and for a path given twice. The text must outlive the index.
    [[nodiscard]] bool parse(const char* text, size_t size);

    // The entry for the list's path text, or null when that file has no patch.
    const PatchEntry* find(std::string_view path_text) const;

    size_t size() const { return entries_.size(); }
    const std::vector<PatchEntry>& entries() const { return entries_; }
    size_t error_line() const { return error_line_; }
    const char* error() const { return error_; }

  private:
    [[nodiscard]] bool refuse(size_t line, const char* why);

    std::vector<PatchEntry> entries_;  // sorted by path once read
    size_t error_line_ = 0;
    const char* error_ = "";
};

}  // namespace velda
