#include "common/install_paths.h"

#include "common/text.h"

void product_path_in(const char* folder, char out[kPathSize]) {
    format_bounded(out, kPathSize, "%s\\%s", folder, kProductFileName);
}

InstallPaths install_paths_for(const char* launcher_folder) {
    InstallPaths paths = {};
    format_bounded(paths.install_folder, kPathSize, "%s\\%s", launcher_folder, "velda");
    format_bounded(paths.stamp_path, kPathSize, "%s\\%s", paths.install_folder, kStampFileName);
    product_path_in(paths.install_folder, paths.product_path);
    return paths;
}
