#pragma once

#include "popup/popup_text.h"

// Applies the changed-files list at list_url onto install_folder. True when every line applied.
bool apply_changed_files(const char* install_folder, const char* list_url, const char* base_url,
                         DownloadProgressContext* progress);
