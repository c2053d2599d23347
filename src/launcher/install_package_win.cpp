#include "launcher/install_means.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

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
#include "launcher/update_texts.h"
#include "net/http.h"

namespace velda {

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
namespace {

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
    download.max_bytes = run->release.sizes.package.value_or(kNoBodyBound);
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

}  // namespace

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

}  // namespace velda
