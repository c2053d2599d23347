#include "pack_plan.h"

#include "release_crypto.h"

namespace velda {

namespace fs = std::filesystem;

namespace {

bool hash_staged(const fs::path& staging, const std::string& relative, std::string* hex,
                 uint64_t* size, std::string* error) {
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
    if (size != nullptr) {
        *size = bytes.size();
    }
    return true;
}

// The index of the set's patches, and the members that name it.
bool add_patch_index(const fs::path& staging, const ChangeSetPlan& set, ChangeSet* record,
                     std::string* error) {
    const ReleaseLayout& layout = set.layout;
    if (!write_file_bytes(tree_path(staging, layout.patches_path),
                          format_patch_index(set.patches))) {
        *error = "cannot write " + tree_path(staging, layout.patches_path).string();
        return false;
    }
    uint64_t size = 0;
    if (!hash_staged(staging, layout.patches_path, &record->patches_sha256, &size, error)) {
        return false;
    }
    record->patches_url = layout.patches_url;
    record->patches_size = size;
    record->patch_base_url = layout.patch_files_url;
    return true;
}

// Writes one change set's hash file and fills its record from the staged files.
bool add_change_set_hashes(const fs::path& staging, const ChangeSetPlan& set, ChangeSet* record,
                           std::string* error) {
    const ReleaseLayout& layout = set.layout;
    std::vector<PathDigest> digests;
    uint64_t files_size = 0;
    for (const std::string& path : set.changes.downloads) {
        PathDigest digest{path, ""};
        uint64_t size = 0;
        if (!hash_staged(staging, layout.files_path + "/" + path, &digest.sha256_hex, &size,
                         error)) {
            return false;
        }
        files_size += size;
        digests.push_back(std::move(digest));
    }
    if (!write_file_bytes(tree_path(staging, layout.hashes_path),
                          format_file_digest_list(digests))) {
        *error = "cannot write " + tree_path(staging, layout.hashes_path).string();
        return false;
    }
    record->hashes_url = layout.hashes_url;
    record->files_size = files_size;
    record->files_count = set.changes.downloads.size();
    uint64_t list_size = 0;
    uint64_t hashes_size = 0;
    if (!hash_staged(staging, layout.list_path, &record->list_sha256, &list_size, error) ||
        !hash_staged(staging, layout.hashes_path, &record->hashes_sha256, &hashes_size, error)) {
        return false;
    }
    record->list_size = list_size;
    record->hashes_size = hashes_size;
    return set.patches.empty() || add_patch_index(staging, set, record, error);
}

// The package's and the direct executable's sizes, as staged and as the tree holds them.
bool add_release_sizes(const fs::path& staging, const PackInputs& inputs,
                       const ReleaseLayout& layout, ReleaseSizes* sizes, std::string* error) {
    uint64_t unpacked = 0;
    uint64_t files = 0;
    for (const TreeEntry& entry : inputs.new_tree) {
        if (!entry.is_directory) {
            std::error_code ec;
            unpacked += fs::file_size(tree_path(inputs.product, entry.path), ec);
            if (ec) {
                *error = "cannot read the size of " + entry.path + ": " + ec.message();
                return false;
            }
            ++files;
        }
    }
    std::error_code package_ec;
    std::error_code direct_ec;
    sizes->package = fs::file_size(tree_path(staging, layout.package_path), package_ec);
    sizes->direct = fs::file_size(tree_path(staging, layout.direct_path), direct_ec);
    if (package_ec || direct_ec) {
        *error = "cannot read back the size of the package or of the direct executable";
        return false;
    }
    sizes->unpacked = unpacked;
    sizes->unpacked_files = files;
    return true;
}

}  // namespace

bool add_release_hashes(const fs::path& staging, const PackInputs& inputs, PackPlan* plan,
                        std::string* error) {
    ReleaseManifest* manifest = &plan->manifest;
    if (!hash_staged(staging, plan->layout.package_path, &manifest->package_sha256, nullptr,
                     error) ||
        !hash_staged(staging, plan->layout.direct_path, &manifest->direct_sha256, nullptr, error) ||
        !add_release_sizes(staging, inputs, plan->layout, &manifest->details.sizes, error)) {
        return false;
    }
    for (size_t i = 0; i < plan->sets.size(); ++i) {
        if (!add_change_set_hashes(staging, plan->sets[i], &manifest->details.change_sets[i],
                                   error)) {
            return false;
        }
    }
    if (!plan->sets.empty()) {
        const ChangeSet& newest = manifest->details.change_sets.front();
        manifest->changed_files_hashes_url = newest.hashes_url;
        manifest->changed_files_sha256 = newest.list_sha256;
        manifest->changed_files_hashes_sha256 = newest.hashes_sha256;
    }
    return true;
}

}  // namespace velda
