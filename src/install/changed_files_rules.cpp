#include "install/changed_files_rules.h"

#include <cstring>

#include "common/text.h"

ChangedFileEntry classify_changed_file_line(char* line) {
    trim_in_place(line);
    if (line[0] == '\0') {
        return {ChangedFileAction::Skip, line};
    }
    ChangedFileEntry entry{ChangedFileAction::Download, line};
    if (line[0] == '-') {
        const char* path = line + 1;
        while (*path == ' ' || *path == '\t') {
            ++path;
        }
        if (*path == '\0') {
            return {ChangedFileAction::Refuse, path};
        }
        entry = {ChangedFileAction::Delete, path};
    }
    if (!changed_file_path_allowed(entry.path_text)) {
        entry.action = ChangedFileAction::Refuse;
    }
    return entry;
}

bool changed_file_path_allowed(const char* path_text) {
    if (path_text[0] == '/' || path_text[0] == '\\') {
        return false;
    }
    return std::strstr(path_text, "..") == nullptr && std::strchr(path_text, ':') == nullptr;
}

void changed_file_relative_path(const char* path_text, char out[kPathSize]) {
    std::memset(out, 0, kPathSize);
    copy_bounded(out, kPathSize, path_text);
    for (char* p = out; *p != '\0'; ++p) {
        if (*p == '/') {
            *p = '\\';
        }
    }
}

void join_changed_file_url(const char* base_url, const char* path_text,
                           char out[kChangedFilesUrlSize]) {
    std::memset(out, 0, kChangedFilesUrlSize);
    size_t base_length = std::strlen(base_url);
    const char* separator = (base_length > 0 && base_url[base_length - 1] == '/') ? "" : "/";
    format_bounded(out, kChangedFilesUrlSize, "%s%s%s", base_url, separator, path_text);
}

bool changed_file_parent_path(const char* target_path, char out[kPathSize]) {
    std::memset(out, 0, kPathSize);
    copy_bounded(out, kPathSize, target_path);
    char* cut = std::strrchr(out, '\\');
    if (cut == nullptr) {
        cut = std::strrchr(out, '/');
    }
    if (cut == nullptr) {
        return false;
    }
    *cut = '\0';
    return out[0] != '\0';
}
