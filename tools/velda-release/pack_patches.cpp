#include <algorithm>
#include <span>

#include "delta_maker.h"
#include "install/patch_index.h"
#include "pack_plan.h"
#include "release_crypto.h"
#include "release_patches.h"

namespace velda {

namespace fs = std::filesystem;

namespace {

// The maker holds about five times the base in memory: larger files are sent whole only.
constexpr uintmax_t kMaxPatchedFileSize = uintmax_t{1} << 30;

std::span<const uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool is_earlier_file(const EarlierRelease& earlier, const std::string& path) {
    auto found = std::lower_bound(
        earlier.tree.begin(), earlier.tree.end(), path,
        [](const TreeEntry& entry, const std::string& wanted) { return entry.path < wanted; });
    return found != earlier.tree.end() && found->path == path && !found->is_directory;
}

// The patch from the earlier file to the new one, kept when it is worth sending; applied here
// first, so that a patch the maker got wrong never reaches a launcher.
bool patch_one_file(const EarlierRelease& earlier, const fs::path& product, const std::string& path,
                    const fs::path& patch_folder, ChangeSetPlan* set, std::string* why) {
    std::string base;
    std::string result;
    if (!read_file_bytes(tree_path(earlier.folder, path), &base) ||
        !read_file_bytes(tree_path(product, path), &result)) {
        *why = "cannot read both versions of " + path + " to make its patch";
        return false;
    }
    std::vector<uint8_t> patch = make_delta_patch(bytes_of(base), bytes_of(result));
    if (!patch_worth_sending(patch.size(), result.size())) {
        return true;
    }
    std::string applied;
    if (!apply_patch_in_memory(patch, bytes_of(base), result.size(), &applied, why) ||
        applied != result) {
        *why = "the patch made for " + path + " does not rebuild it" +
               (why->empty() ? std::string() : ": " + *why);
        return false;
    }
    std::string patch_bytes(patch.begin(), patch.end());
    fs::path target = tree_path(patch_folder, path + kPatchFileSuffix);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (!write_file_bytes(target, patch_bytes)) {
        *why = "cannot write " + target.string();
        return false;
    }
    set->patches.push_back({path, release_sha256_hex(patch_bytes), patch.size(),
                            release_sha256_hex(base), release_sha256_hex(result),
                            static_cast<uint64_t>(result.size())});
    return true;
}

}  // namespace

bool write_change_set_patches(const EarlierRelease& earlier, const fs::path& product,
                              const fs::path& staging, ChangeSetPlan* set, std::string* why) {
    fs::path patch_folder = tree_path(staging, set->layout.patch_files_path);
    for (const std::string& path : set->changes.downloads) {
        std::error_code ec;
        uintmax_t base_size = fs::file_size(tree_path(earlier.folder, path), ec);
        if (is_earlier_file(earlier, path) && !ec && base_size <= kMaxPatchedFileSize &&
            !patch_one_file(earlier, product, path, patch_folder, set, why)) {
            return false;
        }
    }
    return true;
}

}  // namespace velda
