#include "release_layout.h"

#include "launcher/server_paths.h"

namespace velda {

ReleaseLayout make_release_layout(const std::string& server, const std::string& version,
                                  const std::string& previous_version) {
    ReleaseLayout layout;
    // The launcher's paths without their leading "/": relative to the document root.
    layout.manifest_path = kManifestPath + 1;
    layout.signature_path = layout.manifest_path + kManifestSignatureSuffix;
    layout.direct_path = kDirectExecutablePath + 1;
    layout.package_path = "downloads/velda-" + version + ".zip";
    layout.package_url = server + "/" + layout.package_path;
    layout.launcher_path = "downloads/launcher/VeldaLauncher.exe";
    layout.launcher_url = server + "/" + layout.launcher_path;
    if (!previous_version.empty()) {
        std::string step = previous_version + "-to-" + version;
        std::string folder = "downloads/changes/" + step;
        layout.list_path = folder + "/velda-changes-" + step + ".txt";
        layout.list_url = server + "/" + layout.list_path;
        layout.hashes_path = folder + "/velda-changes-" + step + ".sha256";
        layout.hashes_url = server + "/" + layout.hashes_path;
        layout.files_path = folder + "/files";
        layout.files_url = server + "/" + layout.files_path;
        layout.patches_path = folder + "/velda-changes-" + step + ".patches";
        layout.patches_url = server + "/" + layout.patches_path;
        layout.patch_files_path = folder + "/patches";
        layout.patch_files_url = server + "/" + layout.patch_files_path;
    }
    return layout;
}

std::string layout_file_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace velda
