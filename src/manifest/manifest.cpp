#include "manifest/manifest.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scan.h"
#include "common/stdio_file.h"
#include "common/text.h"

namespace velda {

bool json_extract_string(const char* json, const char* key, char* out, size_t out_size) {
    if (out_size > 0) {
        out[0] = '\0';
    }
    char pattern[128];
    format_bounded(pattern, sizeof(pattern), "\"%s\"", key);
    const char* found = std::strstr(json, pattern);
    if (found == nullptr) {
        return false;
    }
    const char* colon = std::strchr(found + std::strlen(pattern), ':');
    if (colon == nullptr) {
        return false;
    }
    const char* cursor = colon + 1;
    while (*cursor == '\t' || *cursor == '\n' || *cursor == '\r' || *cursor == ' ') {
        ++cursor;
    }
    if (*cursor != '"') {
        return false;
    }
    const char* value = cursor + 1;
    const char* end = value;
    while (*end != '"') {
        if (*end == '\0') {
            return false;
        }
        if (*end == '\\') {
            ++end;
            if (*end == '\0') {
                return false;
            }
        }
        ++end;
    }
    if (out_size == 0) {
        return true;
    }
    size_t length = static_cast<size_t>(end - value);
    if (length >= out_size) {
        length = out_size - 1;
    }
    std::memcpy(out, value, length);
    out[length] = '\0';
    return true;
}

void manifest_extract(const char* json, Manifest* manifest) {
    std::memset(manifest, 0, sizeof(*manifest));
    json_extract_string(json, "version", manifest->version, sizeof(manifest->version));
    json_extract_string(json, "url", manifest->url, sizeof(manifest->url));
    manifest->changed_from_version_found =
        json_extract_string(json, "changed_from_version", manifest->changed_from_version,
                            sizeof(manifest->changed_from_version));
    manifest->changed_files_url_found =
        json_extract_string(json, "changed_files_url", manifest->changed_files_url,
                            sizeof(manifest->changed_files_url));
    manifest->changed_files_base_url_found =
        json_extract_string(json, "changed_files_base_url", manifest->changed_files_base_url,
                            sizeof(manifest->changed_files_base_url));
    json_extract_string(json, "package_sha256", manifest->package_sha256,
                        sizeof(manifest->package_sha256));
    json_extract_string(json, "direct_sha256", manifest->direct_sha256,
                        sizeof(manifest->direct_sha256));
    json_extract_string(json, "changed_files_sha256", manifest->changed_files_sha256,
                        sizeof(manifest->changed_files_sha256));
    json_extract_string(json, "changed_files_hashes_url", manifest->changed_files_hashes_url,
                        sizeof(manifest->changed_files_hashes_url));
    json_extract_string(json, "changed_files_hashes_sha256", manifest->changed_files_hashes_sha256,
                        sizeof(manifest->changed_files_hashes_sha256));
}

bool manifest_is_usable(const Manifest& manifest) {
    return manifest.version[0] != '\0' && manifest.url[0] != '\0';
}

bool read_version_stamp(const char* stamp_path, char out[kVersionTextSize]) {
    std::memset(out, 0, kVersionTextSize);
    UniqueStdioFile file = open_file(stamp_path, "rb");
    if (!file) {
        return false;
    }
    char bytes[kVersionTextSize - 1];
    size_t read = std::fread(bytes, 1, sizeof(bytes), file.get());
    // The bytes are in; how the close goes changes nothing.
    static_cast<void>(file.close());
    version_stamp_text(bytes, read, out);
    return true;
}

void version_stamp_text(const char* bytes, size_t length, char out[kVersionTextSize]) {
    std::memset(out, 0, kVersionTextSize);
    if (length > 0) {
        std::memcpy(out, bytes, length < kVersionTextSize - 1 ? length : kVersionTextSize - 1);
    }
    trim_in_place(out);
}

bool write_version_stamp(const char* stamp_path, const char* version) {
    UniqueStdioFile file = open_file(stamp_path, "wb");
    if (!file) {
        return false;
    }
    size_t length = std::strlen(version);
    bool written =
        std::fwrite(version, 1, length, file.get()) == length && std::fflush(file.get()) == 0;
    return file.close() && written;
}

namespace {

// One "%d" conversion; numbers that do not fit a signed 32-bit integer are refused, and so are
// negative ones.
bool scan_non_negative_int(const char** cursor, int32_t* value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!scan_decimal(cursor, INT32_MAX, &negative, &magnitude) || magnitude > INT32_MAX ||
        (negative && magnitude != 0)) {
        return false;
    }
    *value = static_cast<int32_t>(magnitude);
    return true;
}

}  // namespace

bool parse_version(const char* text, VersionTriple* out) {
    VersionTriple triple{};
    const char* cursor = text;
    if (!scan_non_negative_int(&cursor, &triple.major) || *cursor++ != '.' ||
        !scan_non_negative_int(&cursor, &triple.minor) || *cursor++ != '.' ||
        !scan_non_negative_int(&cursor, &triple.patch)) {
        return false;
    }
    while (is_scanf_space(*cursor)) {
        ++cursor;
    }
    if (*cursor != '\0') {
        return false;
    }
    if (out != nullptr) {
        *out = triple;
    }
    return true;
}

VersionOrder compare_versions(const char* installed, const char* server) {
    VersionTriple local{};
    VersionTriple remote{};
    bool local_ok = parse_version(installed, &local);
    bool remote_ok = parse_version(server, &remote);
    if (local_ok && remote_ok) {
        const int32_t local_parts[] = {local.major, local.minor, local.patch};
        const int32_t remote_parts[] = {remote.major, remote.minor, remote.patch};
        for (int i = 0; i < 3; ++i) {
            if (local_parts[i] < remote_parts[i]) {
                return VersionOrder::LocalOlder;
            }
            if (local_parts[i] > remote_parts[i]) {
                return VersionOrder::LocalNewer;
            }
        }
        return VersionOrder::Equal;
    }
    if (remote_ok) {
        return VersionOrder::LocalOlder;
    }
    if (local_ok) {
        return VersionOrder::LocalNewer;
    }
    return VersionOrder::Equal;
}

}  // namespace velda
