#pragma once

#include "common/progress.h"
#include "common/status.h"

namespace velda {

// Unpacks zip_path into destination through a hidden PowerShell child, reporting the entries
// done through callback (0 of 1 once the child has started). Success when the child exited with
// 0; else the child's exit code and the first line it wrote on stderr.
[[nodiscard]] Status extract_zip_with_progress(const char* zip_path, const char* destination,
                                               ProgressCallback callback, void* user_data);

}  // namespace velda
