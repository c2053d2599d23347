#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "manifest_check.h"
#include "release_origin.h"

namespace velda {

// What check reads of the files a release names, as a launcher would fetch them. Each function
// adds what it finds wrong to traps (the release is unsound) or notes (worth knowing).

struct Package {
    bool read = false;
    std::map<std::string, std::string> files;  // entry name -> bytes
    std::string exe;                           // the top-level Velda.exe
    bool has_exe = false;
    uint64_t archive_size = 0;
};

// What a changed-files list and its files came to, for the sizes the manifest gives.
struct ChangedFilesTotals {
    bool list_read = false;
    uint64_t list_size = 0;
    bool hashes_read = false;
    uint64_t hashes_size = 0;
    size_t downloads = 0;
    size_t deletions = 0;
    bool only_product_file = false;  // downloads Velda.exe alone and deletes nothing
    uint64_t files_size = 0;         // of the files that could be fetched
    size_t files_fetched = 0;
};

// Whether hashes are required: a launcher with a release key takes no download without one.
struct HashRule {
    bool required;
};

// Checks bytes against the manifest's hash member key (its value field); false when it fails. The
// trap says why, so callers that read on to show every other fault need not look at the result.
bool check_hash(const char* key, const char* field, std::string_view bytes,
                const std::string& where, HashRule rule, std::vector<std::string>* traps);

// A trap when a text that launchers fetch whole is longer than their GET takes (max_bytes):
// they stop reading it, and effect says what follows.
void check_within_bound(const std::string& what, size_t size, uint64_t max_bytes,
                        const char* effect, std::vector<std::string>* traps);

// Verifies the detached signature with each key given; reports what a launcher holding those
// keys would make of the manifest.
void check_signature(const Origin& origin, const CheckOptions& options, const std::string& text,
                     std::vector<std::string>* traps, std::vector<std::string>* notes);

void check_package(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                   Package* package, std::vector<std::string>* traps);

// direct_size, when not null, gets the bytes of the direct executable once it is fetched.
void check_direct(const Origin& origin, const Manifest& m, HashRule rule, const Package& package,
                  std::vector<std::string>* traps, std::vector<std::string>* notes,
                  std::optional<uint64_t>* direct_size = nullptr);

// totals, when not null, gets what the list and its files came to.
void check_changed_files(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                         const Package& package, std::vector<std::string>* traps,
                         ChangedFilesTotals* totals = nullptr);

}  // namespace velda
