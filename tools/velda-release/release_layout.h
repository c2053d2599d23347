#pragma once

#include <string>

namespace velda {

// Where a release puts its files under the server's document root, and the URLs that name them.
struct ReleaseLayout {
    std::string manifest_path;   // downloads/latest.json
    std::string signature_path;  // downloads/latest.json.sig
    std::string direct_path;     // downloads/direct/Velda.exe
    std::string package_path;    // downloads/velda-<version>.zip
    std::string package_url;
    std::string launcher_path;  // downloads/launcher/VeldaLauncher.exe, with pack --launcher
    std::string launcher_url;
    std::string list_path;  // downloads/changes/<from>-to-<to>/velda-changes-....txt
    std::string list_url;
    std::string hashes_path;  // the list's files' SHA-256 values, beside it: ....sha256
    std::string hashes_url;
    std::string files_path;  // downloads/changes/<from>-to-<to>/files
    std::string files_url;
    std::string patches_path;  // the patch index beside the list: ....patches
    std::string patches_url;
    std::string patch_files_path;  // downloads/changes/<from>-to-<to>/patches, <path>.vpatch each
    std::string patch_files_url;
};

// server: scheme://host[:port] without a trailing slash. previous_version may be empty.
ReleaseLayout make_release_layout(const std::string& server, const std::string& version,
                                  const std::string& previous_version);

// The last path segment of a layout path.
std::string layout_file_name(const std::string& path);

}  // namespace velda
