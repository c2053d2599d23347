#include "check_details.h"

#include <cstdio>
#include <map>

#include "check_patches.h"
#include "common/install_paths.h"
#include "common/text.h"
#include "net/url_filename.h"
#include "release_text.h"

namespace velda {

namespace {

bool is_reserved_install_name(const char* name) {
    return equals_ignoring_ascii_case(name, kProductFileName) ||
           equals_ignoring_ascii_case(name, kStampFileName);
}

bool has_any_detail(const ReleaseDetails& details) {
    const ReleaseSizes& sizes = details.sizes;
    return details.direct_record_present || !details.change_sets.empty() || sizes.package ||
           sizes.unpacked || sizes.unpacked_files || sizes.direct;
}

// A size the manifest gives against the one found; nothing when either is unknown.
void compare_size(const std::string& where, const char* key, const std::optional<uint64_t>& given,
                  bool known, uint64_t actual, std::vector<std::string>* traps) {
    if (given && known && *given != actual) {
        traps->push_back(where + "\"" + key + "\" is " + std::to_string(*given) +
                         ", but what it measures is " + std::to_string(actual) +
                         ": launchers misjudge the room on disk and the download");
    }
}

void check_release_sizes(const ReleaseSizes& sizes, const FetchedRelease& fetched,
                         std::vector<std::string>* traps) {
    const Package& package = fetched.package;
    uint64_t unpacked = 0;
    for (const auto& [name, bytes] : package.files) {
        unpacked += bytes.size();
    }
    compare_size("", "package_size", sizes.package, package.read, package.archive_size, traps);
    compare_size("", "unpacked_size", sizes.unpacked, package.read, unpacked, traps);
    compare_size("", "unpacked_files", sizes.unpacked_files, package.read, package.files.size(),
                 traps);
    compare_size("", "direct_size", sizes.direct, fetched.direct_size.has_value(),
                 fetched.direct_size.value_or(0), traps);
}

void check_set_sizes(const std::string& where, const ChangeSet& set,
                     const ChangedFilesTotals& totals, std::vector<std::string>* traps) {
    compare_size(where, "list_size", set.list_size, totals.list_read, totals.list_size, traps);
    compare_size(where, "hashes_size", set.hashes_size, totals.hashes_read, totals.hashes_size,
                 traps);
    compare_size(where, "files_count", set.files_count, totals.list_read, totals.downloads, traps);
    compare_size(where, "files_size", set.files_size,
                 totals.list_read && totals.files_fetched == totals.downloads, totals.files_size,
                 traps);
}

// The single changed-files members say the same as this set.
bool repeats_single_fields(const Manifest& m, const ChangeSet& set) {
    return set.from_version == m.changed_from_version && set.list_url == m.changed_files_url &&
           set.base_url == m.changed_files_base_url && set.list_sha256 == m.changed_files_sha256 &&
           set.hashes_url == m.changed_files_hashes_url &&
           set.hashes_sha256 == m.changed_files_hashes_sha256;
}

// One change set's list, hash file and files, checked as the single set is.
ChangedFilesTotals check_change_set(const Origin& origin, const ManifestAnalysis& analysis,
                                    HashRule rule, const FetchedRelease& fetched,
                                    const ChangeSet& set, std::vector<std::string>* traps) {
    const std::string where = "change set from " + printable(set.from_version) + ": ";
    const Manifest& m = analysis.manifest;
    if (!parse_version(set.from_version.c_str(), nullptr) ||
        compare_versions(set.from_version.c_str(), m.version) != VersionOrder::LocalOlder) {
        traps->push_back(where + "not a version older than \"version\" " + printable(m.version) +
                         ": no launcher ever uses it");
    }
    if (repeats_single_fields(m, set)) {
        std::printf("Change set from %s: the changed-files members above\n",
                    printable(set.from_version).c_str());
        return fetched.single_set;
    }
    std::printf("Change set from %s:\n", printable(set.from_version).c_str());
    ManifestAnalysis for_set = analysis;
    ReleaseDetails only_set;
    only_set.change_sets = {set};
    for_set.manifest = manifest_for_installed(m, only_set, set.from_version);
    char name[kPathSize];
    extract_filename_from_url(set.list_url.c_str(), name);
    for_set.list_file_name = name;
    std::vector<std::string> found;
    ChangedFilesTotals totals;
    if (name[0] == '\0') {
        found.push_back("\"list_url\" names no file: launchers give up this set at once");
    } else if (is_reserved_install_name(name)) {
        found.push_back(std::string("its list is saved as \"") + name +
                        "\" in the install folder, over a file of the installation");
    }
    check_changed_files(origin, for_set, rule, fetched.package, &found, &totals);
    for (const std::string& trap : found) {
        traps->push_back(where + trap);
    }
    return totals;
}

void check_direct_from(const ReleaseDetails& details,
                       const std::map<std::string, ChangedFilesTotals>& totals,
                       const FetchedRelease& fetched, std::vector<std::string>* traps,
                       std::vector<std::string>* notes) {
    for (const std::string& version : details.direct_from) {
        auto set = totals.find(version);
        if (set == totals.end()) {
            notes->push_back("\"direct_from\" names " + printable(version) +
                             ", which has no change set: check cannot tell whether Velda.exe "
                             "alone makes that installation whole");
        } else if (set->second.list_read && !set->second.only_product_file) {
            traps->push_back("\"direct_from\" names " + printable(version) +
                             ", but its change set changes more than Velda.exe: launchers at " +
                             printable(version) + " would stamp an installation that is not whole");
        }
    }
    if (!details.direct_from.empty() && !fetched.direct_size) {
        notes->push_back(
            "\"direct_from\" names versions, but the direct executable cannot be "
            "fetched: their launchers fall back to the package");
    }
}

}  // namespace

Manifest manifest_for_installed(const Manifest& manifest, const ReleaseDetails& details,
                                const std::string& installed) {
    Manifest out = manifest;
    const ChangeSet* set = change_set_for(details, installed);
    if (set == nullptr) {
        return out;
    }
    copy_bounded(out.changed_from_version, sizeof(out.changed_from_version),
                 set->from_version.c_str());
    copy_bounded(out.changed_files_url, sizeof(out.changed_files_url), set->list_url.c_str());
    copy_bounded(out.changed_files_base_url, sizeof(out.changed_files_base_url),
                 set->base_url.c_str());
    copy_bounded(out.changed_files_sha256, sizeof(out.changed_files_sha256),
                 set->list_sha256.c_str());
    copy_bounded(out.changed_files_hashes_url, sizeof(out.changed_files_hashes_url),
                 set->hashes_url.c_str());
    copy_bounded(out.changed_files_hashes_sha256, sizeof(out.changed_files_hashes_sha256),
                 set->hashes_sha256.c_str());
    out.changed_from_version_found = true;
    out.changed_files_url_found = true;
    out.changed_files_base_url_found = true;
    return out;
}

void check_release_details(const Origin& origin, const CheckOptions& options,
                           const std::string& text, const ManifestAnalysis& analysis, HashRule rule,
                           const FetchedRelease& fetched, DetailsReading* reading,
                           std::vector<std::string>* traps, std::vector<std::string>* notes) {
    if (!analysis.scan.valid || !analysis.scan.root_is_object) {
        return;  // already named as a trap
    }
    ReleaseDetails& details = reading->details;
    std::string why;
    if (!read_release_details(text, &details, &why)) {
        traps->push_back(
            "launchers that read the sizes, \"direct_from\" and \"change_sets\" "
            "refuse them: " +
            why);
        return;
    }
    reading->read = true;
    if (!has_any_detail(details)) {
        return;  // an older tool's manifest
    }
    check_release_sizes(details.sizes, fetched, traps);
    std::map<std::string, ChangedFilesTotals> totals;
    for (const ChangeSet& set : details.change_sets) {
        ChangedFilesTotals found = check_change_set(origin, analysis, rule, fetched, set, traps);
        check_set_sizes("change set from " + printable(set.from_version) + ": ", set, found, traps);
        std::printf(
            "  from %s: %zu downloads, %zu deletions; list %llu bytes, hash file %llu "
            "bytes, files %llu bytes\n",
            printable(set.from_version).c_str(), found.downloads, found.deletions,
            static_cast<unsigned long long>(found.list_size),
            static_cast<unsigned long long>(found.hashes_size),
            static_cast<unsigned long long>(found.files_size));
        totals[set.from_version] = found;
        check_change_set_patches(origin, options, set, rule, traps, notes);
    }
    check_direct_from(details, totals, fetched, traps, notes);
}

}  // namespace velda
