#pragma once

#include <string>

struct PackOptions {
    std::string product_folder;
    std::string version;
    std::string server;
    std::string output_folder;
    std::string previous_folder;  // empty without a previous version
    std::string previous_version;
};

// Writes the release, or nothing at all; returns the process exit code.
int run_pack(const PackOptions& options);
