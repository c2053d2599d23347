#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check_downloads.h"
#include "manifest/release_details.h"
#include "manifest_check.h"
#include "release_origin.h"

namespace velda {

// The manifest's sizes, direct_from and change sets, as launchers that read them take them.
struct DetailsReading {
    bool read = false;  // true also when the manifest carries none of them
    ReleaseDetails details;
};

// What check fetched before, for the sizes the manifest gives.
struct FetchedRelease {
    const Package& package;
    std::optional<uint64_t> direct_size;
    const ChangedFilesTotals& single_set;  // the single changed-files members' list and files
};

// Lists every change set and checks each one's list, hash file and files as the single set is
// checked, its patches (check_patches.h), the sizes against the files, and direct_from against
// the change sets.
void check_release_details(const Origin& origin, const CheckOptions& options,
                           const std::string& text, const ManifestAnalysis& analysis, HashRule rule,
                           const FetchedRelease& fetched, DetailsReading* reading,
                           std::vector<std::string>* traps, std::vector<std::string>* notes);

// The manifest with the change set for installed in place of the single changed-files members,
// as launchers that read change sets take it; the manifest itself without such a set.
Manifest manifest_for_installed(const Manifest& manifest, const ReleaseDetails& details,
                                const std::string& installed);

}  // namespace velda
