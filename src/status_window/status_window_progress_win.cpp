#include <windows.h>

#include "status_window/status_window_text.h"

namespace velda {

namespace {

uint64_t tick_clock() {
    return GetTickCount64();
}

}  // namespace

void launcher_download_progress_cb(uint32_t done, uint32_t total, void* user_data) {
    auto* context = static_cast<DownloadProgressContext*>(user_data);
    if (download_progress_should_show(context, done, total, tick_clock)) {
        status_window_set_download_progress(context->record, context->spanish, done, total);
    }
}

void launcher_extract_progress_cb(uint32_t done, uint32_t total, void* user_data) {
    auto* context = static_cast<DownloadProgressContext*>(user_data);
    if (context->record != nullptr) {
        status_window_set_extract_progress(context->record, context->spanish, done, total);
    }
}

}  // namespace velda
