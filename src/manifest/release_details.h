#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"

namespace velda {

// What the release tool writes into latest.json beyond the fields every launcher reads: the
// sizes a launcher checks the disk for, the earlier versions that Velda.exe alone brings to this
// release whole, and one change set per earlier version. Written after the older fields, under
// other names, so that the plain text search of deployed launchers never lands on them:
//   "package_size": N, "unpacked_size": N, "unpacked_files": N, "direct_size": N,
//   "direct_from": ["1.1.0", ...],
//   "change_sets": [{"from": "1.1.0", "list_url": "...", "base_url": "...",
//                    "list_sha256": "...", "hashes_url": "...", "hashes_sha256": "...",
//                    "list_size": N, "hashes_size": N, "files_size": N, "files_count": N}, ...]
// Sizes are JSON numbers (bytes, or a count of files), whole and at most 2^53.

inline constexpr size_t kMaxChangeSets = 256;
inline constexpr size_t kMaxDirectFrom = 256;

struct ChangeSet {
    std::string from_version;  // the installed version this set applies to, compared exactly
    std::string list_url;
    std::string base_url;
    std::string list_sha256;    // "" when absent
    std::string hashes_url;     // "" when absent
    std::string hashes_sha256;  // "" when absent
    std::optional<uint64_t> list_size;
    std::optional<uint64_t> hashes_size;
    std::optional<uint64_t> files_size;   // the changed files together
    std::optional<uint64_t> files_count;  // files the list downloads

    bool operator==(const ChangeSet&) const = default;
};

struct ReleaseSizes {
    std::optional<uint64_t> package;         // the ZIP
    std::optional<uint64_t> unpacked;        // its entries' uncompressed sizes together
    std::optional<uint64_t> unpacked_files;  // its file entries
    std::optional<uint64_t> direct;          // Velda.exe alone

    bool operator==(const ReleaseSizes&) const = default;
};

struct ReleaseDetails {
    ReleaseSizes sizes;
    // "direct_from" was written (by a tool that knows which versions Velda.exe alone makes
    // whole); false for a manifest of an older tool.
    bool direct_record_present = false;
    std::vector<std::string> direct_from;
    std::vector<ChangeSet> change_sets;

    bool operator==(const ReleaseDetails&) const = default;
};

// Reads the members above from the whole manifest text, which must be one strict JSON object
// (duplicate keys refused). Unknown members are skipped; a known member of the wrong type, a
// change set without "from", "list_url" or "base_url", a version or a URL longer than the
// launcher keeps (kVersionTextSize, kManifestUrlSize), two change sets from the same version,
// and more than the limits above are refused. False, *out empty and *why set, when anything is
// refused or the text is not JSON.
[[nodiscard]] bool read_release_details(std::string_view json, ReleaseDetails* out,
                                        std::string* why);

// The change set for the installed version, or null.
[[nodiscard]] const ChangeSet* change_set_for(const ReleaseDetails& details,
                                              std::string_view installed_version);

// True when "direct_from" names the installed version.
[[nodiscard]] bool direct_makes_release_whole(const ReleaseDetails& details,
                                              std::string_view installed_version);

}  // namespace velda
