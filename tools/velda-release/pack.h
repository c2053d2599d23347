#pragma once

#include <string>

namespace velda {

struct PackOptions {
    std::string product_folder;
    std::string version;
    std::string server;
    std::string output_folder;
    std::string previous_folder;  // empty without a previous version
    std::string previous_version;
    std::string sign_key;  // a P-256 private key PEM; empty: the release is not signed
};

// Writes the release, or nothing at all; returns the process exit code.
[[nodiscard]] int run_pack(const PackOptions& options);

}  // namespace velda
