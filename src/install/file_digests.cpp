#include "install/file_digests.h"

#include <cstring>

#include "install/path_entries.h"

namespace velda {

bool FileDigestList::refuse(size_t line, const char* why) {
    entries_.clear();
    error_line_ = line;
    error_ = why;
    return false;
}

bool FileDigestList::parse(const char* text, size_t size) {
    entries_.clear();
    error_line_ = 0;
    error_ = "";
    if (std::memchr(text, '\0', size) != nullptr) {
        return refuse(0, "holds a NUL byte");
    }
    size_t cursor = 0;
    // The list reader skips a UTF-8 byte order mark; an editor that adds one here does no harm.
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        cursor = 3;
    }
    size_t line_number = 0;
    std::string_view line;
    while (next_list_line(text, size, &cursor, &line)) {
        ++line_number;

        if (!line.empty() && line[0] == '\\') {
            // sha256sum escapes names holding a backslash or a line break; no list path is one.
            return refuse(line_number, "an escaped name (starting with a backslash)");
        }
        constexpr size_t kDigits = 2 * kSha256Size;
        if (line.size() < kDigits + 3) {
            return refuse(line_number, "not a digest, two separator characters and a path");
        }
        Entry entry{};
        char digits[kDigits + 1];
        std::memcpy(digits, line.data(), kDigits);
        digits[kDigits] = '\0';
        if (!hex_to_bytes(digits, entry.digest, kSha256Size)) {
            return refuse(line_number, "does not start with 64 hex digits");
        }
        if (line[kDigits] != ' ' || (line[kDigits + 1] != ' ' && line[kDigits + 1] != '*')) {
            return refuse(line_number, "the digest is not followed by two blanks or \" *\"");
        }
        entry.path = line.substr(kDigits + 2);
        entry.line = line_number;
        entries_.push_back(entry);
    }
    // Which of two digests is meant cannot be told.
    if (size_t twice = sort_entries_by_path(&entries_)) {
        return refuse(twice, "a path is given twice");
    }
    return true;
}

const uint8_t* FileDigestList::find(std::string_view path_text) const {
    const Entry* found = find_entry_by_path(entries_, path_text);
    return found != nullptr ? found->digest : nullptr;
}

}  // namespace velda
