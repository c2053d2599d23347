#pragma once

#include <map>
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
};

// Whether hashes are required: a launcher with a release key takes no download without one.
struct HashRule {
    bool required;
};

// Verifies the detached signature with each key given; reports what a launcher holding those
// keys would make of the manifest.
void check_signature(const Origin& origin, const CheckOptions& options, const std::string& text,
                     std::vector<std::string>* traps, std::vector<std::string>* notes);

void check_package(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                   Package* package, std::vector<std::string>* traps);

void check_direct(const Origin& origin, const Manifest& m, HashRule rule, const Package& package,
                  std::vector<std::string>* traps, std::vector<std::string>* notes);

void check_changed_files(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                         const Package& package, std::vector<std::string>* traps);

}  // namespace velda
