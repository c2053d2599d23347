#pragma once

#include "common/path_size.h"

namespace velda {

// A macro as well, so that the server's URL paths can be joined from it at compile time.
#define VELDA_PRODUCT_FILE_NAME "Velda.exe"
inline constexpr char kProductFileName[] = VELDA_PRODUCT_FILE_NAME;
inline constexpr char kStampFileName[] = "velda.version";

// "<folder>\<name>" into a kPathSize buffer. A path that does not fit is never cut, as a cut
// one would name another file: out is left empty, the line "Ruta demasiado larga: ..." is
// logged and the result is false.
[[nodiscard]] bool join_path(const char* folder, const char* name, char out[kPathSize]);
// The same without the log line, for names met while walking a folder, which are passed over.
[[nodiscard]] bool join_path_quietly(const char* folder, const char* name, char out[kPathSize]);

// The product's executable in folder: "<folder>\Velda.exe"; false when it does not fit.
[[nodiscard]] bool product_path_in(const char* folder, char out[kPathSize]);

// The installation beside the launcher. fits is false when any of the paths would pass
// kPathSize; the paths are then empty and must not be used.
struct InstallPaths {
    char install_folder[kPathSize];  // <launcher folder>\velda
    char stamp_path[kPathSize];      // <install folder>\velda.version
    char product_path[kPathSize];    // <install folder>\Velda.exe
    bool fits;
};

InstallPaths install_paths_for(const char* launcher_folder);

}  // namespace velda
