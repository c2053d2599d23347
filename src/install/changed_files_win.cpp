#include "install/changed_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "install/changed_file_patches.h"
#include "install/changed_files_rules.h"
#include "install/download_digest.h"
#include "install/download_retry.h"
#include "install/file_digests.h"
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
            http_get_to_memory_with_progress(wide_url, &hash_file_, nullptr, nullptr,
                                             kChangedFilesTextTimeLimitMs, kChangedFilesTextBound);
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

// The plan's entries, one per path (compared ignoring ASCII case, as Windows names files).
class StagedChanges {
  public:
    explicit StagedChanges(CommitRecord* plan) : plan_(plan) {}

    void set(const std::string& path, CommitChange change) {
        std::string key = path;
        for (char& c : key) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        auto [found, added] = index_.try_emplace(key, plan_->entries.size());
        if (added) {
            plan_->entries.push_back({path, change});
        } else {
            plan_->entries[found->second] = {path, change};
        }
    }

  private:
    CommitRecord* plan_;
    std::map<std::string, size_t> index_;
};

Status download_changed_file(const char* staged_path, const char* base_url, const char* path_text,
                             const uint8_t* digest) {
    char file_url[kChangedFilesUrlSize];
    join_changed_file_url(base_url, path_text, file_url);
    wchar_t wide_file_url[kWideFileUrlUnits];
    utf8_to_wide(file_url, wide_file_url, kWideFileUrlUnits);
    ContinuableDownload download;
    TransferResult result = download_with_retries(wide_file_url, staged_path, nullptr, nullptr,
                                                  digest, &download, false);
    log_transfer_failure(file_url, result);
    log_if_digest_mismatch(result, path_text);
    return result.ok() ? Status::success() : Status::failure(StatusStage::Download);
}

struct ListContext {
    const char* install_folder;
    const char* base_url;
    const ChangedFilesChecks* checks;
    ChangedFilePatches* patches;
    StagedChanges* changes;
    size_t* downloads;
};

// From its patch when that works, else whole.
Status fetch_changed_file(const char* staged_path, const char* target_path, const char* path_text,
                          const ListContext& context) {
    const uint8_t* digest = nullptr;
    if (!context.checks->file_digest(path_text, &digest)) {
        return Status::failure(StatusStage::ChangedFiles);
    }
    ++*context.downloads;
    if (context.patches->stage(path_text, target_path, staged_path, digest)) {
        return Status::success();
    }
    return download_changed_file(staged_path, context.base_url, path_text, digest);
}

// What an earlier line staged for path is dropped. A deletion makes no folder in staging: the
// commit brings every staged folder into the installation.
void drop_staged_file(const char* install_folder, const std::string& path) {
    char staging[kPathSize] = {};
    char fresh[kPathSize] = {};
    char staged[kPathSize] = {};
    if (staging_folder_of(install_folder, staging) && join_path(staging, "new", fresh) &&
        join_path(fresh, path.c_str(), staged)) {
        DeleteFileA(staged);
    }
}

// One line of the list, trimmed in place.
Status stage_line(char* line, const ListContext& context) {
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
    std::string path;
    // A path text cut to fit would join into another name; join_path refuses it then.
    if (!join_path(context.install_folder, relative_path, target_path)) {
        return Status::failure(StatusStage::ChangedFiles, 0, "ruta demasiado larga: %s", line);
    }
    if (!canonical_commit_path(relative_path, &path)) {
        return Status::failure(StatusStage::ChangedFiles, 0, "ruta que no se puede instalar: %s",
                               line);
    }
    if (entry.action == ChangedFileAction::Delete) {
        // A file already gone, or a directory, is passed over, as is what an earlier line staged.
        drop_staged_file(context.install_folder, path);
        if (file_exists_not_directory(target_path)) {
            context.changes->set(path, CommitChange::Delete);
        }
        return Status::success();
    }
    char staged_path[kPathSize];
    if (!prepare_staged_path(context.install_folder, path, staged_path)) {
        return Status::failure(StatusStage::Staging, GetLastError(), "no se pudo preparar %s",
                               path.c_str());
    }
    Status downloaded = fetch_changed_file(staged_path, target_path, entry.path_text, context);
    if (downloaded) {
        context.changes->set(path, CommitChange::Put);
    }
    return downloaded;
}

// Success when every line staged; the list stays open only inside.
Status stage_list(FILE* list, const ListContext& context) {
    char line[kChangedFilesLineSize];
    std::memset(line, 0, sizeof(line));
    while (std::fgets(line, sizeof(line), list) != nullptr) {
        Status staged = stage_line(line, context);
        if (!staged) {
            return staged;
        }
    }
    return Status::success();
}

struct ListSource {
    const char* url;
    const char* name;
    const char* path;  // where the list is downloaded
    const char* base_url;
};

// The list downloaded beside the install folder's files, then staged.
Status fetch_and_stage_list(const char* install_folder, const ListSource& source,
                            const ChangedFilesDigests& digests, ProgressCallback callback,
                            void* user_data, CommitRecord* plan) {
    ChangedFilesChecks checks;
    if (!checks.prepare(digests)) {
        return Status::failure(StatusStage::ChangedFiles);
    }
    wchar_t wide_list_url[kWideListUrlUnits];
    utf8_to_wide(source.url, wide_list_url, kWideListUrlUnits);
    TransferResult fetched = http_get_to_file_with_progress(
        wide_list_url, source.path, callback, user_data, checks.list_digest(),
        kChangedFilesTextTimeLimitMs, kChangedFilesTextBound);
    log_transfer_failure(source.url, fetched);
    log_if_digest_mismatch(fetched, source.name);
    if (!fetched) {
        return Status::failure(StatusStage::Download);
    }
    // Closed when this returns: an open file could not be deleted after.
    UniqueStdioFile list = open_file(source.path, "rb");
    if (!list) {
        return Status::failure(StatusStage::ChangedFiles, 0, "no se pudo abrir la lista %s",
                               source.name);
    }
    ChangedFilePatches patches;
    patches.prepare(install_folder, digests);
    StagedChanges changes(plan);
    size_t downloads = 0;
    Status staged = stage_list(
        list.get(), {install_folder, source.base_url, &checks, &patches, &changes, &downloads});
    if (staged && patches.offered()) {
        char line[128] = {};
        format_bounded(
            line, sizeof(line), "Archivos modificados recibidos como parche: %lu de %lu.",
            static_cast<unsigned long>(patches.patched()), static_cast<unsigned long>(downloads));
        log_line(line);
    }
    return staged;
}

}  // namespace

Status stage_changed_files(const char* install_folder, const char* list_url, const char* base_url,
                           const ChangedFilesDigests& digests, ProgressCallback callback,
                           void* user_data, CommitRecord* plan) {
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
    Status staged = fetch_and_stage_list(install_folder, {list_url, list_name, list_path, base_url},
                                         digests, callback, user_data, plan);
    DeleteFileA(list_path);
    if (!staged) {
        log_line("Fallo aplicando archivos modificados, se usara ZIP completo.");
    }
    return staged;
}

}  // namespace velda
