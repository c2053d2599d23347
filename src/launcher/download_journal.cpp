#include "launcher/download_journal.h"

#include <cstdio>
#include <cstring>

#include "common/stdio_file.h"
#include "common/text.h"

namespace {

constexpr size_t kPathSize = 260;

void journal_path(const char* install_folder, char out[kPathSize]) {
    format_bounded(out, kPathSize, "%s\\%s", install_folder, kDownloadJournalName);
}

// Only a plain file name directly in the install folder may be deleted.
bool is_plain_name(const char* name) {
    return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strpbrk(name, "\\/:") == nullptr;
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
    char path[kPathSize] = {};
    journal_path(install_folder, path);
    UniqueStdioFile journal = open_file(path, "rb");
    if (!journal) {
        return;
    }
    char name[kPathSize];
    while (std::fgets(name, sizeof(name), journal.get()) != nullptr) {
        trim_in_place(name);
        if (!is_plain_name(name) ||
            std::strlen(install_folder) + 1 + std::strlen(name) >= kPathSize) {
            continue;
        }
        char target[kPathSize] = {};
        format_bounded(target, sizeof(target), "%s\\%s", install_folder, name);
        delete_file(target);
    }
    journal.close();  // An open journal could not be deleted.
    delete_file(path);
}
