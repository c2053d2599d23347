#pragma once

#include "launcher/server_paths.h"

namespace velda {

// VELDA_DOWNLOAD_SERVER comes from the build: scheme, host and optional port.
#ifndef VELDA_DOWNLOAD_SERVER
#error "VELDA_DOWNLOAD_SERVER must be defined by the build"
#endif

inline constexpr char kManifestUrl[] = VELDA_DOWNLOAD_SERVER VELDA_MANIFEST_PATH;
inline constexpr char kDirectDownloadUrl[] = VELDA_DOWNLOAD_SERVER VELDA_DIRECT_EXECUTABLE_PATH;

}  // namespace velda
