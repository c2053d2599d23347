#pragma once

#include "common/path_size.h"

inline constexpr char kProductFileName[] = "Velda.exe";
inline constexpr char kStampFileName[] = "velda.version";

// The product's executable in folder: "<folder>\Velda.exe", cut to kPathSize.
void product_path_in(const char* folder, char out[kPathSize]);

// The installation beside the launcher; each path is cut to kPathSize, the later ones built
// from the cut install folder.
struct InstallPaths {
    char install_folder[kPathSize];  // <launcher folder>\velda
    char stamp_path[kPathSize];      // <install folder>\velda.version
    char product_path[kPathSize];    // <install folder>\Velda.exe
};

InstallPaths install_paths_for(const char* launcher_folder);
