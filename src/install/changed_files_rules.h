#pragma once

#include <cstddef>

#include "common/path_size.h"

namespace velda {

constexpr size_t kChangedFilesLineSize = 2048;
constexpr size_t kChangedFilesUrlSize = 4096;

enum class ChangedFileAction { Skip, Delete, Download, Refuse };

// Why a line is refused; the first that applies, in this order.
enum class ChangedFileRefusal {
    None,
    DeletionWithoutPath,  // a lone "-"
    LeadingSeparator,     // rooted: "/" or "\" first
    ParentReference,      // ".." anywhere
    Colon,                // drive letters and streams
};

struct ChangedFileEntry {
    ChangedFileAction action;
    // Points into the trimmed line: the entry's path text exactly as written.
    const char* path_text;
    ChangedFileRefusal refusal;  // None unless action is Refuse
};

// A few Spanish words for the support log: "ruta con \"..\"", ...
const char* changed_file_refusal_text(ChangedFileRefusal refusal);

// Trims the line in place and says what it asks for. Refuse covers a lone "-" and every path
// that contains "..", a colon, or begins with a separator.
ChangedFileEntry classify_changed_file_line(char* line);

// The refusal of a path text (never DeletionWithoutPath: an empty path passes).
ChangedFileRefusal changed_file_path_refusal(const char* path_text);
[[nodiscard]] bool changed_file_path_allowed(const char* path_text);

// At most 259 bytes of the path text with every "/" turned into a backslash.
void changed_file_relative_path(const char* path_text, char out[kPathSize]);

// Base URL, then "/" unless it already ends in one, then the path text as written.
void join_changed_file_url(const char* base_url, const char* path_text,
                           char out[kChangedFilesUrlSize]);

// Parent of a target path (cut at its last backslash, else its last "/"); false when there is
// nothing to create.
[[nodiscard]] bool changed_file_parent_path(const char* target_path, char out[kPathSize]);

}  // namespace velda
