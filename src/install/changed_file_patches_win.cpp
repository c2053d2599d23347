#include "install/changed_file_patches.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "common/crypto.h"
#include "common/expected_digest.h"
#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/wide.h"
#include "delta/delta_file.h"
#include "install/changed_files_rules.h"
#include "install/download_retry.h"
#include "install/staged_commit.h"
#include "net/http.h"

namespace velda {

namespace {

constexpr int kWideUrlUnits = 4096;
constexpr char kPatchFileName[] = "patch.vpatch";

void index_refused(const char* why) {
    log_detail("Fallo en lista de parches: %s; todos los archivos se descargan enteros.", why);
}

void patch_refused(const char* why, const char* path_text) {
    log_detail("Fallo en parche: %s; el archivo se descarga entero: %s", why, path_text);
}

bool same_digest(const uint8_t a[kSha256Size], const uint8_t b[kSha256Size]) {
    return std::memcmp(a, b, kSha256Size) == 0;
}

}  // namespace

void ChangedFilePatches::prepare(const char* install_folder, const ChangedFilesDigests& digests) {
    offered_ = digests.patches_url[0] != '\0';
    if (!offered_) {
        return;
    }
    char staging[kPathSize] = {};
    if (digests.patch_base_url[0] == '\0') {
        index_refused("latest.json no dice donde estan los parches");
        return;
    }
    if (!staging_folder_of(install_folder, staging) ||
        !join_path(staging, kPatchFileName, patch_path_)) {
        index_refused("ruta demasiado larga");
        return;
    }
    base_url_ = digests.patch_base_url;
    ready_ = fetch_index(digests);
}

// The index is a single bounded attempt like the hash file: without it, files come whole.
bool ChangedFilePatches::fetch_index(const ChangedFilesDigests& digests) {
    ExpectedDigest expected = ExpectedDigest::from_field(digests.patches_sha256);
    if (!expected.allows_download(digests.required)) {
        index_refused("latest.json no da un SHA-256 valido de la lista");
        return false;
    }
    if (digests.patches_size > kChangedFilesTextBound) {
        index_refused("la lista pasa de 16 MiB");
        return false;
    }
    uint64_t bound = digests.patches_size != 0 ? digests.patches_size : kChangedFilesTextBound;
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(digests.patches_url, wide_url, kWideUrlUnits);
    TransferResult fetched = http_get_to_memory_with_progress(
        wide_url, &index_text_, nullptr, nullptr, kChangedFilesTextTimeLimitMs, bound);
    log_transfer_failure(digests.patches_url, fetched);
    if (!fetched || index_text_.data() == nullptr) {
        index_refused("descarga fallida");
        return false;
    }
    uint8_t digest[kSha256Size] = {};
    if (expected.bytes() != nullptr &&
        (!sha256_bytes(index_text_.data(), index_text_.size(), digest) ||
         !same_digest(digest, expected.bytes()))) {
        index_refused("su SHA-256 no coincide");
        return false;
    }
    if (!index_.parse(index_text_.data(), index_text_.size())) {
        log_detail(
            "Fallo en lista de parches: ilegible, linea %lu: %s; todos los archivos se "
            "descargan enteros.",
            static_cast<unsigned long>(index_.error_line()), index_.error());
        return false;
    }
    return true;
}

bool ChangedFilePatches::stage(const char* path_text, const char* installed_path,
                               const char* staged_path, const uint8_t* listed_sha256) {
    const PatchEntry* entry = ready_ ? index_.find(path_text) : nullptr;
    if (entry == nullptr) {
        return false;
    }
    // The hash file and the index both vouch for the new file; a release where they differ is
    // not one to build a file from.
    if (listed_sha256 != nullptr && !same_digest(listed_sha256, entry->result_sha256)) {
        patch_refused("la lista de parches y el archivo de SHA-256 no coinciden", path_text);
        return false;
    }
    uint8_t installed[kSha256Size] = {};
    if (!file_exists_not_directory(installed_path) || !sha256_file(installed_path, installed) ||
        !same_digest(installed, entry->base_sha256)) {
        patch_refused("el archivo instalado no es la base del parche", path_text);
        return false;
    }
    bool staged = apply(*entry, path_text, installed_path, staged_path);
    DeleteFileA(patch_path_);
    if (!staged) {
        DeleteFileA(staged_path);
        return false;
    }
    ++patched_;
    return true;
}

bool ChangedFilePatches::apply(const PatchEntry& entry, const char* path_text,
                               const char* installed_path, const char* staged_path) {
    std::string patch_text = std::string(path_text) + kPatchFileSuffix;
    char patch_url[kChangedFilesUrlSize];
    join_changed_file_url(base_url_, patch_text.c_str(), patch_url);
    wchar_t wide_url[kWideUrlUnits];
    utf8_to_wide(patch_url, wide_url, kWideUrlUnits);
    ContinuableDownload download;
    download.max_bytes = entry.patch_size;
    TransferResult fetched = download_with_retries(wide_url, patch_path_, nullptr, nullptr,
                                                   entry.patch_sha256, &download, false);
    log_transfer_failure(patch_url, fetched);
    if (!fetched.ok()) {
        patch_refused(fetched.stage == TransferStage::Digest
                          ? "el parche no coincide con su SHA-256"
                          : "no se pudo descargar el parche",
                      path_text);
        return false;
    }
    DeltaResult applied =
        apply_delta_patch_file(patch_path_, installed_path, staged_path, entry.result_size);
    if (applied != DeltaResult::Applied) {
        log_detail("Fallo en parche: no se aplica (%s); el archivo se descarga entero: %s",
                   delta_result_text(applied), path_text);
        return false;
    }
    uint8_t result[kSha256Size] = {};
    if (!sha256_file(staged_path, result) || !same_digest(result, entry.result_sha256)) {
        patch_refused("el resultado no coincide con su SHA-256", path_text);
        return false;
    }
    return true;
}

}  // namespace velda
