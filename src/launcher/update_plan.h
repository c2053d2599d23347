#pragma once

#include <cstddef>

#include "manifest/manifest.h"
#include "manifest/release_details.h"

namespace velda {

// The lines the launcher logs while it decides, and the box of a URL without a file name.
inline constexpr char kManifestInvalidLine[] = "Manifest invalido, lanzando version local.";
inline constexpr char kUpToDateLine[] = "Version local al dia.";
inline constexpr char kChangedFilesNotApplicableLine[] =
    "Changed-files no aplica para version local, se usara ZIP completo.";
inline constexpr char kUnfinishedPackageLine[] =
    "Instalacion anterior sin terminar, se usara ZIP completo.";
inline constexpr char kPackageNameBox[] =
    "No se pudo obtener nombre del ZIP desde la URL de descarga.";

constexpr size_t kLocalNewerLineSize = 192;
// "Version local (<installed>) es mayor que server (<server>); se mantiene local."
void format_local_newer_line(const char* installed_version, const char* server_version,
                             char out[kLocalNewerLineSize]);

enum class UpdateMeans { ChangedFiles, DirectExecutable, Package };

// How an update is carried out. The means are tried in order, each only after the previous one
// failed; each stages what it brings and ends the installation's product right before its commit.
struct UpdatePlan {
    const char* opening_line;  // logged before the first means, or null
    UpdateMeans means[3];
    size_t means_count;
};

// What the plan goes by besides the manifest's older fields.
struct PlanInputs {
    const char* installed_version;
    bool product_present;
    bool install_folder_existed;
    // An earlier package installation never reached its stamp, so the folder may hold any mix
    // of files; it counts as new, and only the package can make it whole.
    bool package_unfinished;
    bool keyed;                     // release keys are compiled in
    const ReleaseDetails* details;  // what a newer release tool wrote; null when unreadable
};

// The change set from the installed version, or null; the older single fields are looked at
// apart (changed_files_applicable).
[[nodiscard]] const ChangeSet* change_set_of(const ReleaseDetails* details,
                                             const char* installed_version);

// Velda.exe alone makes the release whole only from a version the manifest names; a manifest
// without that record (an older tool) leaves it to launchers without keys, as before.
[[nodiscard]] bool direct_executable_allowed(const PlanInputs& inputs);

[[nodiscard]] UpdatePlan plan_update(const Manifest& manifest, const PlanInputs& inputs);

}  // namespace velda
