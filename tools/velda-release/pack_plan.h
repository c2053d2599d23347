#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "changed_list.h"
#include "manifest_writer.h"
#include "release_patches.h"
#include "release_layout.h"
#include "tree_files.h"

namespace velda {

// One earlier release as the options name it, once its folder is read.
struct EarlierRelease {
    std::string version;
    std::filesystem::path folder;
    std::vector<TreeEntry> tree;
};

// What the options name, once they are known to be usable.
struct PackInputs {
    std::string server;  // cleaned
    std::filesystem::path product;
    std::filesystem::path output;
    std::vector<TreeEntry> new_tree;
    std::vector<EarlierRelease> earlier;  // the newest first
    // With --launcher: its bytes, and the version its version resource gives.
    std::string launcher_bytes;
    std::string launcher_version;
};

// The change set that takes one earlier release to the new one.
struct ChangeSetPlan {
    ReleaseLayout layout;  // its list, hash file and files folder
    ChangedFilesPlan changes;
    std::string list_text;
    bool direct_makes_whole = false;   // Velda.exe is all that differs
    std::vector<PatchRecord> patches;  // the changed files worth sending as patches, path order
};

// The texts and the folder layout of the release, each read back as the launcher reads it.
struct PackPlan {
    ReleaseLayout layout;  // the single change-set fields name the newest earlier version
    std::vector<ChangeSetPlan> sets;  // parallel to PackInputs::earlier
    ReleaseManifest manifest;         // the hashes and sizes are added once the files are written
    std::string manifest_text;
};

// Writes a patch under the set's patch folder for each changed file (one the earlier release
// also holds) whose patch is worth sending, and records it in set->patches. False, with *why,
// when a file cannot be read or written or a patch does not rebuild its file.
[[nodiscard]] bool write_change_set_patches(const EarlierRelease& earlier,
                                            const std::filesystem::path& product,
                                            const std::filesystem::path& staging,
                                            ChangeSetPlan* set, std::string* why);

// Fills the manifest's hash and size members from the files staged for the release and writes
// each change set's hash file and, where it has patches, its patch index; the single change-set
// fields repeat the newest earlier version's set. False, with *error, when a staged file cannot be
// read or written.
[[nodiscard]] bool add_release_hashes(const std::filesystem::path& staging,
                                      const PackInputs& inputs, PackPlan* plan, std::string* error);

}  // namespace velda
