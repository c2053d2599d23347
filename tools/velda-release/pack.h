#pragma once

#include <string>
#include <vector>

namespace velda {

// An earlier release users may still have installed: its product folder and its version.
struct PreviousRelease {
    std::string folder;
    std::string version;
};

struct PackOptions {
    std::string product_folder;
    std::string version;
    std::string server;
    std::string output_folder;
    // In the order given; each gets its own change set. A pair with one half empty is refused.
    std::vector<PreviousRelease> previous;
    std::string sign_key;              // a P-256 private key PEM; empty: the release is not signed
    std::string product_id = "velda";  // keyed launchers built for another product refuse it
    int expires_in_days = 0;           // 0: the release does not expire
    std::string launcher_file;         // a VeldaLauncher.exe to offer; empty: none
    bool make_patches = true;          // false: every changed file is sent whole only
};

// Writes the release, or nothing at all; returns the process exit code.
[[nodiscard]] int run_pack(const PackOptions& options);

}  // namespace velda
