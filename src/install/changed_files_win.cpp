#include "install/changed_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "install/changed_files_rules.h"
#include "install/download_digest.h"
#include "install/download_retry.h"
#include "install/file_digests.h"
#include "common/busy_file.h"
#include "common/crypto.h"
#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/stdio_file.h"
#include "common/text.h"
#include "common/wide.h"
#include "net/http.h"
#include "net/url_filename.h"

namespace velda {

namespace {

constexpr int kWideListUrlUnits = 2048;
constexpr int kWideFileUrlUnits = 4096;

// Makes sure of every ancestor of target_path, from the outermost down to its own folder.
bool ensure_parent_directories(const char* target_path) {
    char parent[kPathSize];
    if (!changed_file_parent_path(target_path, parent)) {
        return true;
    }
    for (char* p = parent + 1; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            char separator = *p;
            *p = '\0';
            bool ok = ensure_directory(parent);
            *p = separator;
            if (!ok) {
                return false;
            }
        }
    }
    return ensure_directory(parent);
}

// The SHA-256 values the list's downloads are checked against: the list's own, from the
// manifest, and each changed file's, from the hash file that the manifest vouches for.
class ChangedFilesChecks {
  public:
    // False, with a log line, when the manifest's values do not let the update go ahead.
    bool prepare(const ChangedFilesDigests& digests) {
        list_ = ExpectedDigest::from_field(digests.list_sha256);
        if (!download_may_start(list_, digests.required, "la lista de archivos modificados")) {
            return false;
        }
        if (digests.hashes_url[0] == '\0' && !digests.required) {
            return true;
        }
        extract_filename_from_url(digests.hashes_url, hashes_name_);
        if (hashes_name_[0] == '\0') {
            log_line("latest.json no da el archivo de SHA-256 de los archivos modificados.");
            return false;
        }
        ExpectedDigest hashes = ExpectedDigest::from_field(digests.hashes_sha256);
        if (!download_may_start(hashes, digests.required, hashes_name_)) {
            return false;
        }
        return fetch_hash_file(digests.hashes_url, hashes);
    }

    const uint8_t* list_digest() const { return list_.bytes(); }

    // The SHA-256 that the changed file at path_text must have: null when no hash file was
    // given. False, with a log line, when the hash file has none for it.
    bool file_digest(const char* path_text, const uint8_t** digest) const {
        *digest = nullptr;
        if (!hash_file_read_) {
            return true;
        }
        *digest = file_digests_.find(path_text);
        if (*digest == nullptr) {
            char line[kChangedFilesLineSize + 64] = {};
            format_bounded(line, sizeof(line), "El archivo de SHA-256 no da el de %s.", path_text);
            log_line(line);
            return false;
        }
        return true;
    }

  private:
    bool fetch_hash_file(const char* url, const ExpectedDigest& expected) {
        wchar_t wide_url[kWideListUrlUnits];
        utf8_to_wide(url, wide_url, kWideListUrlUnits);
        TransferResult fetched =
            http_get_to_memory_with_progress(wide_url, &hash_file_, nullptr, nullptr);
        log_transfer_failure(url, fetched);
        if (!fetched || hash_file_.data() == nullptr) {
            char line[kPathSize + 64] = {};
            format_bounded(line, sizeof(line), "No se pudo descargar %s.", hashes_name_);
            log_line(line);
            return false;
        }
        uint8_t digest[kSha256Size] = {};
        if (expected.bytes() != nullptr &&
            (!sha256_bytes(hash_file_.data(), hash_file_.size(), digest) ||
             std::memcmp(digest, expected.bytes(), kSha256Size) != 0)) {
            TransferResult mismatch;
            mismatch.stage = TransferStage::Digest;
            log_if_digest_mismatch(mismatch, hashes_name_);
            return false;
        }
        if (!file_digests_.parse(hash_file_.data(), hash_file_.size())) {
            char line[256] = {};
            format_bounded(line, sizeof(line), "Archivo de SHA-256 ilegible, linea %lu: %s.",
                           static_cast<unsigned long>(file_digests_.error_line()),
                           file_digests_.error());
            log_line(line);
            return false;
        }
        hash_file_read_ = true;
        return true;
    }

    ExpectedDigest list_;
    char hashes_name_[kPathSize] = {};
    HttpBody hash_file_;  // the text file_digests_ points into
    FileDigestList file_digests_;
    bool hash_file_read_ = false;
};

Status download_changed_file(const char* target_path, const char* base_url, const char* path_text,
                             const ChangedFilesChecks& checks) {
    const uint8_t* digest = nullptr;
    if (!checks.file_digest(path_text, &digest)) {
        return Status::failure(StatusStage::ChangedFiles);
    }
    if (!ensure_parent_directories(target_path)) {
        return Status::failure(StatusStage::ChangedFiles, GetLastError(),
                               "no se pudo crear la carpeta de %s", target_path);
    }
    char file_url[kChangedFilesUrlSize];
    join_changed_file_url(base_url, path_text, file_url);
    wchar_t wide_file_url[kWideFileUrlUnits];
    utf8_to_wide(file_url, wide_file_url, kWideFileUrlUnits);
    ContinuableDownload download;
    TransferResult result = download_with_retries(wide_file_url, target_path, nullptr, nullptr,
                                                  digest, &download, false);
    log_transfer_failure(file_url, result);
    log_if_digest_mismatch(result, path_text);
    return result.ok() ? Status::success() : Status::failure(StatusStage::Download);
}

// A file that is already gone, or a directory, is passed over; one that another program holds
// is waited for, and when it stays held the changed files cannot be applied.
Status delete_listed_file(const char* target_path) {
    if (delete_file_when_free(target_path)) {
        return Status::success();
    }
    DWORD error = GetLastError();
    if (!held_by_another_program(target_path, error)) {
        return Status::success();
    }
    return Status::failure(StatusStage::ChangedFiles, error, "%s sigue en uso", target_path);
}

// One line of the list, trimmed in place.
Status apply_line(char* line, const char* install_folder, const char* base_url,
                  const ChangedFilesChecks& checks) {
    ChangedFileEntry entry = classify_changed_file_line(line);
    if (entry.action == ChangedFileAction::Skip) {
        return Status::success();
    }
    if (entry.action == ChangedFileAction::Refuse) {
        return Status::failure(StatusStage::ChangedFiles, 0, "linea rechazada (%s): %s",
                               changed_file_refusal_text(entry.refusal), line);
    }
    char relative_path[kPathSize];
    changed_file_relative_path(entry.path_text, relative_path);
    char target_path[kPathSize];
    // A path text cut to fit would join into another name; join_path refuses it then.
    if (!join_path(install_folder, relative_path, target_path)) {
        return Status::failure(StatusStage::ChangedFiles, 0, "ruta demasiado larga: %s", line);
    }
    if (entry.action == ChangedFileAction::Delete) {
        return delete_listed_file(target_path);
    }
    return download_changed_file(target_path, base_url, entry.path_text, checks);
}

// Success when every line applied; the list stays open only inside.
Status apply_list(FILE* list, const char* install_folder, const char* base_url,
                  const ChangedFilesChecks& checks) {
    char line[kChangedFilesLineSize];
    std::memset(line, 0, sizeof(line));
    while (std::fgets(line, sizeof(line), list) != nullptr) {
        Status applied = apply_line(line, install_folder, base_url, checks);
        if (!applied) {
            return applied;
        }
    }
    return Status::success();
}

// The list downloaded beside the install folder's files, then applied.
Status fetch_and_apply_list(const char* install_folder, const char* list_url, const char* list_name,
                            const char* list_path, const char* base_url,
                            const ChangedFilesDigests& digests, ProgressCallback callback,
                            void* user_data) {
    ChangedFilesChecks checks;
    if (!checks.prepare(digests)) {
        return Status::failure(StatusStage::ChangedFiles);
    }
    wchar_t wide_list_url[kWideListUrlUnits];
    utf8_to_wide(list_url, wide_list_url, kWideListUrlUnits);
    TransferResult fetched = http_get_to_file_with_progress(wide_list_url, list_path, callback,
                                                            user_data, checks.list_digest());
    log_transfer_failure(list_url, fetched);
    log_if_digest_mismatch(fetched, list_name);
    if (!fetched) {
        return Status::failure(StatusStage::Download);
    }
    // Closed when this returns: an open file could not be deleted after.
    UniqueStdioFile list = open_file(list_path, "rb");
    if (!list) {
        return Status::failure(StatusStage::ChangedFiles, 0, "no se pudo abrir la lista %s",
                               list_name);
    }
    return apply_list(list.get(), install_folder, base_url, checks);
}

}  // namespace

Status apply_changed_files(const char* install_folder, const char* list_url, const char* base_url,
                           const ChangedFilesDigests& digests, ProgressCallback callback,
                           void* user_data) {
    log_line("Instalacion detectada, aplicando archivos modificados...");

    char list_name[kPathSize];
    std::memset(list_name, 0, sizeof(list_name));
    extract_filename_from_url(list_url, list_name);
    if (list_name[0] == '\0') {
        return Status::failure(StatusStage::ChangedFiles, 0,
                               "la URL de la lista no nombra un archivo: %s", list_url);
    }

    char list_path[kPathSize];
    if (!join_path(install_folder, list_name, list_path)) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
        return Status::failure(StatusStage::ChangedFiles, 0, "ruta demasiado larga: %s", list_name);
    }
    Status applied = fetch_and_apply_list(install_folder, list_url, list_name, list_path, base_url,
                                          digests, callback, user_data);
    DeleteFileA(list_path);
    if (!applied) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
        return applied;
    }
    log_line("Archivos modificados aplicados correctamente.");
    return Status::success();
}

}  // namespace velda
