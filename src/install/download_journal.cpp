#include "install/download_journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/stdio_file.h"
#include "common/text.h"

namespace velda {

namespace {

// Only a plain file name directly in the install folder may be deleted.
bool is_plain_name_text(const char* name) {
    return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strpbrk(name, "\\/:") == nullptr;
}

// Never a plain name, so no sweep takes it for a file.
constexpr char kPackageInstallationMark[] = ":package-installation";
// ":partial<TAB>total<TAB>file name<TAB>validator<TAB>url"; also never a plain name.
constexpr char kPartialTag[] = ":partial\t";
constexpr size_t kLineSize = kPathSize + kManifestUrlSize + kValidatorSize + 64;

// One whole line into line, its end cut off; a line too long for it is passed over whole, so
// that no piece of it is ever read as a name of its own.
bool read_line(std::FILE* file, char (&line)[kLineSize]) {
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t length = std::strlen(line);
        bool whole = (length > 0 && line[length - 1] == '\n') || std::feof(file);
        if (whole) {
            return true;
        }
        int c;
        do {
            c = std::fgetc(file);
        } while (c != '\n' && c != EOF);
    }
    return false;
}

// Printable ASCII, no tab: safe between the record's tabs and on one line.
bool recordable(const char* text) {
    return text[0] != '\0' && is_printable_ascii_text(text);
}

// The next tab-ended field of a record at *cursor, copied to out; false when it does not fit.
bool take_field(char** cursor, char* out, size_t size, bool last) {
    char* start = *cursor;
    char* end = last ? start + std::strlen(start) : std::strchr(start, '\t');
    if (end == nullptr || static_cast<size_t>(end - start) >= size) {
        return false;
    }
    std::memcpy(out, start, static_cast<size_t>(end - start));
    out[end - start] = '\0';
    *cursor = last ? end : end + 1;
    return true;
}

bool parse_partial(char* line, JournalPartial* record) {
    if (std::strncmp(line, kPartialTag, sizeof kPartialTag - 1) != 0) {
        return false;
    }
    char* cursor = line + sizeof kPartialTag - 1;
    char total[24] = {};
    JournalPartial parsed = {};
    if (!take_field(&cursor, total, sizeof total, false) ||
        !take_field(&cursor, parsed.file_name, sizeof parsed.file_name, false) ||
        !take_field(&cursor, parsed.partial.validator, sizeof parsed.partial.validator, false) ||
        !take_field(&cursor, parsed.url, sizeof parsed.url, true)) {
        return false;
    }
    char* total_end = nullptr;
    parsed.partial.total = std::strtoull(total, &total_end, 10);
    if (total[0] < '0' || total[0] > '9' || *total_end != '\0' || parsed.partial.total == 0 ||
        !is_plain_name_text(parsed.file_name) || parsed.partial.validator[0] == '\0' ||
        parsed.url[0] == '\0') {
        return false;
    }
    *record = parsed;
    return true;
}

// Empty when it would not fit, and an empty path opens nothing.
void journal_path(const char* install_folder, char out[kPathSize]) {
    static_cast<void>(join_path(install_folder, kDownloadJournalName, out));
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
    char name[kLineSize];
    while (read_line(journal.get(), name)) {
        trim_in_place(name);
        if (std::strcmp(name, kPackageInstallationMark) == 0) {
            marked = true;
            continue;
        }
        if (!is_plain_name_text(name) ||
            std::strlen(install_folder) + 1 + std::strlen(name) >= kPathSize) {
            continue;
        }
        char target[kPathSize] = {};
        format_bounded(target, sizeof(target), "%s\\%s", install_folder, name);
        delete_file(target);
    }
    static_cast<void>(journal.close());  // An open journal could not be deleted.
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

bool journal_note_partial(const char* install_folder, const char* file_name, const char* url,
                          const PartialDownload& partial) {
    if (!is_plain_name_text(file_name) || !recordable(file_name) || !recordable(url) ||
        !recordable(partial.validator) || partial.total == 0 ||
        std::strlen(url) >= kManifestUrlSize) {
        return false;
    }
    char record[kLineSize] = {};
    format_bounded(record, sizeof record, "%s%llu\t%s\t%s\t%s", kPartialTag,
                   static_cast<unsigned long long>(partial.total), file_name, partial.validator,
                   url);
    return journal_note(install_folder, record);
}

bool journal_last_partial(const char* install_folder, JournalPartial* record) {
    char path[kPathSize] = {};
    journal_path(install_folder, path);
    UniqueStdioFile journal = open_file(path, "rb");
    if (!journal) {
        return false;
    }
    bool found = false;
    char line[kLineSize];
    while (read_line(journal.get(), line)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        found = parse_partial(line, record) || found;
    }
    return found;
}

}  // namespace velda
