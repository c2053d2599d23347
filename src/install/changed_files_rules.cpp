#include "install/changed_files_rules.h"

#include <cstring>

#include "common/text.h"

namespace velda {

const char* changed_file_refusal_text(ChangedFileRefusal refusal) {
    switch (refusal) {
        case ChangedFileRefusal::None:
            return "sin rechazo";
        case ChangedFileRefusal::DeletionWithoutPath:
            return "borrado sin ruta";
        case ChangedFileRefusal::LeadingSeparator:
            return "ruta que empieza por separador";
        case ChangedFileRefusal::ParentReference:
            return "ruta con \"..\"";
        case ChangedFileRefusal::Colon:
            return "ruta con dos puntos";
    }
    return "rechazo desconocido";
}

ChangedFileEntry classify_changed_file_line(char* line) {
    trim_in_place(line);
    if (line[0] == '\0') {
        return {ChangedFileAction::Skip, line, ChangedFileRefusal::None};
    }
    ChangedFileEntry entry{ChangedFileAction::Download, line, ChangedFileRefusal::None};
    if (line[0] == '-') {
        const char* path = line + 1;
        while (*path == ' ' || *path == '\t') {
            ++path;
        }
        if (*path == '\0') {
            return {ChangedFileAction::Refuse, path, ChangedFileRefusal::DeletionWithoutPath};
        }
        entry = {ChangedFileAction::Delete, path, ChangedFileRefusal::None};
    }
    entry.refusal = changed_file_path_refusal(entry.path_text);
    if (entry.refusal != ChangedFileRefusal::None) {
        entry.action = ChangedFileAction::Refuse;
    }
    return entry;
}

ChangedFileRefusal changed_file_path_refusal(const char* path_text) {
    if (path_text[0] == '/' || path_text[0] == '\\') {
        return ChangedFileRefusal::LeadingSeparator;
    }
    if (std::strstr(path_text, "..") != nullptr) {
        return ChangedFileRefusal::ParentReference;
    }
    if (std::strchr(path_text, ':') != nullptr) {
        return ChangedFileRefusal::Colon;
    }
    return ChangedFileRefusal::None;
}

bool changed_file_path_allowed(const char* path_text) {
    return changed_file_path_refusal(path_text) == ChangedFileRefusal::None;
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

}  // namespace velda
