#pragma once

#include <string>
#include <vector>

namespace velda {

// An earlier release's product folder, for applying its change set's patches to.
struct PatchBase {
    std::string folder;
    std::string version;
};

struct CheckOptions {
    std::string manifest;  // a file, or an http(s) URL
    bool installed_given = false;
    std::string installed;
    bool no_install_folder = false;
    std::string root;     // document root for a manifest file; default: two folders up
    std::string ca_file;  // extra trust for https
    // PEM files of the keys a launcher would hold; with any, the release must be signed by one
    // of them and give every hash.
    std::vector<std::string> public_keys;
    std::string product_id;        // the launcher's VELDA_PRODUCT_ID; "": the product is not judged
    std::string launcher_version;  // of the keyed launcher judged; "": this build's own
    // With a folder for a change set's version, each of its patches is applied to that folder's
    // file and the result compared; without, patches are checked by size and SHA-256 alone.
    std::vector<PatchBase> bases;
};

// Prints the launcher's reading, what a launcher would do, and every trap; returns 0 when the
// release is sound and 1 when it is not.
[[nodiscard]] int run_check(const CheckOptions& options);

}  // namespace velda
