#include "launcher/release_commit.h"

#include <windows.h>

#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/text.h"
#include "install/download_journal.h"
#include "launcher/update_texts.h"
#include "start/product_end.h"

namespace velda {

namespace {

void log_asking(void*) {
    log_line(kAskingProductsLine);
}

// False when the update must wait: a product keeps a window open after being asked to close.
bool end_products_before_commit(const LauncherRun& run) {
    ProductEndResult ended =
        end_installation_products(run.paths.install_folder, kProductCloseLimitMs, log_asking);
    if (ended.postponed) {
        bring_to_front(ended);
        log_line(kPostponedUpdateLine);
        return false;
    }
    if (ended.closed + ended.ended > 0) {
        log_line("Procesos Velda.exe activos cerrados antes de actualizar.");
    } else if (ended.not_ended == 0) {
        log_line("No habia procesos Velda.exe activos para cerrar.");
    }
    if (ended.not_ended > 0) {
        // The commit waits for a file such a process holds, and is undone when it stays held.
        log_detail("%u procesos Velda.exe no se pudieron cerrar (GetLastError=%lu)",
                   ended.not_ended, static_cast<unsigned long>(ended.last_error));
    }
    return true;
}

bool delete_journaled_file(const char* path) {
    return DeleteFileA(path) != FALSE;
}

// The release keeps a Velda.exe: one is staged, or the installed one stays.
bool release_has_product(const LauncherRun& run, const CommitRecord& plan) {
    bool staged = false;
    bool deleted = false;
    for (const CommitEntry& entry : plan.entries) {
        if (equals_ignoring_ascii_case(entry.path, kProductFileName)) {
            staged = entry.change != CommitChange::Delete;
            deleted = entry.change == CommitChange::Delete;
        }
    }
    return staged || (!deleted && file_exists_not_directory(run.paths.product_path));
}

}  // namespace

Status start_staging(const LauncherRun& run) {
    if (commit_record_present(run.paths.install_folder)) {
        return Status::failure(StatusStage::Staging, 0,
                               "queda %s de una actualizacion sin terminar", kCommitRecordName);
    }
    if (!begin_staging(run.paths.install_folder)) {
        return Status::failure(StatusStage::Staging, GetLastError(),
                               "no se pudo crear la carpeta %s%s", run.paths.install_folder,
                               kStagingSuffix);
    }
    return Status::success();
}

ReleaseCommit commit_release(LauncherRun* run, const CommitRecord& plan, Status* why) {
    *why = Status::success();
    if (!release_has_product(*run, plan)) {
        return ReleaseCommit::NoProduct;
    }
    if (!end_products_before_commit(*run)) {
        return ReleaseCommit::Postponed;
    }
    CommitOutcome outcome = commit_staged(run->paths.install_folder, plan);
    switch (outcome.result) {
        case CommitResult::Committed:
            return ReleaseCommit::Committed;
        case CommitResult::Refused:
            *why = Status::failure(StatusStage::Commit, outcome.win32_error,
                                   "no se pudo empezar a cambiar la instalacion");
            return ReleaseCommit::NothingChanged;
        case CommitResult::Undone:
            *why = Status::failure(StatusStage::Commit, outcome.win32_error,
                                   "un archivo no se pudo reemplazar; se repuso la version "
                                   "anterior");
            return ReleaseCommit::NothingChanged;
        case CommitResult::Stuck:
        case CommitResult::Cut:
            break;
    }
    *why = Status::failure(StatusStage::Commit, outcome.win32_error,
                           "el cambio quedo a medias; %s queda para el proximo inicio",
                           kCommitRecordName);
    return ReleaseCommit::Stuck;
}

bool recover_cut_update(LauncherRun* run) {
    if (!run->paths.fits) {
        return true;
    }
    const char* folder = run->paths.install_folder;
    RecoveryOutcome recovered = recover_commit(folder);
    if (!recovered.complete && recovered.action != RecoveryAction::Unreadable) {
        // A product started by hand may hold a file the commit moves.
        if (end_products_before_commit(*run)) {
            recovered = recover_commit(folder);
        }
    }
    if (recovered.complete) {
        if (recovered.action == RecoveryAction::Finish) {
            // The stamp came with the commit: the run that was cut off is done, its journal too.
            journal_finish_installation(folder, delete_journaled_file);
            log_line(kCutUpdateFinishedLine);
        } else if (recovered.action == RecoveryAction::Undo) {
            log_line(kCutUpdateUndoneLine);
        }
        return true;
    }
    log_status_detail(Status::failure(StatusStage::Commit, recovered.win32_error,
                                      recovered.action == RecoveryAction::Unreadable
                                          ? "%s ilegible; la instalacion no se toca"
                                          : "%s no se pudo completar ni deshacer",
                                      kCommitRecordName));
    run->status_window.destroy();
    show_error_box(kCutUpdateFailedBox);
    return false;
}

}  // namespace velda
