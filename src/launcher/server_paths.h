#pragma once

#include "common/install_paths.h"

namespace velda {

// Where the launcher asks its download server; the release tool lays out releases to match.
#define VELDA_MANIFEST_PATH "/downloads/latest.json"
#define VELDA_DIRECT_EXECUTABLE_PATH "/downloads/direct/" VELDA_PRODUCT_FILE_NAME

inline constexpr char kManifestPath[] = VELDA_MANIFEST_PATH;
inline constexpr char kDirectExecutablePath[] = VELDA_DIRECT_EXECUTABLE_PATH;
// The manifest's detached signature lives beside it, under the manifest's name and this suffix.
inline constexpr char kManifestSignatureSuffix[] = ".sig";

}  // namespace velda
