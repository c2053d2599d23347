#include "install/changed_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "install/changed_files_rules.h"
#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/stdio_file.h"
#include "common/text.h"
#include "common/wide.h"
#include "net/http.h"
#include "net/url_filename.h"

namespace {

constexpr int kWideListUrlUnits = 2048;
constexpr int kWideFileUrlUnits = 4096;

// Makes sure of every ancestor of target_path, from the outermost down to its own folder.
bool ensure_parent_directories(const char* target_path) {
    char parent[kPathSize];
    if (!changed_file_parent_path(target_path, parent)) {
        return true;
    }
    for (char* p = parent + 1; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            char separator = *p;
            *p = '\0';
            bool ok = ensure_directory(parent);
            *p = separator;
            if (!ok) {
                return false;
            }
        }
    }
    return ensure_directory(parent);
}

bool download_changed_file(const char* target_path, const char* base_url, const char* path_text) {
    if (!ensure_parent_directories(target_path)) {
        return false;
    }
    char file_url[kChangedFilesUrlSize];
    join_changed_file_url(base_url, path_text, file_url);
    wchar_t wide_file_url[kWideFileUrlUnits];
    utf8_to_wide(file_url, wide_file_url, kWideFileUrlUnits);
    TransferResult result =
        http_get_to_file_with_progress(wide_file_url, target_path, nullptr, nullptr);
    log_transfer_failure(file_url, result);
    return result.ok();
}

// True when every line applied; the list stays open only inside.
bool apply_list(FILE* list, const char* install_folder, const char* base_url) {
    char line[kChangedFilesLineSize];
    std::memset(line, 0, sizeof(line));
    while (std::fgets(line, sizeof(line), list) != nullptr) {
        ChangedFileEntry entry = classify_changed_file_line(line);
        if (entry.action == ChangedFileAction::Skip) {
            continue;
        }
        if (entry.action == ChangedFileAction::Refuse) {
            return false;
        }
        char relative_path[kPathSize];
        changed_file_relative_path(entry.path_text, relative_path);
        char target_path[kPathSize];
        // A path text cut to fit would join into another name; join_path refuses it then.
        if (!join_path(install_folder, relative_path, target_path)) {
            return false;
        }
        if (entry.action == ChangedFileAction::Delete) {
            // A file that is already gone, or a directory, is passed over.
            DeleteFileA(target_path);
            continue;
        }
        if (!download_changed_file(target_path, base_url, entry.path_text)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool apply_changed_files(const char* install_folder, const char* list_url, const char* base_url,
                         ProgressCallback callback, void* user_data) {
    log_line("Instalacion detectada, aplicando archivos modificados...");

    char list_name[kPathSize];
    std::memset(list_name, 0, sizeof(list_name));
    extract_filename_from_url(list_url, list_name);
    if (list_name[0] == '\0') {
        return false;
    }

    char list_path[kPathSize];
    if (!join_path(install_folder, list_name, list_path)) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
        return false;
    }
    wchar_t wide_list_url[kWideListUrlUnits];
    utf8_to_wide(list_url, wide_list_url, kWideListUrlUnits);

    bool applied = false;
    TransferResult list_result =
        http_get_to_file_with_progress(wide_list_url, list_path, callback, user_data);
    log_transfer_failure(list_url, list_result);
    if (list_result) {
        // Closed at the end of this block: an open file could not be deleted below.
        UniqueStdioFile list = open_file(list_path, "rb");
        if (list) {
            applied = apply_list(list.get(), install_folder, base_url);
        }
    }

    DeleteFileA(list_path);
    if (!applied) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
        return false;
    }
    log_line("Archivos modificados aplicados correctamente.");
    return true;
}
