#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

namespace velda {

// Lists read from a file, one entry per path (Entry has `path` and `line`): read a line at a
// time, sorted once, then searched by path.

// The line that starts at *cursor, without its "\n" or "\r\n"; *cursor moves past it. False
// once *cursor has reached size.
[[nodiscard]] inline bool next_list_line(const char* text, size_t size, size_t* cursor,
                                         std::string_view* line) {
    if (*cursor >= size) {
        return false;
    }
    const char* newline =
        static_cast<const char*>(std::memchr(text + *cursor, '\n', size - *cursor));
    size_t end = newline != nullptr ? static_cast<size_t>(newline - text) : size;
    size_t next = newline != nullptr ? end + 1 : size;
    if (end > *cursor && text[end - 1] == '\r') {
        --end;
    }
    *line = std::string_view(text + *cursor, end - *cursor);
    *cursor = next;
    return true;
}

// Sorts the entries by path; returns the later line of a path given twice, else 0.
template <typename Entry>
[[nodiscard]] size_t sort_entries_by_path(std::vector<Entry>* entries) {
    std::stable_sort(entries->begin(), entries->end(),
                     [](const Entry& a, const Entry& b) { return a.path < b.path; });
    for (size_t i = 1; i < entries->size(); ++i) {
        if ((*entries)[i].path == (*entries)[i - 1].path) {
            return std::max((*entries)[i].line, (*entries)[i - 1].line);
        }
    }
    return 0;
}

// The entry for exactly this path in entries sorted by sort_entries_by_path, or null.
template <typename Entry>
[[nodiscard]] const Entry* find_entry_by_path(const std::vector<Entry>& entries,
                                              std::string_view path_text) {
    auto found = std::lower_bound(
        entries.begin(), entries.end(), path_text,
        [](const Entry& entry, std::string_view path) { return entry.path < path; });
    if (found == entries.end() || found->path != path_text) {
        return nullptr;
    }
    return &*found;
}

}  // namespace velda
