#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "install/changed_files.h"
#include "install/disk_room.h"
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
#include "launcher/release_commit.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_plan.h"
#include "launcher/update_texts.h"
#include "net/http.h"
#include "net/url_filename.h"

namespace velda {

namespace {

constexpr int kWideUrlUnits = 2048;

// The steps of every error that ends an update; why goes to the support log.
bool fail_update(LauncherRun* run, const char* message, const Status& why) {
    log_status_detail(why);
    run->status_window.destroy();
    show_error_box(message);
    return false;
}

enum class MeansResult {
    Installed,
    Failed,     // an error box was shown
    Postponed,  // the product keeps a window open
    Next,       // nothing changed: the next means takes over
};

// False, with a line naming what the means needs and what is free, when the volume cannot hold
// what it writes. A need the manifest does not give, or a volume that cannot be read, holds
// nothing back.
bool room_for(const LauncherRun& run, const char* means_name, const DiskRoomNeed& need) {
    VolumeRoom room = {};
    if (!need.known || !query_volume_room(run.paths.install_folder, &room) ||
        disk_has_room(need, room)) {
        return true;
    }
    char line[kNoRoomLineSize] = {};
    format_no_room_line(means_name, need, room, line);
    log_line(line);
    return false;
}

// What a commit that did not take place means for the run: the same error box as the means'
// other failures, or the next means.
MeansResult after_commit(LauncherRun* run, ReleaseCommit committed, const Status& why) {
    switch (committed) {
        case ReleaseCommit::Committed:
            return MeansResult::Installed;
        case ReleaseCommit::NothingChanged:
            log_status_detail(why);
            return MeansResult::Next;
        case ReleaseCommit::NoProduct: {
            char line[256] = {};
            format_bounded(line, sizeof(line), "Validacion post-update fallo: no existe %s",
                           run->paths.product_path);
            log_line(line);
            fail_update(run,
                        "Actualizacion incompleta: el paquete no contiene Velda.exe en la carpeta "
                        "esperada.",
                        Status::failure(StatusStage::Validation));
            return MeansResult::Failed;
        }
        case ReleaseCommit::Postponed:
            return MeansResult::Postponed;
        case ReleaseCommit::Stuck:
            break;
    }
    fail_update(run, kCommitStuckBox, why);
    return MeansResult::Failed;
}

CommitRecord release_plan(const LauncherRun& run) {
    CommitRecord plan;
    plan.version = run.manifest.version;
    return plan;
}

// Velda.exe alone, downloaded into staging.
Status stage_direct_executable(LauncherRun* run, CommitRecord* plan) {
    ExpectedDigest digest = ExpectedDigest::from_field(run->manifest.direct_sha256);
    if (!download_may_start(digest, run->manifest_signed, kProductFileName)) {
        return Status::failure(StatusStage::Download);
    }
    Status staging = start_staging(*run);
    char staged_path[kPathSize] = {};
    if (!staging) {
        return staging;
    }
    if (!prepare_staged_path(run->paths.install_folder, kProductFileName, staged_path)) {
        return Status::failure(StatusStage::Staging, GetLastError(), "no se pudo preparar %s",
                               kProductFileName);
    }
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(kDirectDownloadUrl, wide_url, kWideUrlUnits);
    ContinuableDownload download;
    TransferResult result =
        download_with_retries(wide_url, staged_path, launcher_download_progress_cb, &run->progress,
                              digest.bytes(), &download, false);
    log_transfer_failure(kDirectDownloadUrl, result);
    log_if_digest_mismatch(result, kProductFileName);
    if (!result.ok()) {
        return Status::failure(StatusStage::Download);
    }
    plan->entries.push_back({kProductFileName, CommitChange::Put});
    return Status::success();
}

MeansResult install_direct_executable(LauncherRun* run) {
    const ReleaseSizes& sizes = run->release.sizes;
    if (sizes.direct && !room_for(*run, kProductFileName, direct_executable_need(*sizes.direct))) {
        return MeansResult::Next;
    }
    log_line("Instalacion previa detectada, descargando solo Velda.exe desde /downloads/direct...");
    CommitRecord plan = release_plan(*run);
    Status staged = stage_direct_executable(run, &plan);
    MeansResult result = MeansResult::Next;
    if (staged) {
        Status why = Status::success();
        result = after_commit(run, commit_release(run, plan, &why), why);
    } else {
        log_status_detail(staged);
    }
    if (result == MeansResult::Next) {
        log_line("Fallo descarga directa de Velda.exe, se usara ZIP completo como respaldo.");
    }
    return result;
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

// The package downloaded beside the installation and checked whole, before its entries are
// looked at or anything is unpacked.
Status download_package(LauncherRun* run, char package_path[kPathSize]) {
    remove_stale_packages(run->paths.install_folder);
    log_line("Nueva version detectada, descargando zip completo...");
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(run->manifest.url, wide_url, kWideUrlUnits);
    if (!join_path(run->paths.install_folder, run->package_name, package_path)) {
        return Status::failure(StatusStage::Download, 0, "ruta demasiado larga: %s",
                               run->package_name);
    }
    ExpectedDigest digest = ExpectedDigest::from_field(run->manifest.package_sha256);
    if (!download_may_start(digest, run->manifest_signed, run->package_name)) {
        return Status::failure(StatusStage::Download);
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
    TransferResult result =
        download_with_retries(wide_url, package_path, launcher_download_progress_cb, &run->progress,
                              digest.bytes(), &download, true);
    if (!result) {
        log_transfer_failure(run->manifest.url, result);
        log_if_digest_mismatch(result, run->package_name);
        return Status::failure(StatusStage::Download);
    }
    return Status::success();
}

// The package unpacked by PowerShell into staging; every file of it becomes a Put of plan.
Status unpack_into_staging(LauncherRun* run, const char* package_path, CommitRecord* plan) {
    if (!package_stays_inside(package_path)) {
        return Status::failure(StatusStage::PackageCheck);
    }
    Status staging = start_staging(*run);
    char staged_root[kPathSize] = {};
    char fresh[kPathSize] = {};
    if (!staging) {
        return staging;
    }
    if (!staging_folder_of(run->paths.install_folder, staged_root) ||
        !join_path(staged_root, "new", fresh)) {
        return Status::failure(StatusStage::Staging, 0, "ruta demasiado larga: %s",
                               run->paths.install_folder);
    }
    Status extracted = extract_zip_with_progress(package_path, fresh, launcher_extract_progress_cb,
                                                 &run->progress);
    if (!extracted) {
        return extracted;
    }
    std::vector<std::string> files;
    if (!list_staged_files(run->paths.install_folder, &files)) {
        return Status::failure(StatusStage::Staging, GetLastError(),
                               "el paquete tiene un archivo que no se puede instalar");
    }
    for (std::string& file : files) {
        plan->entries.push_back({std::move(file), CommitChange::Put});
    }
    return Status::success();
}

MeansResult install_full_package(LauncherRun* run) {
    const ReleaseSizes& sizes = run->release.sizes;
    if (sizes.package && sizes.unpacked && sizes.unpacked_files &&
        !room_for(*run, "el ZIP completo",
                  package_need(*sizes.package, *sizes.unpacked, *sizes.unpacked_files))) {
        fail_update(run, kNoDiskRoomBox, Status::failure(StatusStage::Staging));
        return MeansResult::Failed;
    }
    char package_path[kPathSize] = {};
    Status downloaded = download_package(run, package_path);
    if (!downloaded) {
        fail_update(run, "No se pudo descargar el ZIP de Velda.", downloaded);
        return MeansResult::Failed;
    }
    CommitRecord plan = release_plan(*run);
    Status unpacked = unpack_into_staging(run, package_path, &plan);
    DeleteFileA(package_path);
    if (!unpacked) {
        fail_update(run, "No se pudo descomprimir la actualizacion.", unpacked);
        return MeansResult::Failed;
    }
    Status why = Status::success();
    ReleaseCommit committed = commit_release(run, plan, &why);
    if (committed == ReleaseCommit::NothingChanged) {
        fail_update(run, "No se pudo descomprimir la actualizacion.", why);
        return MeansResult::Failed;
    }
    return after_commit(run, committed, why);
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
    ~InterruptedRunCleanup() {
        sweep();
        discard_staging(install_folder_);
    }
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

// The change set for the installed version, else the manifest's single fields.
Status stage_changed_files_of(LauncherRun* run, CommitRecord* plan) {
    const Manifest& manifest = run->manifest;
    const ChangeSet* set =
        change_set_of(run->release_readable ? &run->release : nullptr, run->installed_version);
    const char* list_url = set != nullptr ? set->list_url.c_str() : manifest.changed_files_url;
    char list_name[kPathSize] = {};
    extract_filename_from_url(list_url, list_name);
    if (list_name[0] != '\0') {
        log_if_not_journaled(journal_note(run->paths.install_folder, list_name), list_name);
    }
    ChangedFilesDigests digests;
    digests.list_sha256 = set != nullptr ? set->list_sha256.c_str() : manifest.changed_files_sha256;
    digests.hashes_url =
        set != nullptr ? set->hashes_url.c_str() : manifest.changed_files_hashes_url;
    digests.hashes_sha256 =
        set != nullptr ? set->hashes_sha256.c_str() : manifest.changed_files_hashes_sha256;
    digests.required = run->manifest_signed;
    const char* base_url = set != nullptr ? set->base_url.c_str() : manifest.changed_files_base_url;
    return stage_changed_files(run->paths.install_folder, list_url, base_url, digests,
                               launcher_download_progress_cb, &run->progress, plan);
}

DiskRoomNeed changed_files_room(const LauncherRun& run) {
    const ChangeSet* set =
        change_set_of(run.release_readable ? &run.release : nullptr, run.installed_version);
    if (set == nullptr || !set->list_size || !set->files_size || !set->files_count) {
        return {};
    }
    return changed_files_need(*set->list_size + set->hashes_size.value_or(0), *set->files_size,
                              *set->files_count);
}

MeansResult install_changed_files(LauncherRun* run) {
    if (!room_for(*run, "archivos modificados", changed_files_room(*run))) {
        return MeansResult::Next;
    }
    Status staging = start_staging(*run);
    if (!staging) {
        log_status_detail(staging);
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
        return MeansResult::Next;
    }
    CommitRecord plan = release_plan(*run);
    Status staged = stage_changed_files_of(run, &plan);
    if (!staged) {
        log_status_detail(staged);
        return MeansResult::Next;
    }
    Status why = Status::success();
    MeansResult result = after_commit(run, commit_release(run, plan, &why), why);
    if (result == MeansResult::Installed) {
        log_line("Archivos modificados aplicados correctamente.");
    } else if (result == MeansResult::Next) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
    }
    return result;
}

// Tries the plan's means in order until one installs; the reason a means failed is logged where
// the next one takes over.
MeansResult carry_out(const UpdatePlan& plan, LauncherRun* run) {
    if (plan.opening_line != nullptr) {
        log_line(plan.opening_line);
    }
    for (size_t i = 0; i < plan.means_count; ++i) {
        MeansResult result = MeansResult::Next;
        switch (plan.means[i]) {
            case UpdateMeans::ChangedFiles:
                result = install_changed_files(run);
                break;
            case UpdateMeans::DirectExecutable:
                result = install_direct_executable(run);
                break;
            case UpdateMeans::Package:
                result = install_full_package(run);
                break;
        }
        if (result != MeansResult::Next) {
            return result;
        }
    }
    return MeansResult::Failed;
}

}  // namespace

UpdateOutcome install_update(LauncherRun* run, const UpdatePlan& plan) {
    run->progress = {run->status_window.present() ? run->status_window.record() : nullptr,
                     run->spanish, 0, 0};
    InterruptedRunCleanup cleanup(run->paths.install_folder);
    switch (carry_out(plan, run)) {
        case MeansResult::Installed:
            // The stamp came with the commit: the folder is the new release whole.
            journal_finish_installation(run->paths.install_folder, delete_file);
            return UpdateOutcome::Installed;
        case MeansResult::Postponed:
            return UpdateOutcome::Postponed;
        case MeansResult::Failed:
        case MeansResult::Next:
            break;
    }
    return UpdateOutcome::Failed;
}

}  // namespace velda
