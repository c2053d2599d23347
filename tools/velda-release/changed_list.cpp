#include "changed_list.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "common/install_paths.h"
#include "release_text.h"

namespace velda {

namespace {

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::string::npos) {
            return parts;
        }
        start = slash + 1;
    }
}

// The words for the launcher's reason to refuse a line, or null when it takes it.
const char* refusal_text(ChangedFileRefusal refusal) {
    switch (refusal) {
        case ChangedFileRefusal::None:
            return nullptr;
        case ChangedFileRefusal::DeletionWithoutPath:
            return "a deletion without a path";
        case ChangedFileRefusal::LeadingSeparator:
            return "the path begins with a separator";
        case ChangedFileRefusal::ParentReference:
            return "the path contains \"..\"";
        case ChangedFileRefusal::Colon:
            return "the path contains a colon";
    }
    return "refused";
}

// The line must come back from the launcher's reader as exactly this action and path.
bool line_reads_back(const std::string& line, ChangedFileAction action, const std::string& path,
                     std::string* why) {
    if (line.size() >= kChangedFilesLineSize) {
        *why = "is longer than the launcher's line of " +
               std::to_string(kChangedFilesLineSize - 1) + " bytes";
        return false;
    }
    char buffer[kChangedFilesLineSize] = {};
    std::memcpy(buffer, line.data(), line.size());
    ChangedFileEntry entry = classify_changed_file_line(buffer);
    if (entry.action == ChangedFileAction::Refuse) {
        *why =
            std::string("would be refused by the launcher (") + refusal_text(entry.refusal) + ")";
        return false;
    }
    if (entry.action != action || path != entry.path_text) {
        *why = action == ChangedFileAction::Download && !path.empty() && path[0] == '-'
                   ? "begins with \"-\", which the launcher reads as a deletion"
                   : "would be read back differently (leading or trailing blanks are trimmed)";
        return false;
    }
    if (path.size() > kPathSize - 1) {
        *why = "is longer than the launcher's " + std::to_string(kPathSize - 1) + "-byte path";
        return false;
    }
    return true;
}

bool plan_path_usable(const std::string& path, bool download, std::vector<std::string>* problems) {
    std::string line = download ? path : "-" + path;
    std::string why;
    if (!line_reads_back(line, download ? ChangedFileAction::Download : ChangedFileAction::Delete,
                         path, &why)) {
        problems->push_back("changed-files entry \"" + printable(line) + "\" " + why);
        return false;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            problems->push_back("changed-files entry \"" + printable(line) +
                                "\" holds non-ASCII bytes, which the launcher passes to Windows "
                                "in the ANSI code page, not as UTF-8");
            return false;
        }
    }
    if (download && path.find_first_of("#%") != std::string::npos) {
        problems->push_back("changed-files entry \"" + path +
                            "\" holds \"#\" or \"%\", which change its meaning in the URL the "
                            "launcher builds from it");
        return false;
    }
    return true;
}

bool is_top_level_exe(const std::string& path) {
    return path == kProductFileName;
}

}  // namespace

bool tree_paths_usable(const std::vector<TreeEntry>& tree, std::vector<std::string>* problems) {
    size_t before = problems->size();
    std::map<std::string, std::string> by_folded;
    for (const TreeEntry& entry : tree) {
        std::string why;
        for (const std::string& part : split_path(entry.path)) {
            if (!windows_name_usable(part, &why)) {
                problems->push_back("\"" + printable(entry.path) + "\" " + why);
                break;
            }
        }
        if (why.empty()) {
            if (const char* reason = refusal_text(changed_file_path_refusal(entry.path.c_str()))) {
                problems->push_back("\"" + printable(entry.path) +
                                    "\" would be refused in a changed-files list: " + reason);
            } else if (entry.path.size() > kPathSize - 1) {
                problems->push_back("\"" + printable(entry.path) + "\" is longer than " +
                                    std::to_string(kPathSize - 1) + " bytes");
            }
        }
        auto [it, inserted] = by_folded.emplace(ascii_lower(entry.path), entry.path);
        if (!inserted) {
            problems->push_back("\"" + printable(it->second) + "\" and \"" + printable(entry.path) +
                                "\" differ only in case; Windows keeps one of them");
        }
    }
    return problems->size() == before;
}

namespace {

using TreeIndex = std::map<std::string, bool>;  // path -> is a folder

TreeIndex index_tree(const std::vector<TreeEntry>& tree) {
    TreeIndex index;
    for (const TreeEntry& entry : tree) {
        index[entry.path] = entry.is_directory;
    }
    return index;
}

// The new tree's files to download, in path order; notes and problems of its folders.
std::vector<std::string> files_to_download(const TreeIndex& old_entries,
                                           const TreeIndex& new_entries,
                                           const SameContent& same_content, ChangedFilesPlan* plan,
                                           std::vector<std::string>* problems) {
    std::vector<std::string> downloads;
    for (const auto& [path, is_directory] : new_entries) {
        auto old = old_entries.find(path);
        if (is_directory) {
            bool has_children = false;
            auto next = new_entries.upper_bound(path + "/");
            has_children = next != new_entries.end() && next->first.rfind(path + "/", 0) == 0;
            if (!has_children && (old == old_entries.end() || !old->second)) {
                plan->notes.push_back("empty folder \"" + path +
                                      "\" comes only with the package; changed files make no "
                                      "folders of their own");
            }
            continue;
        }
        if (old != old_entries.end() && old->second) {
            problems->push_back("\"" + path +
                                "\" was a folder and is now a file; the launcher never removes "
                                "folders, so changed files cannot make this change");
            continue;
        }
        if (old == old_entries.end() || !same_content(path)) {
            downloads.push_back(path);
        }
    }
    return downloads;
}

// The old tree's files that the new one lacks, in path order; notes of its folders.
std::vector<std::string> files_to_delete(const TreeIndex& old_entries, const TreeIndex& new_entries,
                                         ChangedFilesPlan* plan) {
    std::vector<std::string> deletions;
    for (const auto& [path, is_directory] : old_entries) {
        auto now = new_entries.find(path);
        if (is_directory) {
            if (now == new_entries.end()) {
                plan->notes.push_back("folder \"" + path +
                                      "\" stays in place (emptied): the launcher removes files "
                                      "only");
            }
            continue;
        }
        if (now == new_entries.end() || now->second) {
            deletions.push_back(path);
        }
    }
    return deletions;
}

}  // namespace

bool diff_trees(const std::vector<TreeEntry>& old_tree, const std::vector<TreeEntry>& new_tree,
                const SameContent& same_content, ChangedFilesPlan* plan,
                std::vector<std::string>* problems) {
    size_t before = problems->size();
    TreeIndex old_entries = index_tree(old_tree);
    TreeIndex new_entries = index_tree(new_tree);
    std::vector<std::string> downloads =
        files_to_download(old_entries, new_entries, same_content, plan, problems);
    std::vector<std::string> deletions = files_to_delete(old_entries, new_entries, plan);
    // Velda.exe last; std::map already gave path order.
    std::stable_partition(downloads.begin(), downloads.end(),
                          [](const std::string& path) { return !is_top_level_exe(path); });

    for (const std::string& path : deletions) {
        plan_path_usable(path, false, problems);
    }
    for (const std::string& path : downloads) {
        plan_path_usable(path, true, problems);
    }
    plan->deletions = std::move(deletions);
    plan->downloads = std::move(downloads);
    return problems->size() == before;
}

std::string format_changed_files_list(const ChangedFilesPlan& plan) {
    std::string out;
    for (const std::string& path : plan.deletions) {
        out += "-" + path + "\n";
    }
    for (const std::string& path : plan.downloads) {
        out += path + "\n";
    }
    return out;
}

ListAnalysis analyze_changed_files_list(std::string_view text) {
    ListAnalysis analysis;
    size_t pos = 0;
    size_t line_number = 1;
    bool continuation = false;
    while (pos < text.size()) {
        // fgets: up to 2047 bytes, or through the line feed.
        size_t limit = std::min(text.size() - pos, kChangedFilesLineSize - 1);
        size_t newline = text.substr(pos, limit).find('\n');
        size_t length = newline == std::string_view::npos ? limit : newline + 1;
        std::string_view chunk = text.substr(pos, length);
        bool ends_line = newline != std::string_view::npos || pos + length == text.size();
        std::string where = "line " + std::to_string(line_number);
        if (continuation) {
            where += " (after its first 2047 bytes)";
        }
        if (!ends_line && !continuation) {
            analysis.traps.push_back(where +
                                     " is longer than 2047 bytes: the launcher reads the rest as "
                                     "a line of its own");
        }
        if (chunk.find('\0') != std::string_view::npos) {
            analysis.traps.push_back(where +
                                     " holds a NUL byte: the launcher reads the line "
                                     "only up to it");
        }
        char buffer[kChangedFilesLineSize] = {};
        std::memcpy(buffer, chunk.data(), chunk.size());
        ChangedFileEntry entry = classify_changed_file_line(buffer);
        if (entry.action == ChangedFileAction::Refuse) {
            analysis.traps.push_back(
                where + " \"" + printable(buffer) + "\" is refused by the launcher (" +
                refusal_text(entry.refusal) + "): the whole changed-files update fails there");
            ++analysis.refused_lines;
        } else if (entry.action != ChangedFileAction::Skip) {
            if (std::strlen(entry.path_text) > kPathSize - 1) {
                analysis.traps.push_back(where +
                                         " has a path longer than 259 bytes: the "
                                         "launcher cuts it");
            }
            analysis.entries.push_back({line_number, entry.action, entry.path_text});
        }
        pos += length;
        continuation = !ends_line;
        if (ends_line) {
            ++line_number;
        }
    }
    return analysis;
}

std::string format_file_digest_list(const std::vector<PathDigest>& digests) {
    std::string out;
    for (const PathDigest& digest : digests) {
        out += digest.sha256_hex + "  " + digest.path_text + "\n";
    }
    return out;
}

}  // namespace velda
