#pragma once

#include <cstddef>
#include <cstdint>

#include "common/path_size.h"
#include "install/changed_files.h"
#include "install/patch_index.h"
#include "net/http_body.h"

namespace velda {

// The binary patches of one changed-files update. A file is made from its patch only when the
// installed copy is exactly the patch's base, the patch matches its SHA-256 and the result
// matches the new file's; anything else leaves it to the whole download, with a detail line.
class ChangedFilePatches {
  public:
    // Fetches and reads the change set's patch index, once; without one (none offered, or one
    // that cannot be fetched or read) every file comes whole.
    void prepare(const char* install_folder, const ChangedFilesDigests& digests);

    bool offered() const { return offered_; }

    // Stages the file at path_text into staged_path from its patch, applied to installed_path.
    // listed_sha256 is the hash file's value for it, or null. True only when staged_path holds
    // the verified new file; otherwise staged_path is gone.
    [[nodiscard]] bool stage(const char* path_text, const char* installed_path,
                             const char* staged_path, const uint8_t* listed_sha256);

    size_t patched() const { return patched_; }

  private:
    [[nodiscard]] bool fetch_index(const ChangedFilesDigests& digests);
    [[nodiscard]] bool apply(const PatchEntry& entry, const char* path_text,
                             const char* installed_path, const char* staged_path);

    bool offered_ = false;
    bool ready_ = false;
    const char* base_url_ = "";
    char patch_path_[kPathSize] = {};  // where each patch is downloaded, in staging
    HttpBody index_text_;              // the text index_ points into
    PatchIndex index_;
    size_t patched_ = 0;
};

}  // namespace velda
