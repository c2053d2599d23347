#pragma once

#include "common/status.h"
#include "install/staged_commit.h"
#include "launcher/run_state.h"

namespace velda {

enum class ReleaseCommit {
    Committed,       // the release is in place whole, its stamp with it
    NothingChanged,  // refused, or undone: the installed release is whole as it was
    NoProduct,       // the release would have no Velda.exe: nothing was changed
    Postponed,       // the product keeps a window open; the update waits for the next start
    Stuck,           // cut short and not undone: the record stays for the next run
};

// A fresh staging folder for a means; refused while a commit's record waits for recovery.
[[nodiscard]] Status start_staging(const LauncherRun& run);

// Ends the installation's product without losing its work, then commits plan (Put and Delete
// entries, the manifest's version) from the staging folder. *why says why it did not commit.
[[nodiscard]] ReleaseCommit commit_release(LauncherRun* run, const CommitRecord& plan, Status* why);

}  // namespace velda
