#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "manifest/release_details.h"

namespace velda {

// The five members the launcher reads, in its order, with the capacity of each field (NUL
// included).
struct ManifestKey {
    const char* name;
    size_t capacity;
};
constexpr size_t kManifestKeyCount = 5;
extern const ManifestKey kManifestKeys[kManifestKeyCount];

struct ReleaseManifest {
    std::string version;
    std::string url;
    bool has_changed_files = false;
    std::string changed_from_version;
    std::string changed_files_url;
    std::string changed_files_base_url;
    // Optional hashes (lower-case hex), written after the members above when not empty.
    std::string package_sha256;
    std::string direct_sha256;
    std::string changed_files_sha256;
    std::string changed_files_hashes_url;
    std::string changed_files_hashes_sha256;
    // The sizes, direct_from and change sets, written after everything above when has_details.
    bool has_details = false;
    ReleaseDetails details;
};

// A version as a release names it: parsable by the launcher, within 63 bytes, and free of white
// space (the stamp is read back trimmed, and the version goes into file names and URLs).
[[nodiscard]] bool release_version_usable(const std::string& version, std::string* why);

// Everything the launcher's reader could not take back exactly as meant. Each problem is one
// sentence naming the member.
[[nodiscard]] bool validate_release_manifest(const ReleaseManifest& manifest,
                                             std::vector<std::string>* problems);

// One object, one member per line (a change set's object on one line), each top-level key once,
// plain slashes, no escapes. Only for a
// manifest that passed validate_release_manifest.
std::string write_manifest_json(const ReleaseManifest& manifest);

}  // namespace velda
