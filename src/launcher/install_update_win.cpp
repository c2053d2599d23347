#include <windows.h>

#include <cstring>

#include "install/download_journal.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win_handle.h"
#include "launcher/run_state.h"
#include "net/http.h"
#include "launcher/install_means.h"

namespace velda {

namespace {

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
