#include "install/patch_index.h"

#include <cstring>

#include "install/path_entries.h"

namespace velda {

namespace {

// Cuts the next blank-ended field off the front of line; false when there is no blank.
bool take_field(std::string_view* line, std::string_view* field) {
    size_t blank = line->find(' ');
    if (blank == std::string_view::npos) {
        return false;
    }
    *field = line->substr(0, blank);
    line->remove_prefix(blank + 1);
    return true;
}

bool digest_of(std::string_view field, uint8_t out[kSha256Size]) {
    if (field.size() != 2 * kSha256Size) {
        return false;
    }
    char digits[2 * kSha256Size + 1];
    std::memcpy(digits, field.data(), field.size());
    digits[field.size()] = '\0';
    return hex_to_bytes(digits, out, kSha256Size);
}

// Decimal digits without a leading zero (but "0"), at most kPatchIndexMaxSize.
bool size_of(std::string_view field, uint64_t* out) {
    if (field.empty() || field.size() > 16 || (field.size() > 1 && field[0] == '0')) {
        return false;
    }
    uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = value;
    return value <= kPatchIndexMaxSize;
}

// One line's fields into entry; the reason of the first that does not read, else null.
const char* read_entry(std::string_view line, PatchEntry* entry) {
    std::string_view field;
    if (!take_field(&line, &field) || !digest_of(field, entry->patch_sha256)) {
        return "the patch's SHA-256 is not 64 hex digits and a blank";
    }
    if (!take_field(&line, &field) || !size_of(field, &entry->patch_size) ||
        entry->patch_size == 0) {
        return "the patch's size is not a whole number from 1 to 2^53";
    }
    if (!take_field(&line, &field) || !digest_of(field, entry->base_sha256)) {
        return "the base file's SHA-256 is not 64 hex digits and a blank";
    }
    if (!take_field(&line, &field) || !digest_of(field, entry->result_sha256)) {
        return "the new file's SHA-256 is not 64 hex digits and a blank";
    }
    if (!take_field(&line, &field) || !size_of(field, &entry->result_size)) {
        return "the new file's size is not a whole number up to 2^53";
    }
    if (line.empty()) {
        return "no path";
    }
    entry->path = line;
    return nullptr;
}

}  // namespace

bool PatchIndex::refuse(size_t line, const char* why) {
    entries_.clear();
    error_line_ = line;
    error_ = why;
    return false;
}

bool PatchIndex::parse(const char* text, size_t size) {
    entries_.clear();
    error_line_ = 0;
    error_ = "";
    if (size > 0 && std::memchr(text, '\0', size) != nullptr) {
        return refuse(0, "holds a NUL byte");
    }
    size_t cursor = 0;
    size_t line_number = 0;
    std::string_view line;
    while (next_list_line(text, size, &cursor, &line)) {
        ++line_number;
        PatchEntry entry;
        if (const char* why = read_entry(line, &entry)) {
            return refuse(line_number, why);
        }
        entry.line = line_number;
        entries_.push_back(entry);
    }
    // Which of two patches is meant cannot be told.
    if (size_t twice = sort_entries_by_path(&entries_)) {
        return refuse(twice, "a path is given twice");
    }
    return true;
}

const PatchEntry* PatchIndex::find(std::string_view path_text) const {
    return find_entry_by_path(entries_, path_text);
}

}  // namespace velda
