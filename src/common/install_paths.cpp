#include "common/install_paths.h"

#include <cstring>

#include "common/log.h"
#include "common/text.h"

namespace velda {

bool join_path_quietly(const char* folder, const char* name, char out[kPathSize]) {
    if (std::strlen(folder) + 1 + std::strlen(name) < kPathSize) {
        format_bounded(out, kPathSize, "%s\\%s", folder, name);
        return true;
    }
    out[0] = '\0';
    return false;
}

bool join_path(const char* folder, const char* name, char out[kPathSize]) {
    if (join_path_quietly(folder, name, out)) {
        return true;
    }
    char line[2 * kPathSize + 64];
    format_bounded(line, sizeof(line), "Ruta demasiado larga: %s\\%s", folder, name);
    log_line(line);
    return false;
}

bool product_path_in(const char* folder, char out[kPathSize]) {
    return join_path(folder, kProductFileName, out);
}

InstallPaths install_paths_for(const char* launcher_folder) {
    InstallPaths paths = {};
    paths.fits = join_path(launcher_folder, "velda", paths.install_folder) &&
                 join_path(paths.install_folder, kStampFileName, paths.stamp_path) &&
                 product_path_in(paths.install_folder, paths.product_path);
    if (!paths.fits) {
        paths = {};
    }
    return paths;
}

}  // namespace velda
