#pragma once

// VELDA_DOWNLOAD_SERVER comes from the build: scheme, host and optional port.
#ifndef VELDA_DOWNLOAD_SERVER
#error "VELDA_DOWNLOAD_SERVER must be defined by the build"
#endif

inline constexpr char kManifestUrl[] = VELDA_DOWNLOAD_SERVER "/downloads/latest.json";
inline constexpr char kDirectDownloadUrl[] = VELDA_DOWNLOAD_SERVER "/downloads/direct/Velda.exe";
