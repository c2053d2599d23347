#pragma once

#include "common/progress.h"

// Applies the changed-files list at list_url onto install_folder. True when every line applied.
// The list's download reports its progress through callback.
bool apply_changed_files(const char* install_folder, const char* list_url, const char* base_url,
                         ProgressCallback callback, void* user_data);
