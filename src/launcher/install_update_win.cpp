#include <windows.h>

#include <cstring>

#include "install/changed_files.h"
#include "install/download_digest.h"
#include "install/download_journal.h"
#include "install/download_retry.h"
#include "install/extract.h"
#include "install/zip_directory.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/status.h"
#include "common/text.h"
#include "common/wide.h"
#include "common/win_handle.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_plan.h"
#include "net/http.h"
#include "net/url_filename.h"
#include "start/command_line.h"
#include "start/process.h"

namespace velda {

namespace {

constexpr DWORD kKillSucceeded = 0;
constexpr DWORD kKillFoundNothing = 128;
constexpr DWORD kPauseAfterKillMs = 250;
constexpr int kWideUrlUnits = 2048;

// The steps of every error that ends an update; why goes to the support log.
bool fail_update(LauncherRun* run, const char* message, const Status& why) {
    log_status_detail(why);
    run->status_window.destroy();
    show_error_box(message);
    return false;
}

void end_running_products() {
    char command[2048] = {};
    unsigned long exit_code = 1;
    if (!format_kill_command(kProductFileName, command, sizeof(command)) ||
        !run_hidden(command, nullptr, &exit_code)) {
        char line[192] = {};
        format_bounded(line, sizeof(line),
                       "taskkill Velda.exe no se pudo ejecutar. GetLastError=%lu", GetLastError());
        log_line(line);
        return;
    }

    if (exit_code == kKillSucceeded) {
        log_line("Procesos Velda.exe activos cerrados antes de actualizar.");
        Sleep(kPauseAfterKillMs);
    } else if (exit_code == kKillFoundNothing) {
        log_line("No habia procesos Velda.exe activos para cerrar.");
    } else {
        char line[192] = {};
        format_bounded(line, sizeof(line), "taskkill Velda.exe devolvio codigo %lu", exit_code);
        log_line(line);
    }
}

Status download_direct_executable(LauncherRun* run) {
    log_line("Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct...");
    ExpectedDigest digest = ExpectedDigest::from_field(run->manifest.direct_sha256);
    if (!download_may_start(digest, run->manifest_signed, kProductFileName)) {
        return Status::failure(StatusStage::Download);
    }
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(kDirectDownloadUrl, wide_url, kWideUrlUnits);
    ContinuableDownload download;
    TransferResult result =
        download_with_retries(wide_url, run->paths.product_path, launcher_download_progress_cb,
                              &run->progress, digest.bytes(), &download, false);
    log_transfer_failure(kDirectDownloadUrl, result);
    log_if_digest_mismatch(result, kProductFileName);
    return result.ok() ? Status::success() : Status::failure(StatusStage::Download);
}

// "<install folder>\<name>.velda-part"; false when the path would not fit whole.
bool partial_path_of(const char* install_folder, const char* name, char out[kPathSize]) {
    char target[kPathSize] = {};
    out[0] = '\0';
    return join_path(install_folder, name, target) && part_path_of(target, out);
}

// A journal line that could not be written leaves less for a later run to clean or continue.
void log_if_not_journaled(bool written, const char* what) {
    if (!written) {
        log_detail("No se pudo anotar en %s: %s", kDownloadJournalName, what);
    }
}

// The partial package that the journal records, which the sweeps leave for a later run;
// empty when there is none.
void recorded_partial_path(const char* install_folder, char out[kPathSize]) {
    out[0] = '\0';
    JournalPartial record;
    if (!journal_last_partial(install_folder, &record) ||
        !partial_path_of(install_folder, record.file_name, out)) {
        out[0] = '\0';
    }
}

struct PackageRecord {
    const char* install_folder;
    const char* package_name;
    const char* url;
};

// The package's body has begun: a run ended from outside from now on leaves a part that the
// next run can continue.
void note_package_partial(const PartFile& part, void* context) {
    const PackageRecord* record = static_cast<const PackageRecord*>(context);
    log_if_not_journaled(journal_note_partial(record->install_folder, record->package_name,
                                              record->url, part.partial()),
                         record->package_name);
}

// A part of this package from this URL that an earlier run left is continued; any other
// recorded part is deleted.
void continue_recorded_package(const LauncherRun* run, ContinuableDownload* download) {
    const char* folder = run->paths.install_folder;
    JournalPartial record;
    if (!journal_last_partial(folder, &record)) {
        return;
    }
    if (std::strcmp(record.file_name, run->package_name) == 0 &&
        std::strcmp(record.url, run->manifest.url) == 0) {
        download->part = PartFile::recorded(record.partial);
        return;
    }
    char stale[kPathSize] = {};
    if (partial_path_of(folder, record.file_name, stale)) {
        DeleteFileA(stale);
    }
}

// Packages left by earlier runs; subfolders are not searched.
void remove_stale_packages(const char* install_folder) {
    log_line("Limpiando directorios...");
    char pattern[kPathSize] = {};
    format_bounded(pattern, sizeof(pattern), "%s\\*.zip", install_folder);
    WIN32_FIND_DATAA entry = {};
    UniqueFindHandle search(FindFirstFileA(pattern, &entry));
    if (!search) {
        return;
    }
    do {
        // A name longer than the ANSI buffer comes back cut; such a name is not a package.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            ends_with_ignoring_ascii_case(entry.cFileName, ".zip")) {
            char stale[kPathSize] = {};
            if (join_path(install_folder, entry.cFileName, stale)) {
                DeleteFileA(stale);
            }
        }
    } while (FindNextFileA(search.get(), &entry));
}

// The extraction script writes every entry wherever its name points; a package with one entry
// that would land outside the install folder is refused whole, before anything is written.
bool package_stays_inside(const char* package_path) {
    char bad_name[kPathSize] = {};
    switch (check_zip_file(package_path, bad_name, sizeof(bad_name))) {
        case ZipCheck::Safe:
            return true;
        case ZipCheck::Unsafe: {
            char line[512] = {};
            format_bounded(line, sizeof(line),
                           "Paquete rechazado: la entrada %s queda fuera de la carpeta de "
                           "instalacion.",
                           bad_name);
            log_line(line);
            return false;
        }
        case ZipCheck::Malformed:
            log_line("Paquete rechazado: no se pudo leer el directorio del ZIP.");
            return false;
    }
    return false;
}

// The package could not be had: the update ends.
Status fail_with_package(LauncherRun* run, Status why) {
    fail_update(run, "No se pudo descargar el ZIP de Velda.", why);
    return why;
}

Status install_full_package(LauncherRun* run) {
    remove_stale_packages(run->paths.install_folder);
    log_line("Nueva version detectada, descargando zip completo...");
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(run->manifest.url, wide_url, kWideUrlUnits);
    char package_path[kPathSize] = {};
    if (!join_path(run->paths.install_folder, run->package_name, package_path)) {
        return fail_with_package(
            run, Status::failure(StatusStage::Download, 0, "ruta demasiado larga: %s",
                                 run->package_name));
    }
    ExpectedDigest digest = ExpectedDigest::from_field(run->manifest.package_sha256);
    if (!download_may_start(digest, run->manifest_signed, run->package_name)) {
        return fail_with_package(run, Status::failure(StatusStage::Download));
    }
    ContinuableDownload download;
    continue_recorded_package(run, &download);
    PackageRecord record{run->paths.install_folder, run->package_name, run->manifest.url};
    download.on_new_body = note_package_partial;
    download.context = &record;
    log_if_not_journaled(journal_mark_package_installation(run->paths.install_folder),
                         "instalacion del paquete en curso");
    log_if_not_journaled(journal_note(run->paths.install_folder, run->package_name),
                         run->package_name);
    // The package is checked whole before its entries are looked at or anything is unpacked.
    TransferResult result =
        download_with_retries(wide_url, package_path, launcher_download_progress_cb, &run->progress,
                              digest.bytes(), &download, true);
    if (!result) {
        log_transfer_failure(run->manifest.url, result);
        log_if_digest_mismatch(result, run->package_name);
        return fail_with_package(run, Status::failure(StatusStage::Download));
    }
    Status extracted = package_stays_inside(package_path)
                           ? extract_zip_with_progress(package_path, run->paths.install_folder,
                                                       launcher_extract_progress_cb, &run->progress)
                           : Status::failure(StatusStage::PackageCheck);
    DeleteFileA(package_path);
    if (!extracted) {
        fail_update(run, "No se pudo descomprimir la actualizacion.", extracted);
    }
    return extracted;
}

// A run that was ended from outside leaves its partial downloads behind, in any folder that a
// changed file lives in. keep (empty for none) is the one the journal records.
void remove_partial_downloads(const char* folder, const char* keep) {
    char pattern[kPathSize] = {};
    format_bounded(pattern, sizeof(pattern), "%s\\*", folder);
    WIN32_FIND_DATAA entry = {};
    UniqueFindHandle search(FindFirstFileA(pattern, &entry));
    if (!search) {
        return;
    }
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        char path[kPathSize] = {};
        if (!join_path_quietly(folder, entry.cFileName, path)) {
            continue;  // A cut path would name some other file.
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                remove_partial_downloads(path, keep);
            }
        } else if (ends_with_ignoring_ascii_case(entry.cFileName, kPartialDownloadSuffix) &&
                   !equals_ignoring_ascii_case(path, keep)) {
            DeleteFileA(path);
        }
    } while (FindNextFileA(search.get(), &entry));
}

bool delete_file(const char* path) {
    return DeleteFileA(path) != FALSE;
}

// Partial downloads anywhere, and the packages and lists that the journal names: what a run
// that was ended from outside leaves behind. Swept again when this run ends, in every outcome.
class InterruptedRunCleanup {
  public:
    explicit InterruptedRunCleanup(const char* install_folder) : install_folder_(install_folder) {
        sweep();
    }
    ~InterruptedRunCleanup() { sweep(); }
    InterruptedRunCleanup(const InterruptedRunCleanup&) = delete;
    InterruptedRunCleanup& operator=(const InterruptedRunCleanup&) = delete;

  private:
    void sweep() {
        char keep[kPathSize] = {};
        recorded_partial_path(install_folder_, keep);
        remove_partial_downloads(install_folder_, keep);
        journal_sweep(install_folder_, delete_file);
    }
    const char* install_folder_;
};

Status apply_changed_files_of(LauncherRun* run) {
    const Manifest& manifest = run->manifest;
    char list_name[kPathSize] = {};
    extract_filename_from_url(manifest.changed_files_url, list_name);
    if (list_name[0] != '\0') {
        log_if_not_journaled(journal_note(run->paths.install_folder, list_name), list_name);
    }
    ChangedFilesDigests digests;
    digests.list_sha256 = manifest.changed_files_sha256;
    digests.hashes_url = manifest.changed_files_hashes_url;
    digests.hashes_sha256 = manifest.changed_files_hashes_sha256;
    digests.required = run->manifest_signed;
    return apply_changed_files(run->paths.install_folder, manifest.changed_files_url,
                               manifest.changed_files_base_url, digests,
                               launcher_download_progress_cb, &run->progress);
}

// Tries the plan's means in order until one installs; false once an error box was shown. The
// reason a means failed is logged where the next one takes over.
bool carry_out(const UpdatePlan& plan, LauncherRun* run) {
    if (plan.opening_line != nullptr) {
        log_line(plan.opening_line);
    }
    for (size_t i = 0; i < plan.means_count; ++i) {
        switch (plan.means[i]) {
            case UpdateMeans::ChangedFiles: {
                Status applied = apply_changed_files_of(run);
                if (applied) {
                    return true;
                }
                log_status_detail(applied);
                break;
            }
            case UpdateMeans::KillProducts:
                end_running_products();
                break;
            case UpdateMeans::DirectExecutable: {
                Status downloaded = download_direct_executable(run);
                if (downloaded) {
                    return true;
                }
                log_status_detail(downloaded);
                log_line(
                    "Fallo descarga directa de Velda.exe, se usara ZIP completo como "
                    "respaldo.");
                break;
            }
            case UpdateMeans::Package:
                return install_full_package(run).ok();
        }
    }
    return false;
}

}  // namespace

bool install_update(LauncherRun* run, const UpdatePlan& plan) {
    run->progress = {run->status_window.present() ? run->status_window.record() : nullptr,
                     run->spanish, 0, 0};
    InterruptedRunCleanup cleanup(run->paths.install_folder);

    if (!carry_out(plan, run)) {
        return false;
    }

    const char* product = run->paths.product_path;
    if (!file_exists_not_directory(product)) {
        char line[256] = {};
        format_bounded(line, sizeof(line), "Validacion post-update fallo: no existe %s", product);
        log_line(line);
        return fail_update(
            run,
            "Actualizacion incompleta: el paquete no contiene Velda.exe en la carpeta esperada.",
            Status::failure(StatusStage::Validation));
    }
    if (!write_version_stamp(run->paths.stamp_path, run->manifest.version)) {
        // The update failed, but its files are in place and the product starts all the same.
        // The next run finds the old stamp and updates again; a package installation's mark
        // stays for it, since the folder was never stamped whole.
        log_status_detail(Status::failure(StatusStage::VersionStamp, GetLastError(),
                                          "no se pudo escribir %s", run->paths.stamp_path));
        return true;
    }
    journal_finish_installation(run->paths.install_folder, delete_file);
    return true;
}

}  // namespace velda
