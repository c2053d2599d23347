#pragma once

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
};

enum class FinalVariant { Normal, ManifestNotDownloaded, ManifestInvalid };

// MessageBoxA with the launcher's caption and the error icon; the caller then ends with 1.
void show_error_box(const char* message);

// Start-up up to the launcher folder. Returns false when the run is over; *exit_code says how.
[[nodiscard]] bool run_startup(LauncherRun* run, int* exit_code);

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
