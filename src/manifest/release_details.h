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
//                    "list_size": N, "hashes_size": N, "files_size": N, "files_count": N,
//                    "patches_url": "...", "patches_sha256": "...", "patches_size": N,
//                    "patch_base_url": "..."}, ...]
// The patch members are optional: a set without them sends every changed file whole.
// Sizes are JSON numbers (bytes, or a count of files), whole and at most 2^53.
// Last, what the release is and when it was made, which keyed launchers go by:
//   "product": "velda", "issued": "2026-12-09T05:00:00Z", "expires": "2027-01-08T05:00:00Z"
// After them, when the release carries a launcher, what keyed launchers update themselves to:
//   "launcher": {"version": "1.1.0", "url": "...", "sha256": "<64 hex>", "size": N}

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
    // The patch index (one binary patch per changed file worth patching) and the URL its patch
    // paths are joined to; "" and empty when the set has no patches.
    std::string patches_url;
    std::string patches_sha256;
    std::optional<uint64_t> patches_size;
    std::string patch_base_url;

    bool operator==(const ChangeSet&) const = default;
};

struct ReleaseSizes {
    std::optional<uint64_t> package;         // the ZIP
    std::optional<uint64_t> unpacked;        // its entries' uncompressed sizes together
    std::optional<uint64_t> unpacked_files;  // its file entries
    std::optional<uint64_t> direct;          // Velda.exe alone

    bool operator==(const ReleaseSizes&) const = default;
};

inline constexpr size_t kProductIdSize = 64;  // the NUL included, as the launcher keeps it

// "" for a member the manifest leaves out (a manifest of an older tool has none of them).
struct ReleaseIdentity {
    std::string product;  // letters, digits, '.', '_' and '-'
    std::string issued;   // UTC time text, as utc_time_text_valid takes it
    std::string expires;  // the same; "" when the release does not expire

    bool operator==(const ReleaseIdentity&) const = default;
};

// "YYYY-MM-DDTHH:MM:SSZ", each part within its range: such texts order as the times they name.
[[nodiscard]] bool utc_time_text_valid(std::string_view text);
// 1 to 63 bytes of letters, digits, '.', '_' and '-' (it also names a file of the launcher).
[[nodiscard]] bool product_id_valid(std::string_view text);

// The launcher a release offers; every member is required.
struct OfferedLauncher {
    std::string version;  // parses as X.Y.Z
    std::string url;
    std::string sha256;  // 64 hex digits, either case
    uint64_t size = 0;

    bool operator==(const OfferedLauncher&) const = default;
};

struct ReleaseDetails {
    ReleaseSizes sizes;
    // "direct_from" was written (by a tool that knows which versions Velda.exe alone makes
    // whole); false for a manifest of an older tool.
    bool direct_record_present = false;
    std::vector<std::string> direct_from;
    std::vector<ChangeSet> change_sets;
    ReleaseIdentity identity;
    std::optional<OfferedLauncher> launcher;

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

// Reads only "launcher" (as read_release_details does); *out stays empty when the manifest has
// none. False, *why set, when the text is not strict JSON or the member is not as described.
[[nodiscard]] bool read_offered_launcher(std::string_view json, std::optional<OfferedLauncher>* out,
                                         std::string* why);

// Reads only "product", "issued" and "expires" (as read_release_details does), so that a
// mistake in another member cannot hide what the release is. False, *out empty and *why set,
// when the text is not strict JSON or one of them is not as described above.
[[nodiscard]] bool read_release_identity(std::string_view json, ReleaseIdentity* out,
                                         std::string* why);

// The change set for the installed version, or null.
[[nodiscard]] const ChangeSet* change_set_for(const ReleaseDetails& details,
                                              std::string_view installed_version);

// True when "direct_from" names the installed version.
[[nodiscard]] bool direct_makes_release_whole(const ReleaseDetails& details,
                                              std::string_view installed_version);

}  // namespace velda
