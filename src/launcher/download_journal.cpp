#include "launcher/download_journal.h"

#include <cstdio>
#include <cstring>

#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/stdio_file.h"
#include "common/text.h"

namespace {

// Never a plain name, so no sweep takes it for a file.
constexpr char kPackageInstallationMark[] = ":package-installation";

// Empty when it would not fit, and an empty path opens nothing.
void journal_path(const char* install_folder, char out[kPathSize]) {
    join_path(install_folder, kDownloadJournalName, out);
}

// Only a plain file name directly in the install folder may be deleted.
bool is_plain_name(const char* name) {
    return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strpbrk(name, "\\/:") == nullptr;
}

// Deletes the files the journal names; true when it holds the package installation mark. The
// journal itself is deleted when keep_marked is false or there is no mark; a marked journal is
// kept whole rather than rewritten, so that no moment exists in which the mark is gone.
bool sweep(const char* install_folder, bool (*delete_file)(const char* path), bool keep_marked) {
    char path[kPathSize] = {};
    journal_path(install_folder, path);
    UniqueStdioFile journal = open_file(path, "rb");
    if (!journal) {
        return false;
    }
    bool marked = false;
    char name[kPathSize];
    while (std::fgets(name, sizeof(name), journal.get()) != nullptr) {
        trim_in_place(name);
        if (std::strcmp(name, kPackageInstallationMark) == 0) {
            marked = true;
            continue;
        }
        if (!is_plain_name(name) ||
            std::strlen(install_folder) + 1 + std::strlen(name) >= kPathSize) {
            continue;
        }
        char target[kPathSize] = {};
        format_bounded(target, sizeof(target), "%s\\%s", install_folder, name);
        delete_file(target);
    }
    journal.close();  // An open journal could not be deleted.
    if (!(marked && keep_marked)) {
        delete_file(path);
    }
    return marked;
}

bool delete_nothing(const char*) {
    return true;
}

}  // namespace

bool journal_note(const char* install_folder, const char* file_name) {
    char path[kPathSize] = {};
    journal_path(install_folder, path);
    UniqueStdioFile journal = open_file(path, "ab");
    if (!journal) {
        return false;
    }
    bool written = std::fprintf(journal.get(), "%s\n", file_name) > 0;
    return journal.close() && written;
}

void journal_sweep(const char* install_folder, bool (*delete_file)(const char* path)) {
    sweep(install_folder, delete_file, true);
}

bool journal_mark_package_installation(const char* install_folder) {
    return journal_note(install_folder, kPackageInstallationMark);
}

bool journal_package_installation_pending(const char* install_folder) {
    return sweep(install_folder, delete_nothing, true);
}

void journal_finish_installation(const char* install_folder,
                                 bool (*delete_file)(const char* path)) {
    sweep(install_folder, delete_file, false);
}
