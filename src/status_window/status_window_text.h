#pragma once

#include <cstddef>
#include <cstdint>

#include "status_window/status_window.h"

namespace velda {

constexpr size_t kStatusWindowTextSize = 1024;
constexpr size_t kProgressLineSize = 256;

// Constant text for a key in the chosen language; unknown keys give "" (never null).
const char* status_window_tr(int spanish, const char* key);

// The four-line window text of a record.
void format_status_window_text(const StatusWindowRecord& record, char out[kStatusWindowTextSize]);

void format_download_progress(int spanish, uint32_t done, uint32_t total,
                              char out[kProgressLineSize]);
void format_extract_progress(int spanish, uint32_t done, uint32_t total,
                             char out[kProgressLineSize]);

// Store-only parts of the setters: bounded copies into the record.
void status_window_store_versions(StatusWindowRecord* record, const char* installed,
                                  const char* server);
void status_window_store_message(StatusWindowRecord* record, const char* message);

struct DownloadProgressContext {
    StatusWindowRecord* record;
    int32_t spanish;
    uint64_t last_tick_ms;
    uint32_t last_percent;
};

using TickClock = uint64_t (*)();

// Throttle: true when this report is to be shown (and the context has been updated).
// The clock is read only when there is a record.
[[nodiscard]] bool download_progress_should_show(DownloadProgressContext* context, uint32_t done,
                                                 uint32_t total, TickClock clock);

// The launcher's progress callbacks; user_data is a DownloadProgressContext. Downloads are
// throttled, extraction entries are all shown.
void launcher_download_progress_cb(uint32_t done, uint32_t total, void* user_data);
void launcher_extract_progress_cb(uint32_t done, uint32_t total, void* user_data);

}  // namespace velda
