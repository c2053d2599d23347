#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace velda {

// The SHA-256 of each file a changed-files list downloads, read from a file in sha256sum's
// format: 64 hex digits, two blanks (or a blank and '*'), the path exactly as the list writes
// it; LF or CR LF line ends.
class FileDigestList {
  public:
    // Reads the whole text; false, with the line and the reason, for the first line that is
    // not one digest line, and for a path given twice. The text must outlive the list.
    [[nodiscard]] bool parse(const char* text, size_t size);

    // The digest given for the list's path text, or null when there is none.
    const uint8_t* find(std::string_view path_text) const;

    size_t size() const { return entries_.size(); }
    size_t error_line() const { return error_line_; }
    const char* error() const { return error_; }

  private:
    struct Entry {
        std::string_view path;
        size_t line;
        uint8_t digest[kSha256Size];
    };

    [[nodiscard]] bool refuse(size_t line, const char* why);

    std::vector<Entry> entries_;  // sorted by path once read
    size_t error_line_ = 0;
    const char* error_ = "";
};

}  // namespace velda
