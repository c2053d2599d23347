#pragma once

#include "popup/status_popup.h"

// Unpacks zip_path into destination through a hidden PowerShell child, showing its progress.
// True when the child exited with code 0.
bool extract_zip_with_progress(const char* zip_path, const char* destination, StatusPopup* popup,
                               int spanish);
