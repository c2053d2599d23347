#pragma once

#include <optional>

#include "common/install_paths.h"
#include "common/path_size.h"
#include "launcher/update_plan.h"
#include "manifest/manifest.h"
#include "manifest/release_details.h"
#include "status_window/status_window_text.h"
#include "status_window/status_window.h"

namespace velda {

// Everything that lives from start-up to exit; main keeps it in static storage, all zero.
struct LauncherRun {
    int spanish;
    StatusWindow status_window;
    char launcher_folder[kPathSize];
    InstallPaths paths;  // formed from launcher_folder at start-up

    Manifest manifest;
    ReleaseDetails release;  // empty when the manifest carries none or they could not be read
    bool release_readable;
    bool manifest_signed;  // a release key vouched for it: every download must be checked
    char package_name[kPathSize];
    bool install_folder_existed;
    char installed_version[kVersionTextSize];
    bool stamp_present;
    bool product_present;

    DownloadProgressContext progress;

    // Keyed launchers: the launcher the verified manifest offers, whether this run was handed
    // over by an older launcher (whose process id the hand-over named), and the version of a
    // hand-over that failed before ("" for none).
    std::optional<OfferedLauncher> offered_launcher;
    bool started_by_hand_over;
    unsigned long previous_launcher_id;
    char refused_launcher_version[kVersionTextSize];
};

enum class FinalVariant { Normal, ManifestNotDownloaded, ManifestInvalid };

// MessageBoxA with the launcher's caption and the error icon; the caller then ends with 1.
void show_error_box(const char* message);

// Start-up up to the launcher folder. Returns false when the run is over; *exit_code says how.
[[nodiscard]] bool run_startup(LauncherRun* run, int* exit_code);

// Lets go of the single-instance mutex but keeps it open, so that the launcher this one hands
// over to can take it while a second launcher is still turned away.
void give_up_single_instance();

// Gives process (a launcher this one started) a handle of its own to the mutex, which it never
// closes: the named object then lasts until that process ends, so a second launcher started
// after this one ended, before the new one opened the mutex, is still turned away. False, with
// GetLastError set, when the handle could not be given.
[[nodiscard]] bool lend_single_instance_to(void* process);

// Keyed launchers only. Handed over to: puts this launcher's file in place of the old one.
// Otherwise: finishes or undoes what an earlier hand-over left beside the launcher.
void settle_launcher_hand_over(LauncherRun* run);

// Keyed launchers only: when the manifest offers a newer launcher, downloads it beside this one
// and starts it with this run's command line. True when it took the run over (exit with 0);
// false, with the reason logged and nothing replaced, when this launcher goes on.
[[nodiscard]] bool hand_over_to_offered_launcher(LauncherRun* run);

// Shows "starting", starts the product and returns the exit code.
int run_final_stage(LauncherRun* run, FinalVariant variant);

// Fetches the manifest, decides, and installs when needed; returns the exit code.
int run_update_check(LauncherRun* run);

enum class UpdateOutcome {
    Installed,  // the folder holds the manifest's release whole
    Failed,     // an error box was shown
    Postponed,  // the product keeps a window open; its window was brought to the front
};

// Brings the installation to the manifest's version by the plan's means.
[[nodiscard]] UpdateOutcome install_update(LauncherRun* run, const UpdatePlan& plan);

// The first step of every run, also offline: finishes or undoes an update whose commit an
// earlier run left cut off, and removes what an update that never began its commit staged.
// False, with the box shown, when the folder could not be made one release's.
[[nodiscard]] bool recover_cut_update(LauncherRun* run);

}  // namespace velda
