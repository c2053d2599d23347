#include "launcher/install_means.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "install/changed_files.h"
#include "install/disk_room.h"
#include "install/download_digest.h"
#include "install/download_journal.h"
#include "install/download_retry.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/status.h"
#include "common/text.h"
#include "common/wide.h"
#include "launcher/release_commit.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_plan.h"
#include "launcher/update_texts.h"
#include "net/http.h"
#include "net/url_filename.h"
namespace velda {

// The steps of every error that ends an update; why goes to the support log.
bool fail_update(LauncherRun* run, const char* message, const Status& why) {
    log_status_detail(why);
    run->status_window.destroy();
    show_error_box(message);
    return false;
}

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
namespace {

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
    download.max_bytes = run->release.sizes.direct.value_or(kNoBodyBound);
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

}  // namespace

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
namespace {

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
    if (set != nullptr) {
        digests.patches_url = set->patches_url.c_str();
        digests.patches_sha256 = set->patches_sha256.c_str();
        digests.patches_size = set->patches_size.value_or(0);
        digests.patch_base_url = set->patch_base_url.c_str();
    }
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

}  // namespace

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

}  // namespace velda
