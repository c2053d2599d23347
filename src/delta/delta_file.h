#pragma once

#include <cstdint>

#include "delta/delta_patch.h"

namespace velda {

// Applies the patch file to the base file, writing the new file (created or truncated) at
// result_path; UTF-8 paths, as every launcher path. Memory stays bounded. A file that does not
// open reads as PatchReadFailed, BaseReadFailed or OutputFailed; what a failed application wrote
// stays at result_path for the caller to delete.
[[nodiscard]] DeltaResult apply_delta_patch_file(const char* patch_path, const char* base_path,
                                                 const char* result_path, uint64_t result_size);

}  // namespace velda
