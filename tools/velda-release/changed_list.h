#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "install/changed_files_rules.h"

namespace velda {

// One file or folder of a product tree: its path relative to the tree's root, "/" separated.
struct TreeEntry {
    std::string path;
    bool is_directory;
};

// What the changed-files list says: deletions first, so that a file that gives way to a folder
// of the same name is gone before the folder is made, then downloads in path order with the
// top-level Velda.exe last (a running product locks it; everything else is then already in
// place when the launcher falls back to the executable alone).
struct ChangedFilesPlan {
    std::vector<std::string> deletions;
    std::vector<std::string> downloads;
    // Things the list cannot carry but that do no harm, for the user to know.
    std::vector<std::string> notes;
};

// Whether the file at path holds the same bytes in both trees.
using SameContent = std::function<bool(const std::string& path)>;

// Paths a product may hold: names Windows can store, not refused by the launcher's list rules,
// within 259 bytes, and distinct when case is ignored.
[[nodiscard]] bool tree_paths_usable(const std::vector<TreeEntry>& tree,
                                     std::vector<std::string>* problems);

// The list that takes old_tree to new_tree. False, with problems, when the launcher could not
// do it faithfully (a folder that becomes a file, a path it would read differently).
[[nodiscard]] bool diff_trees(const std::vector<TreeEntry>& old_tree,
                              const std::vector<TreeEntry>& new_tree,
                              const SameContent& same_content, ChangedFilesPlan* plan,
                              std::vector<std::string>* problems);

// One entry per line, "-path" for a deletion, LF line ends.
std::string format_changed_files_list(const ChangedFilesPlan& plan);

// The list's files' SHA-256 values in sha256sum's format: "<64 hex>  <path text>\n" each, in
// the order given.
struct PathDigest {
    std::string path_text;
    std::string sha256_hex;
};
std::string format_file_digest_list(const std::vector<PathDigest>& digests);

// The list as the launcher reads it: fgets into 2048 bytes, trimmed, classified.
struct ListEntry {
    size_t line_number;
    ChangedFileAction action;
    std::string path_text;
};

struct ListAnalysis {
    std::vector<ListEntry> entries;  // deletions and downloads, in order
    std::vector<std::string> traps;  // each names its line
    size_t refused_lines = 0;
};

ListAnalysis analyze_changed_files_list(std::string_view text);

}  // namespace velda
