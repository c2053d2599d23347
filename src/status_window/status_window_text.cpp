#include "status_window/status_window_text.h"

#include <cstring>

#include "common/text.h"

namespace velda {

namespace {

struct StatusWindowText {
    const char* key;
    const char* spanish;
    const char* english;
};

constexpr StatusWindowText kStatusWindowTexts[] = {
    {"title", "Velda Launcher", "Velda Launcher"},
    {"installed", "Version instalada", "Installed version"},
    {"server", "Version servidor", "Server version"},
    {"none", "ninguna", "none"},
    {"downloading", "Descargando archivos necesarios.", "Downloading required files."},
    {"extracting", "Descomprimiendo archivos de actualizacion.", "Extracting update files."},
    {"starting", "Iniciando Velda.", "Starting Velda."},
    {"updating_launcher", "Actualizando el lanzador...", "Updating the launcher..."},
    {"ready", "Listo.", "Ready."},
};

constexpr double kBytesPerMegabyte = 1048576.0;
constexpr uint64_t kThrottleMs = 120;

uint32_t capped_percent(uint32_t done, uint32_t total) {
    uint64_t percent = static_cast<uint64_t>(done) * 100u / total;
    return percent > 100 ? 100u : static_cast<uint32_t>(percent);
}

}  // namespace

const char* status_window_tr(int spanish, const char* key) {
    for (const StatusWindowText& text : kStatusWindowTexts) {
        if (std::strcmp(text.key, key) == 0) {
            return spanish ? text.spanish : text.english;
        }
    }
    return "";
}

void format_status_window_text(const StatusWindowRecord& record, char out[kStatusWindowTextSize]) {
    const char* installed = record.installed_version[0] ? record.installed_version
                                                        : status_window_tr(record.spanish, "none");
    const char* server = record.server_version[0] ? record.server_version : "-";
    format_bounded(out, kStatusWindowTextSize, "%s: %s\r\n%s: %s\r\n\r\n%s",
                   status_window_tr(record.spanish, "installed"), installed,
                   status_window_tr(record.spanish, "server"), server, record.message);
}

void format_download_progress(int spanish, uint32_t done, uint32_t total,
                              char out[kProgressLineSize]) {
    char received[32];
    format_bounded(received, sizeof(received), "%.1f MB", done / kBytesPerMegabyte);
    if (total != 0) {
        char announced[32];
        format_bounded(announced, sizeof(announced), "%.1f MB", total / kBytesPerMegabyte);
        format_bounded(
            out, kProgressLineSize, "%s %lu%% (%s / %s)", status_window_tr(spanish, "downloading"),
            static_cast<unsigned long>(capped_percent(done, total)), received, announced);
    } else {
        format_bounded(out, kProgressLineSize, "%s %s", status_window_tr(spanish, "downloading"),
                       received);
    }
}

void format_extract_progress(int spanish, uint32_t done, uint32_t total,
                             char out[kProgressLineSize]) {
    uint32_t shown_total = total == 0 ? 1 : total;
    format_bounded(out, kProgressLineSize, "%s %lu%% (%lu/%lu)",
                   status_window_tr(spanish, "extracting"),
                   static_cast<unsigned long>(capped_percent(done, shown_total)),
                   static_cast<unsigned long>(done), static_cast<unsigned long>(shown_total));
}

void status_window_store_versions(StatusWindowRecord* record, const char* installed,
                                  const char* server) {
    copy_bounded(record->installed_version, sizeof(record->installed_version), installed);
    copy_bounded(record->server_version, sizeof(record->server_version), server);
}

void status_window_store_message(StatusWindowRecord* record, const char* message) {
    copy_bounded(record->message, sizeof(record->message), message);
}

bool download_progress_should_show(DownloadProgressContext* context, uint32_t done, uint32_t total,
                                   TickClock clock) {
    if (context == nullptr || context->record == nullptr) {
        return false;
    }
    uint32_t percent = 0;
    uint64_t now = 0;
    if (total != 0) {
        percent = capped_percent(done, total);
        now = clock();
        bool same_percent = percent == context->last_percent;
        bool too_soon = now - context->last_tick_ms < kThrottleMs;
        if (same_percent && too_soon && done < total) {
            return false;
        }
    } else {
        now = clock();
        if (now - context->last_tick_ms < kThrottleMs) {
            return false;
        }
    }
    context->last_tick_ms = now;
    context->last_percent = percent;
    return true;
}

}  // namespace velda
