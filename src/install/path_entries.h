#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace velda {

// Lists read from a file, one entry per path (Entry has `path` and `line`): sorted once, then
// searched by path.

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
