#include "pack.h"

#include <algorithm>
#include <cstdio>
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
#include "release_crypto.h"
#include "release_layout.h"
#include "release_text.h"
#include "tree_files.h"
#include "zip_file.h"

namespace velda {

namespace fs = std::filesystem;

namespace {

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

// Fills the manifest's hash members from the staged files and writes the list's hash file.
bool add_release_hashes(const fs::path& staging, const ReleaseLayout& layout,
                        const ChangedFilesPlan& changes, bool with_previous,
                        ReleaseManifest* manifest, std::string* error) {
    auto hash_of = [&](const std::string& relative, std::string* hex) {
        std::string bytes;
        if (!read_file_bytes(tree_path(staging, relative), &bytes)) {
            *error = "cannot read back " + tree_path(staging, relative).string();
            return false;
        }
        *hex = release_sha256_hex(bytes);
        if (hex->empty()) {
            *error = "cannot hash " + relative;
            return false;
        }
        return true;
    };
    if (!hash_of(layout.package_path, &manifest->package_sha256) ||
        !hash_of(layout.direct_path, &manifest->direct_sha256)) {
        return false;
    }
    if (!with_previous) {
        return true;
    }
    std::vector<PathDigest> digests;
    for (const std::string& path : changes.downloads) {
        PathDigest digest{path, ""};
        if (!hash_of(layout.files_path + "/" + path, &digest.sha256_hex)) {
            return false;
        }
        digests.push_back(std::move(digest));
    }
    if (!write_file_bytes(tree_path(staging, layout.hashes_path),
                          format_file_digest_list(digests))) {
        *error = "cannot write " + tree_path(staging, layout.hashes_path).string();
        return false;
    }
    manifest->changed_files_hashes_url = layout.hashes_url;
    return hash_of(layout.list_path, &manifest->changed_files_sha256) &&
           hash_of(layout.hashes_path, &manifest->changed_files_hashes_sha256);
}

// Whether the launcher's reader takes every member back exactly as written.
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
    return true;
}

// What the options name, once they are known to be usable.
struct PackInputs {
    std::string server;  // cleaned
    bool with_previous = false;
    fs::path product;
    fs::path previous;
    fs::path output;
    std::vector<TreeEntry> new_tree;
    std::vector<TreeEntry> old_tree;
};

// The texts and the folder layout of the release, each read back as the launcher reads it.
struct PackPlan {
    ReleaseLayout layout;
    ChangedFilesPlan changes;
    ReleaseManifest manifest;  // the hashes are added once the files are written
    std::string manifest_text;
    std::string list_text;
};

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
    inputs->with_previous = !options.previous_folder.empty() || !options.previous_version.empty();
    if (inputs->with_previous &&
        (options.previous_folder.empty() || options.previous_version.empty())) {
        problems->push_back("a previous version needs both its folder and its version text");
        inputs->with_previous = false;
    }
    if (inputs->with_previous && !release_version_usable(options.previous_version, &why)) {
        problems->push_back("the previous version \"" + printable(options.previous_version) +
                            "\" " + why);
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

bool validate_folders(const PackOptions& options, PackInputs* inputs,
                      std::vector<std::string>* problems) {
    std::string why;
    inputs->product = options.product_folder;
    inputs->output = options.output_folder;
    inputs->previous = options.previous_folder;
    const fs::path& product = inputs->product;
    std::error_code ec;
    if (!fs::is_regular_file(product / kProductFileName, ec)) {
        problems->push_back("the product folder " + product.string() + " holds no " +
                            kProductFileName + " file at its top level");
    }
    if (!scan_tree(product, &inputs->new_tree, &why)) {
        problems->push_back(why);
    }
    if (inputs->with_previous && !scan_tree(inputs->previous, &inputs->old_tree, &why)) {
        problems->push_back("previous version: " + why);
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
    if (is_inside(output, product) ||
        (inputs->with_previous && is_inside(output, inputs->previous))) {
        problems->push_back("the output folder must lie outside the product folders");
    }
    return problems->empty();
}

// The product trees as the launcher would install them: usable paths, no name the
// installation needs for itself, and a changed-files list that can take the old tree to the new.
bool check_product_trees(const PackInputs& inputs, const ReleaseLayout& layout,
                         ChangedFilesPlan* changes, std::vector<std::string>* problems) {
    const bool with_previous = inputs.with_previous;
    bool usable = tree_paths_usable(inputs.new_tree, problems);
    std::vector<std::pair<std::string, std::string>> reserved = {
        {kStampFileName, "the launcher's version stamp"},
        {layout_file_name(layout.package_path), "the package, which the launcher downloads there"},
    };
    if (with_previous) {
        reserved.push_back({layout_file_name(layout.list_path),
                            "the changed-files list, which the launcher downloads there"});
        reserved.push_back({layout_file_name(layout.hashes_path),
                            "the changed files' hash file, which the launcher downloads there"});
    }
    usable = check_top_level_names(inputs.new_tree, "new", reserved, problems) && usable;
    if (!with_previous) {
        return usable;
    }
    reserved.erase(reserved.begin(), reserved.begin() + 2);
    usable = check_top_level_names(inputs.old_tree, "previous", reserved, problems) && usable;
    return diff_trees(
               inputs.old_tree, inputs.new_tree,
               [&](const std::string& path) {
                   return files_have_same_bytes(tree_path(inputs.previous, path),
                                                tree_path(inputs.product, path));
               },
               changes, problems) &&
           usable;
}

bool plan_release(const PackOptions& options, const PackInputs& inputs, PackPlan* plan,
                  std::vector<std::string>* problems) {
    const bool with_previous = inputs.with_previous;
    plan->layout = make_release_layout(inputs.server, options.version,
                                       with_previous ? options.previous_version : "");
    const ReleaseLayout& layout = plan->layout;
    bool usable = check_product_trees(inputs, layout, &plan->changes, problems);

    ReleaseManifest& manifest = plan->manifest;
    manifest.version = options.version;
    manifest.url = layout.package_url;
    manifest.has_changed_files = with_previous;
    if (with_previous) {
        manifest.changed_from_version = options.previous_version;
        manifest.changed_files_url = layout.list_url;
        manifest.changed_files_base_url = layout.files_url;
    }
    usable = validate_release_manifest(manifest, problems) && usable;
    if (!usable || !problems->empty()) {
        return false;
    }

    // Everything the launcher will read is checked with its own reader before it is written.
    plan->manifest_text = write_manifest_json(manifest);
    if (!reads_back(plan->manifest_text, manifest, problems)) {
        return false;
    }
    plan->list_text = format_changed_files_list(plan->changes);
    if (with_previous) {
        ListAnalysis list = analyze_changed_files_list(plan->list_text);
        if (!list.traps.empty() || list.entries.size() != plan->changes.deletions.size() +
                                                              plan->changes.downloads.size()) {
            problems->push_back("the launcher would not read the changed-files list as written");
            problems->insert(problems->end(), list.traps.begin(), list.traps.end());
            return false;
        }
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
    if (inputs.with_previous) {
        fs::create_directories(at(layout.files_path), ec);
        for (const std::string& path : plan->changes.downloads) {
            if (!copy_file_bytes(tree_path(inputs.product, path),
                                 tree_path(at(layout.files_path), path), why)) {
                return false;
            }
        }
        if (!write_file_bytes(at(layout.list_path), plan->list_text)) {
            *why = "cannot write " + at(layout.list_path).string();
            return false;
        }
    }
    // The hashes vouch for the files as staged; the signature for the manifest's final bytes.
    if (!add_release_hashes(staging, layout, plan->changes, inputs.with_previous, &plan->manifest,
                            why)) {
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
    if (inputs.with_previous) {
        std::printf("  %s (from %s: %zu changed or added, %zu removed)\n", layout.list_path.c_str(),
                    options.previous_version.c_str(), plan.changes.downloads.size(),
                    plan.changes.deletions.size());
        std::printf("  %s\n", layout.hashes_path.c_str());
        std::printf("  %s/ (%zu files)\n", layout.files_path.c_str(),
                    plan.changes.downloads.size());
    }
    for (const std::string& note : plan.changes.notes) {
        std::printf("note: %s\n", note.c_str());
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
