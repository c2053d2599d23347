#pragma once

#include "common/path_size.h"
#include "common/status.h"
#include "install/disk_room.h"
#include "install/staged_commit.h"
#include "launcher/release_commit.h"
#include "launcher/run_state.h"

namespace velda {

// The means of an update and what they share; the installation sequence tries them in order.

enum class MeansResult {
    Installed,
    Failed,     // an error box was shown
    Postponed,  // the product keeps a window open
    Next,       // nothing changed: the next means takes over
};

[[nodiscard]] MeansResult install_changed_files(LauncherRun* run);
[[nodiscard]] MeansResult install_direct_executable(LauncherRun* run);
[[nodiscard]] MeansResult install_full_package(LauncherRun* run);

inline constexpr int kWideUrlUnits = 2048;

// The steps of every error that ends an update; why goes to the support log. Always false.
bool fail_update(LauncherRun* run, const char* message, const Status& why);

// False, with a line naming what the means needs and what is free, when the volume cannot hold
// what it writes. A need the manifest does not give, or a volume that cannot be read, holds
// nothing back.
[[nodiscard]] bool room_for(const LauncherRun& run, const char* means_name,
                            const DiskRoomNeed& need);

// What a commit that did not take place means for the run: an error box, or the next means.
[[nodiscard]] MeansResult after_commit(LauncherRun* run, ReleaseCommit committed,
                                       const Status& why);

// An empty commit of the manifest's version.
[[nodiscard]] CommitRecord release_plan(const LauncherRun& run);

// "<install folder>\<name>.velda-part"; false when the path would not fit whole.
[[nodiscard]] bool partial_path_of(const char* install_folder, const char* name,
                                   char out[kPathSize]);

// A journal line that could not be written leaves less for a later run to clean or continue.
void log_if_not_journaled(bool written, const char* what);

// The partial package that the journal records, which the sweeps leave for a later run; empty
// when there is none.
void recorded_partial_path(const char* install_folder, char out[kPathSize]);

}  // namespace velda
