#pragma once

#include <cstddef>

#include "manifest/manifest.h"

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

enum class UpdateMeans { ChangedFiles, KillProducts, DirectExecutable, Package };

// How an update is carried out. The means are tried in order, each only after the previous one
// failed; the kill is no attempt of its own and always comes right before the first download
// that may replace a running Velda.exe.
struct UpdatePlan {
    const char* opening_line;  // logged before the first means, or null
    UpdateMeans means[4];
    size_t means_count;
};

// package_unfinished: an earlier package installation never reached its stamp, so the folder may
// hold any mix of files; it counts as new, and only the package can make it whole.
[[nodiscard]] UpdatePlan plan_update(const Manifest& manifest, const char* installed_version,
                                     bool product_present, bool install_folder_existed,
                                     bool package_unfinished);

}  // namespace velda
