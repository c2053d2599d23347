#pragma once

#include <cstdint>

#include "common/progress.h"
#include "common/status.h"
#include "install/staged_commit.h"

namespace velda {

// What the manifest says about the changed-files downloads: SHA-256 values as hex text, and the
// URL of the hash file that gives each changed file's; empty texts where nothing was given.
struct ChangedFilesDigests {
    const char* list_sha256 = "";
    const char* hashes_url = "";
    const char* hashes_sha256 = "";
    bool required = false;  // a signed manifest: nothing unchecked may be installed
    // The change set's patch index and where its patches lie; "" when it has none. A file with a
    // patch whose installed copy is the patch's base is made from it; every other comes whole.
    const char* patches_url = "";
    const char* patches_sha256 = "";
    uint64_t patches_size = 0;  // 0 when not given
    const char* patch_base_url = "";
};

// Stages the changed-files list at list_url for install_folder: each download goes into the
// staging folder (begin_staging) and becomes a Put of plan, each deletion of an installed file a
// Delete; a later line about the same path overrides an earlier one. The installation itself is
// not touched. Success when every line staged; else the stage and the reason of the first that
// did not. Every download given a SHA-256, directly or through the hash file, is checked before
// it counts. The list's download reports its progress through callback.
[[nodiscard]] Status stage_changed_files(const char* install_folder, const char* list_url,
                                         const char* base_url, const ChangedFilesDigests& digests,
                                         ProgressCallback callback, void* user_data,
                                         CommitRecord* plan);

}  // namespace velda
