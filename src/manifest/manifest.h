#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

constexpr size_t kVersionTextSize = 64;
constexpr size_t kManifestUrlSize = 1024;
// Room well beyond 64 digits, so that a longer value is seen whole and refused, not cut to fit.
constexpr size_t kManifestHashTextSize = 160;

struct Manifest {
    char version[kVersionTextSize];
    char url[kManifestUrlSize];
    char changed_from_version[kVersionTextSize];
    bool changed_from_version_found;
    char changed_files_url[kManifestUrlSize];
    bool changed_files_url_found;
    char changed_files_base_url[kManifestUrlSize];
    bool changed_files_base_url_found;
    // Optional SHA-256 values (64 hex digits) of what the manifest's means download; empty when
    // absent. Launchers before these keys never look for them.
    char package_sha256[kManifestHashTextSize];
    char direct_sha256[kManifestHashTextSize];
    char changed_files_sha256[kManifestHashTextSize];
    char changed_files_hashes_url[kManifestUrlSize];
    char changed_files_hashes_sha256[kManifestHashTextSize];
};

struct VersionTriple {
    int32_t major;
    int32_t minor;
    int32_t patch;
};

// Always said of the installed version against the server's.
enum class VersionOrder { LocalOlder, Equal, LocalNewer };

// Finds "key" by plain text search and copies the raw string value after its colon.
bool json_extract_string(const char* json, const char* key, char* out, size_t out_size);

// The five fields, in the order the launcher reads them, then the optional hash fields. The
// manifest is usable when version and url are both non-empty.
void manifest_extract(const char* json, Manifest* manifest);
[[nodiscard]] bool manifest_is_usable(const Manifest& manifest);

// True when the stamp could be opened; out then holds its first 63 bytes, trimmed.
[[nodiscard]] bool read_version_stamp(const char* stamp_path, char out[kVersionTextSize]);
// The version a stamp holding these bytes gives: its first 63 bytes, up to a NUL, trimmed.
void version_stamp_text(const char* bytes, size_t length, char out[kVersionTextSize]);
// Creates or empties the stamp and writes version's bytes, no line end; true when every byte
// was written, flushed and the file closed.
[[nodiscard]] bool write_version_stamp(const char* stamp_path, const char* version);

// Three numbers joined by dots, then only whitespace, as sscanf("%d.%d.%d%7s") reads them;
// negative numbers and numbers beyond 32 bits are refused.
[[nodiscard]] bool parse_version(const char* text, VersionTriple* out);
VersionOrder compare_versions(const char* installed, const char* server);

}  // namespace velda
