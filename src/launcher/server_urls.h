#pragma once

#include "launcher/server_paths.h"

namespace velda {

// VELDA_DOWNLOAD_SERVER comes from the build: scheme, host and optional port.
#ifndef VELDA_DOWNLOAD_SERVER
#error "VELDA_DOWNLOAD_SERVER must be defined by the build"
#endif

inline constexpr char kManifestUrl[] = VELDA_DOWNLOAD_SERVER VELDA_MANIFEST_PATH;
inline constexpr char kDirectDownloadUrl[] = VELDA_DOWNLOAD_SERVER VELDA_DIRECT_EXECUTABLE_PATH;

// The releases a keyed launcher takes, from the build too: its product, and the lowest version
// for a user with no record of a taken release ("" for none).
#if !defined(VELDA_PRODUCT_ID) || !defined(VELDA_MINIMUM_VERSION)
#error "VELDA_PRODUCT_ID and VELDA_MINIMUM_VERSION must be defined by the build"
#endif

inline constexpr char kProductId[] = VELDA_PRODUCT_ID;
inline constexpr char kMinimumVersion[] = VELDA_MINIMUM_VERSION;

}  // namespace velda
