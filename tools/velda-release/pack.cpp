#include "pack.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <vector>

#include "changed_list.h"
#include "common/install_paths.h"
#include "common/text.h"
#include "manifest_check.h"
#include "manifest_writer.h"
#include "pack_package.h"
#include "pack_plan.h"
#include "pe_version.h"
#include "release_crypto.h"
#include "release_layout.h"
#include "release_text.h"
#include "tree_files.h"
#include "zip_file.h"

namespace velda {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxExpiryDays = 36500;

// "issued" is the time of packing; SOURCE_DATE_EPOCH (seconds since 1970, the reproducible-builds
// convention) stands in for it, so that the same inputs can give the same bytes.
long long packing_time() {
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed != nullptr && fixed[0] != '\0' && std::strlen(fixed) <= 12 &&
        std::strspn(fixed, "0123456789") == std::strlen(fixed)) {
        return std::atoll(fixed);
    }
    return static_cast<long long>(std::time(nullptr));
}

int refuse_all(const std::vector<std::string>& problems) {
    std::fprintf(stderr, "velda-release pack: refused, nothing written:\n");
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "  - %s\n", problem.c_str());
    }
    return 1;
}

bool is_inside(const fs::path& inner, const fs::path& outer) {
    std::error_code ec;
    fs::path a = fs::weakly_canonical(inner, ec);
    fs::path b = fs::weakly_canonical(outer, ec);
    auto [stop, rest] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    return stop == b.end();
}

// Removes the half-built folder on every way out unless the release was published.
class StagingFolder {
  public:
    explicit StagingFolder(fs::path path) : path_(std::move(path)) {}
    ~StagingFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

  private:
    fs::path path_;
};

bool make_staging_folder(const fs::path& output, fs::path* staging, std::string* error) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = output.parent_path() / ("." + output.filename().string() +
                                                     ".partial-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            *staging = candidate;
            return true;
        }
        if (ec) {
            *error = "cannot create a folder beside " + output.string() + ": " + ec.message();
            return false;
        }
    }
    *error = "cannot find a free temporary name beside " + output.string();
    return false;
}

bool check_top_level_names(const std::vector<TreeEntry>& tree, const char* which,
                           const std::vector<std::pair<std::string, std::string>>& reserved,
                           std::vector<std::string>* problems) {
    size_t before = problems->size();
    for (const TreeEntry& entry : tree) {
        if (entry.path.find('/') != std::string::npos) {
            continue;
        }
        for (const auto& [name, what] : reserved) {
            if (equals_ignoring_ascii_case(entry.path, name)) {
                problems->push_back(std::string("the ") + which + " product folder holds \"" +
                                    entry.path + "\" at its top level, the name of " + what);
            }
        }
    }
    return problems->size() == before;
}

// The launcher's plain search finds the older members; the whole-release members must read back
// through read_release_details exactly as planned.
bool reads_back(const std::string& text, const ReleaseManifest& manifest,
                std::vector<std::string>* problems) {
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    const Manifest& read = analysis.manifest;
    if (!analysis.traps.empty() || read.version != manifest.version || read.url != manifest.url ||
        read.changed_from_version != manifest.changed_from_version ||
        read.changed_files_url != manifest.changed_files_url ||
        read.changed_files_base_url != manifest.changed_files_base_url ||
        read.package_sha256 != manifest.package_sha256 ||
        read.direct_sha256 != manifest.direct_sha256 ||
        read.changed_files_sha256 != manifest.changed_files_sha256 ||
        read.changed_files_hashes_url != manifest.changed_files_hashes_url ||
        read.changed_files_hashes_sha256 != manifest.changed_files_hashes_sha256) {
        problems->push_back("the launcher's reader would not read the manifest back as written");
        problems->insert(problems->end(), analysis.traps.begin(), analysis.traps.end());
        return false;
    }
    ReleaseDetails details;
    std::string why;
    if (manifest.has_details &&
        (!read_release_details(text, &details, &why) || !(details == manifest.details))) {
        problems->push_back("the manifest's sizes and change sets would not read back as written" +
                            (why.empty() ? std::string() : ": " + why));
        return false;
    }
    return true;
}

// Usable, distinct, older than the new version: the earlier versions, newest first.
void validate_previous(const PackOptions& options, PackInputs* inputs,
                       std::vector<std::string>* problems) {
    std::string why;
    bool half_missing = false;
    for (const PreviousRelease& previous : options.previous) {
        if (previous.folder.empty() && previous.version.empty()) {
            continue;
        }
        if (previous.folder.empty() || previous.version.empty()) {
            half_missing = true;
            continue;
        }
        if (!release_version_usable(previous.version, &why)) {
            problems->push_back("the previous version \"" + printable(previous.version) + "\" " +
                                why);
            continue;
        }
        for (const EarlierRelease& seen : inputs->earlier) {
            if (seen.version == previous.version) {
                problems->push_back("the previous version \"" + previous.version +
                                    "\" is given twice");
            }
        }
        inputs->earlier.push_back({previous.version, previous.folder, {}});
    }
    if (half_missing) {
        problems->push_back("a previous version needs both its folder and its version text");
    }
    std::stable_sort(inputs->earlier.begin(), inputs->earlier.end(),
                     [](const EarlierRelease& a, const EarlierRelease& b) {
                         return compare_versions(a.version.c_str(), b.version.c_str()) ==
                                VersionOrder::LocalNewer;
                     });
}

// The options alone first: a bad version or server is reported before any folder is read.
bool validate_options(const PackOptions& options, PackInputs* inputs,
                      std::vector<std::string>* problems) {
    std::string why;
    if (!release_version_usable(options.version, &why)) {
        problems->push_back("the version \"" + printable(options.version) + "\" " + why);
    }
    if (!clean_server_base(options.server, &inputs->server, &why)) {
        problems->push_back("the server \"" + printable(options.server) + "\" " + why);
    } else if (!value_is_raw_safe(inputs->server, &why)) {
        problems->push_back("the server \"" + printable(options.server) + "\" " + why);
    }
    validate_previous(options, inputs, problems);
    if (!product_id_valid(options.product_id)) {
        problems->push_back("the product id \"" + printable(options.product_id) +
                            "\" is not 1 to 63 letters, digits, '.', '_' or '-'");
    }
    if (options.expires_in_days < 0 || options.expires_in_days > kMaxExpiryDays) {
        problems->push_back("--expires-in-days must be from 1 to " +
                            std::to_string(kMaxExpiryDays));
    }
    if (!options.sign_key.empty()) {
        // Tried on a sample first, so that a wrong key stops the run before any work.
        std::string sample;
        if (!sign_release_message(options.sign_key, "velda", &sample, &why)) {
            problems->push_back("--sign-key: " + why);
        }
    }
    return problems->empty();
}

// The launcher to offer: a Windows executable with a version resource that is a usable version.
void read_offered_launcher_file(const fs::path& file, PackInputs* inputs,
                                std::vector<std::string>* problems) {
    std::string why;
    if (!read_file_bytes(file, &inputs->launcher_bytes)) {
        problems->push_back("cannot read the launcher " + file.string());
    } else if (!read_executable_version(inputs->launcher_bytes, &inputs->launcher_version, &why)) {
        problems->push_back("the launcher " + file.string() + " " + why);
    } else if (!release_version_usable(inputs->launcher_version, &why)) {
        problems->push_back("the launcher's version \"" + inputs->launcher_version + "\" " + why);
    }
}

bool validate_folders(const PackOptions& options, PackInputs* inputs,
                      std::vector<std::string>* problems) {
    std::string why;
    inputs->product = options.product_folder;
    inputs->output = options.output_folder;
    const fs::path& product = inputs->product;
    std::error_code ec;
    if (!fs::is_regular_file(product / kProductFileName, ec)) {
        problems->push_back("the product folder " + product.string() + " holds no " +
                            kProductFileName + " file at its top level");
    }
    if (!scan_tree(product, &inputs->new_tree, &why)) {
        problems->push_back(why);
    }
    for (EarlierRelease& earlier : inputs->earlier) {
        if (!scan_tree(earlier.folder, &earlier.tree, &why)) {
            problems->push_back("previous version: " + why);
        }
    }
    if (!options.launcher_file.empty()) {
        read_offered_launcher_file(options.launcher_file, inputs, problems);
    }
    fs::path& output = inputs->output;
    if (output.filename().empty()) {
        output = output.parent_path();
    }
    if (fs::exists(output, ec) && !(fs::is_directory(output, ec) && fs::is_empty(output, ec))) {
        problems->push_back("the output folder " + output.string() +
                            " already exists; pack writes a new folder");
    }
    fs::path output_parent = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    if (!fs::is_directory(output_parent, ec)) {
        problems->push_back("the folder " + output_parent.string() +
                            " for the output does not exist");
    }
    bool inside = is_inside(output, product);
    for (const EarlierRelease& earlier : inputs->earlier) {
        inside = inside || is_inside(output, earlier.folder);
    }
    if (inside) {
        problems->push_back("the output folder must lie outside the product folders");
    }
    return problems->empty();
}

// The names a change set's launcher downloads into the install folder.
std::vector<std::pair<std::string, std::string>> change_set_names(const ReleaseLayout& layout) {
    return {{layout_file_name(layout.list_path),
             "the changed-files list, which the launcher downloads there"},
            {layout_file_name(layout.hashes_path),
             "the changed files' hash file, which the launcher downloads there"}};
}

// Same files and folders, and every file but the top-level Velda.exe byte for byte the same.
bool only_product_file_differs(const std::vector<TreeEntry>& old_tree,
                               const std::vector<TreeEntry>& new_tree,
                               const ChangedFilesPlan& changes) {
    auto same_entry = [](const TreeEntry& a, const TreeEntry& b) {
        return a.path == b.path && a.is_directory == b.is_directory;
    };
    return std::equal(old_tree.begin(), old_tree.end(), new_tree.begin(), new_tree.end(),
                      same_entry) &&
           changes.deletions.empty() &&
           std::all_of(changes.downloads.begin(), changes.downloads.end(),
                       [](const std::string& path) { return path == kProductFileName; });
}

// The product trees as the launcher would install them: usable paths, no name the
// installation needs for itself, and for each earlier tree a changed-files list that can take
// it to the new one.
bool check_product_trees(const PackInputs& inputs, const ReleaseLayout& layout, PackPlan* plan,
                         std::vector<std::string>* problems) {
    bool usable = tree_paths_usable(inputs.new_tree, problems);
    std::vector<std::pair<std::string, std::string>> reserved = {
        {kStampFileName, "the launcher's version stamp"},
        {layout_file_name(layout.package_path), "the package, which the launcher downloads there"},
    };
    for (const ChangeSetPlan& set : plan->sets) {
        for (const auto& name : change_set_names(set.layout)) {
            reserved.push_back(name);
        }
    }
    usable = check_top_level_names(inputs.new_tree, "new", reserved, problems) && usable;
    for (size_t i = 0; i < inputs.earlier.size(); ++i) {
        const EarlierRelease& earlier = inputs.earlier[i];
        ChangeSetPlan& set = plan->sets[i];
        usable = check_top_level_names(earlier.tree, "previous", change_set_names(set.layout),
                                       problems) &&
                 usable;
        usable = diff_trees(
                     earlier.tree, inputs.new_tree,
                     [&](const std::string& path) {
                         return files_have_same_bytes(tree_path(earlier.folder, path),
                                                      tree_path(inputs.product, path));
                     },
                     &set.changes, problems) &&
                 usable;
        set.direct_makes_whole =
            only_product_file_differs(earlier.tree, inputs.new_tree, set.changes);
    }
    return usable;
}

// The manifest as planned before any file is written: URLs, versions, direct_from.
void plan_manifest(const PackOptions& options, const PackInputs& inputs, PackPlan* plan) {
    ReleaseManifest& manifest = plan->manifest;
    manifest.version = options.version;
    manifest.url = plan->layout.package_url;
    manifest.has_changed_files = !inputs.earlier.empty();
    if (manifest.has_changed_files) {
        manifest.changed_from_version = inputs.earlier.front().version;
        manifest.changed_files_url = plan->layout.list_url;
        manifest.changed_files_base_url = plan->layout.files_url;
    }
    manifest.has_details = true;
    for (size_t i = 0; i < inputs.earlier.size(); ++i) {
        const ChangeSetPlan& set = plan->sets[i];
        ChangeSet record;
        record.from_version = inputs.earlier[i].version;
        record.list_url = set.layout.list_url;
        record.base_url = set.layout.files_url;
        manifest.details.change_sets.push_back(std::move(record));
        if (set.direct_makes_whole) {
            manifest.details.direct_from.push_back(inputs.earlier[i].version);
        }
    }
    manifest.details.direct_record_present = true;
    long long now = packing_time();
    manifest.details.identity.product = options.product_id;
    manifest.details.identity.issued = utc_time_text_of(now);
    if (options.expires_in_days > 0) {
        manifest.details.identity.expires =
            utc_time_text_of(now + static_cast<long long>(options.expires_in_days) * 86400);
    }
    if (!inputs.launcher_bytes.empty()) {
        manifest.details.launcher = OfferedLauncher{
            inputs.launcher_version, plan->layout.launcher_url,
            release_sha256_hex(inputs.launcher_bytes), inputs.launcher_bytes.size()};
    }
}

bool plan_release(const PackOptions& options, const PackInputs& inputs, PackPlan* plan,
                  std::vector<std::string>* problems) {
    plan->layout = make_release_layout(
        inputs.server, options.version,
        inputs.earlier.empty() ? std::string() : inputs.earlier.front().version);
    for (const EarlierRelease& earlier : inputs.earlier) {
        ChangeSetPlan set;
        set.layout = make_release_layout(inputs.server, options.version, earlier.version);
        plan->sets.push_back(std::move(set));
    }
    bool usable = check_product_trees(inputs, plan->layout, plan, problems);
    plan_manifest(options, inputs, plan);
    usable = validate_release_manifest(plan->manifest, problems) && usable;
    if (!usable || !problems->empty()) {
        return false;
    }

    // Everything the launcher will read is checked with its own reader before it is written.
    plan->manifest_text = write_manifest_json(plan->manifest);
    if (!reads_back(plan->manifest_text, plan->manifest, problems)) {
        return false;
    }
    for (ChangeSetPlan& set : plan->sets) {
        set.list_text = format_changed_files_list(set.changes);
        ListAnalysis list = analyze_changed_files_list(set.list_text);
        if (!list.traps.empty() ||
            list.entries.size() != set.changes.deletions.size() + set.changes.downloads.size()) {
            problems->push_back("the launcher would not read the changed-files list as written");
            problems->insert(problems->end(), list.traps.begin(), list.traps.end());
            return false;
        }
    }
    return true;
}

// One change set's files and list, under staging.
bool write_change_set(const fs::path& product, const ChangeSetPlan& set, const fs::path& staging,
                      std::string* why) {
    const ReleaseLayout& layout = set.layout;
    std::error_code ec;
    fs::create_directories(tree_path(staging, layout.files_path), ec);
    for (const std::string& path : set.changes.downloads) {
        if (!copy_file_bytes(tree_path(product, path),
                             tree_path(tree_path(staging, layout.files_path), path), why)) {
            return false;
        }
    }
    if (!write_file_bytes(tree_path(staging, layout.list_path), set.list_text)) {
        *why = "cannot write " + tree_path(staging, layout.list_path).string();
        return false;
    }
    return true;
}

// Every file of the release, under staging.
bool write_release(const PackOptions& options, const PackInputs& inputs, PackPlan* plan,
                   const fs::path& staging, std::string* why) {
    const ReleaseLayout& layout = plan->layout;
    auto at = [&](const std::string& relative) { return tree_path(staging, relative); };
    std::error_code ec;
    fs::create_directories(at(layout.direct_path).parent_path(), ec);
    if (!copy_file_bytes(inputs.product / kProductFileName, at(layout.direct_path), why) ||
        !write_package(inputs.product, inputs.new_tree, at(layout.package_path), why) ||
        !verify_package(at(layout.package_path), inputs.product, inputs.new_tree, why)) {
        return false;
    }
    for (size_t i = 0; i < plan->sets.size(); ++i) {
        ChangeSetPlan& set = plan->sets[i];
        if (!write_change_set(inputs.product, set, staging, why) ||
            (options.make_patches &&
             !write_change_set_patches(inputs.earlier[i], inputs.product, staging, &set, why))) {
            return false;
        }
    }
    // The very bytes the manifest's hash was taken of.
    if (!inputs.launcher_bytes.empty()) {
        fs::create_directories(at(layout.launcher_path).parent_path(), ec);
        if (!write_file_bytes(at(layout.launcher_path), inputs.launcher_bytes)) {
            *why = "cannot write " + at(layout.launcher_path).string();
            return false;
        }
    }
    // The hashes vouch for the files as staged; the signature for the manifest's final bytes.
    if (!add_release_hashes(staging, inputs, plan, why)) {
        return false;
    }
    std::vector<std::string> problems;
    bool valid = validate_release_manifest(plan->manifest, &problems);
    plan->manifest_text = write_manifest_json(plan->manifest);
    if (!valid || !reads_back(plan->manifest_text, plan->manifest, &problems)) {
        *why = problems.empty() ? "the manifest with its hashes is not usable" : problems.front();
        return false;
    }
    if (!write_file_bytes(at(layout.manifest_path), plan->manifest_text)) {
        *why = "cannot write " + at(layout.manifest_path).string();
        return false;
    }
    if (!options.sign_key.empty()) {
        std::string signature;
        if (!sign_release_message(options.sign_key, plan->manifest_text, &signature, why)) {
            return false;
        }
        if (!write_file_bytes(at(layout.signature_path), signature)) {
            *why = "cannot write " + at(layout.signature_path).string();
            return false;
        }
    }
    return true;
}

// Moves the finished release to its place in one rename.
bool publish_release(StagingFolder* staging, const fs::path& output, std::string* why) {
    std::error_code ec;
    if (fs::exists(output, ec)) {
        fs::remove(output, ec);  // an empty folder, checked before
    }
    fs::rename(staging->path(), output, ec);
    if (ec) {
        *why = "cannot rename " + staging->path().string() + " to " + output.string() + ": " +
               ec.message();
        return false;
    }
    staging->release();
    return true;
}

void print_summary(const PackOptions& options, const PackInputs& inputs, const PackPlan& plan) {
    const ReleaseLayout& layout = plan.layout;
    size_t files = 0;
    for (const TreeEntry& entry : inputs.new_tree) {
        files += entry.is_directory ? 0 : 1;
    }
    std::printf("Packed Velda %s into %s\n", options.version.c_str(),
                inputs.output.string().c_str());
    std::printf("  %s\n", layout.manifest_path.c_str());
    if (!options.sign_key.empty()) {
        std::printf("  %s (signed with %s)\n", layout.signature_path.c_str(),
                    options.sign_key.c_str());
    }
    std::printf("  %s\n", layout.direct_path.c_str());
    std::printf("  %s (%zu files, %zu folders)\n", layout.package_path.c_str(), files,
                inputs.new_tree.size() - files);
    if (!inputs.launcher_bytes.empty()) {
        std::printf("  %s (launcher %s)\n", layout.launcher_path.c_str(),
                    inputs.launcher_version.c_str());
    }
    for (size_t i = 0; i < plan.sets.size(); ++i) {
        const ChangeSetPlan& set = plan.sets[i];
        std::printf("  %s (from %s: %zu changed or added, %zu removed)\n",
                    set.layout.list_path.c_str(), inputs.earlier[i].version.c_str(),
                    set.changes.downloads.size(), set.changes.deletions.size());
        std::printf("  %s\n", set.layout.hashes_path.c_str());
        std::printf("  %s/ (%zu files)\n", set.layout.files_path.c_str(),
                    set.changes.downloads.size());
        if (!set.patches.empty()) {
            std::printf("  %s\n  %s/ (%zu patches)\n", set.layout.patches_path.c_str(),
                        set.layout.patch_files_path.c_str(), set.patches.size());
        }
        if (set.direct_makes_whole) {
            std::printf("  (from %s, Velda.exe alone makes the installation whole)\n",
                        inputs.earlier[i].version.c_str());
        }
    }
    for (const ChangeSetPlan& set : plan.sets) {
        for (const std::string& note : set.changes.notes) {
            std::printf("note: %s\n", note.c_str());
        }
    }
    std::printf("Serve %s as the document root of %s (paths percent-decoded).\n",
                inputs.output.string().c_str(), inputs.server.c_str());
}

}  // namespace

int run_pack(const PackOptions& options) {
    std::vector<std::string> problems;
    PackInputs inputs;
    if (!validate_options(options, &inputs, &problems) ||
        !validate_folders(options, &inputs, &problems)) {
        return refuse_all(problems);
    }
    PackPlan plan;
    if (!plan_release(options, inputs, &plan, &problems)) {
        return refuse_all(problems);
    }
    std::string why;
    fs::path staging_path;
    if (!make_staging_folder(inputs.output, &staging_path, &why)) {
        return refuse_all({why});
    }
    StagingFolder staging(staging_path);
    if (!write_release(options, inputs, &plan, staging.path(), &why) ||
        !publish_release(&staging, inputs.output, &why)) {
        return refuse_all({why});
    }
    print_summary(options, inputs, plan);
    return 0;
}

}  // namespace velda
