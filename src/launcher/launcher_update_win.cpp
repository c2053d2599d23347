#include "launcher/launcher_update.h"

#include <windows.h>

#include <string>

#include "common/busy_file.h"
#include "common/expected_digest.h"
#include "common/fs.h"
#include "common/install_paths.h"
#include "common/launcher_version.h"
#include "common/log.h"
#include "common/release_keys.h"
#include "common/status.h"
#include "common/text.h"
#include "common/wide.h"
#include "common/win_handle.h"
#include "install/disk_room.h"
#include "install/download_digest.h"
#include "install/download_retry.h"
#include "launcher/install_means.h"
#include "launcher/run_state.h"
#include "net/http.h"
#include "status_window/status_window_text.h"

namespace velda {

namespace {

constexpr size_t kRecordBound = 256;
constexpr wchar_t kLauncherFileNameWide[] = L"VeldaLauncher.exe";

// "<launcher folder>\<name>"; false when it would not fit.
bool beside_launcher(const LauncherRun& run, const char* name, char out[kPathSize]) {
    return join_path(run.launcher_folder, name, out);
}

void remove_beside_launcher(const LauncherRun& run, const char* name) {
    char path[kPathSize] = {};
    if (beside_launcher(run, name, path) && file_exists_not_directory(path) &&
        !delete_file_when_free(path)) {
        log_detail("No se pudo borrar %s (GetLastError=%lu)", path, GetLastError());
    }
}

// The new launcher and what its download, or a cut write of the record, left.
void remove_new_launcher(const LauncherRun& run) {
    remove_beside_launcher(run, kNewLauncherFileName);
    for (const char* name : {kNewLauncherFileName, kHandOverRecordName}) {
        std::string part = std::string(name) + kPartialDownloadSuffix;
        remove_beside_launcher(run, part.c_str());
    }
}

bool read_hand_over_record(const LauncherRun& run, HandOverRecord* out) {
    char path[kPathSize] = {};
    if (!beside_launcher(run, kHandOverRecordName, path)) {
        return false;
    }
    UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char bytes[kRecordBound] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), bytes, sizeof(bytes), &read, nullptr)) {
        return false;
    }
    return parse_hand_over_record(std::string_view(bytes, read), out);
}

// Written whole beside the launcher, then moved over the record in one step.
[[nodiscard]] Status write_hand_over_record(const LauncherRun& run, const HandOverRecord& record) {
    char path[kPathSize] = {};
    char temporary[kPathSize] = {};
    if (!beside_launcher(run, kHandOverRecordName, path) || !part_path_of(path, temporary)) {
        return Status::failure(StatusStage::Staging, 0, "ruta del registro del relevo");
    }
    if (!write_flushed_file(temporary, format_hand_over_record(record)) ||
        !replace_file_when_free(temporary, path)) {
        DWORD error = GetLastError();
        static_cast<void>(DeleteFileA(temporary));
        return Status::failure(StatusStage::Staging, error, "no se pudo escribir %s", path);
    }
    return Status::success();
}

// True when this process runs from "<launcher folder>\VeldaLauncher.exe": only that file is
// replaced, and only under that name does the next start run the new launcher.
bool runs_as_launcher_file() {
    static wchar_t module[32768];
    DWORD units = GetModuleFileNameW(nullptr, module, 32768);
    if (units == 0 || units >= 32768) {
        return false;
    }
    const wchar_t* name = module;
    for (const wchar_t* c = module; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/') {
            name = c + 1;
        }
    }
    return lstrcmpiW(name, kLauncherFileNameWide) == 0;
}

// Handed over to: this process runs from VeldaLauncher.new.exe; one rename puts it in place.
void take_launcher_file_over(LauncherRun* run) {
    char own_path[kPathSize] = {};
    char target[kPathSize] = {};
    bool placed = beside_launcher(*run, kNewLauncherFileName, own_path) &&
                  beside_launcher(*run, kLauncherFileName, target) &&
                  replace_file_when_free(own_path, target);
    if (!placed) {
        log_detail("Fallo en relevo del lanzador: no se pudo mover %s sobre %s (GetLastError=%lu)",
                   own_path, target, GetLastError());
        log_line(
            "No se pudo poner el lanzador nuevo en su sitio; el proximo inicio usa el "
            "anterior.");
        return;
    }
    remove_beside_launcher(*run, kHandOverRecordName);
    char line[128] = {};
    format_bounded(line, sizeof(line), "Lanzador actualizado a la version %s.", launcher_version());
    log_line(line);
}

// Not handed over to: what an earlier hand-over left, judged against this launcher.
void settle_leftover_hand_over(LauncherRun* run) {
    HandOverRecord record;
    bool found = read_hand_over_record(*run, &record);
    switch (judge_leftover_hand_over(found ? &record : nullptr, launcher_version())) {
        case LeftoverHandOver::None:
        case LeftoverHandOver::Finished:
            remove_beside_launcher(*run, kHandOverRecordName);
            break;
        case LeftoverHandOver::CutOff: {
            char line[192] = {};
            format_bounded(line, sizeof(line),
                           "El lanzador %s no llego a tomar el relevo; se mantiene el lanzador %s.",
                           record.version.c_str(), launcher_version());
            log_line(line);
            record.failed = true;
            log_status_detail(write_hand_over_record(*run, record));
            [[fallthrough]];
        }
        case LeftoverHandOver::Refused:
            copy_bounded(run->refused_launcher_version, sizeof(run->refused_launcher_version),
                         record.version.c_str());
            break;
    }
    remove_new_launcher(*run);
}

[[nodiscard]] Status download_offered_launcher(LauncherRun* run, const OfferedLauncher& offered) {
    ExpectedDigest digest = ExpectedDigest::from_field(offered.sha256.c_str());
    char target[kPathSize] = {};
    if (!download_may_start(digest, true, kLauncherFileName) ||
        !beside_launcher(*run, kNewLauncherFileName, target)) {
        return Status::failure(StatusStage::Download);
    }
    if (!room_for(*run, kLauncherFileName, direct_executable_need(offered.size))) {
        return Status::failure(StatusStage::Download, 0, "sin espacio para %s", kLauncherFileName);
    }
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(offered.url.c_str(), wide_url, kWideUrlUnits);
    ContinuableDownload download;
    download.max_bytes = offered.size;
    TransferResult result = download_with_retries(wide_url, target, launcher_download_progress_cb,
                                                  &run->progress, digest.bytes(), &download, false);
    log_transfer_failure(offered.url.c_str(), result);
    log_if_digest_mismatch(result, kLauncherFileName);
    return result.ok() ? Status::success() : Status::failure(StatusStage::Download);
}

// Starts VeldaLauncher.new.exe with this run's command line and standard handles; the variable
// tells it that it was handed this run, and by which process.
[[nodiscard]] Status start_new_launcher(const LauncherRun& run) {
    char path[kPathSize] = {};
    static wchar_t wide_path[32768];
    if (!beside_launcher(run, kNewLauncherFileName, path) ||
        !ansi_path_to_wide(path, wide_path, 32768)) {
        return Status::failure(StatusStage::Staging, 0, "ruta de %s", kNewLauncherFileName);
    }
    std::wstring command_line = GetCommandLineW();
    std::wstring own_id = std::to_wstring(GetCurrentProcessId());
    wchar_t variable[32] = {};
    utf8_to_wide(kHandOverVariable, variable, 32);
    if (!SetEnvironmentVariableW(variable, own_id.c_str())) {
        return Status::failure(StatusStage::Staging, GetLastError(), "entorno del relevo");
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    give_up_single_instance();
    BOOL started = CreateProcessW(wide_path, command_line.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &info);
    DWORD error = GetLastError();
    SetEnvironmentVariableW(variable, nullptr);
    if (!started) {
        return Status::failure(StatusStage::Staging, error, "no se pudo iniciar %s", path);
    }
    ChildProcess child(info);  // it runs on by itself; only our handles to it close
    if (!lend_single_instance_to(child.process.get())) {
        log_detail("El lanzador nuevo no recibio el mutex de instancia unica (GetLastError=%lu)",
                   GetLastError());
    }
    return Status::success();
}

// Offered a newer launcher: the log line of each other answer, false when it is not taken.
bool offer_taken(const LauncherRun& run) {
    char line[192] = {};
    const OfferedLauncher* offered = run.offered_launcher ? &*run.offered_launcher : nullptr;
    switch (judge_launcher_offer(run.offered_launcher, launcher_version(), run.started_by_hand_over,
                                 run.refused_launcher_version)) {
        case LauncherOffer::None:
            return false;
        case LauncherOffer::NotNewer:
            log_detail("Lanzador del servidor %s no es mas nuevo que este (%s); no se actualiza",
                       offered->version.c_str(), launcher_version());
            return false;
        case LauncherOffer::RefusedEarlier:
            format_bounded(line, sizeof(line),
                           "El lanzador %s ya fallo al tomar el relevo; se sigue con el lanzador "
                           "%s.",
                           offered->version.c_str(), launcher_version());
            log_line(line);
            return false;
        case LauncherOffer::Take:
            break;
    }
    format_bounded(line, sizeof(line), "Actualizando el lanzador a la version %s...",
                   offered->version.c_str());
    log_line(line);
    return true;
}

}  // namespace

void settle_launcher_hand_over(LauncherRun* run) {
    if (kReleasePublicKeyCount == 0) {
        return;
    }
    if (run->started_by_hand_over) {
        take_launcher_file_over(run);
    } else {
        settle_leftover_hand_over(run);
    }
}

bool hand_over_to_offered_launcher(LauncherRun* run) {
    if (kReleasePublicKeyCount == 0 || !offer_taken(*run)) {
        return false;
    }
    const OfferedLauncher& offered = *run->offered_launcher;
    run->status_window.set_message(status_window_tr(run->spanish, "updating_launcher"));
    Status handed = runs_as_launcher_file()
                        ? Status::success()
                        : Status::failure(StatusStage::Staging, 0,
                                          "el lanzador no se ejecuta como %s", kLauncherFileName);
    if (handed) {
        handed = download_offered_launcher(run, offered);
    }
    if (handed) {
        handed = write_hand_over_record(*run, {offered.version, false});
    }
    if (handed) {
        handed = start_new_launcher(*run);
    }
    if (!handed) {
        log_status_detail(handed);
        log_line("No se pudo actualizar el lanzador; se sigue con el actual.");
        remove_new_launcher(*run);
        remove_beside_launcher(*run, kHandOverRecordName);
        return false;
    }
    run->status_window.destroy();
    return true;
}

}  // namespace velda
