#include "check_downloads.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "changed_list.h"
#include "common/expected_digest.h"
#include "common/hex.h"
#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/release_keys.h"
#include "common/text.h"
#include "install/changed_files_rules.h"
#include "install/file_digests.h"
#include "install/zip_directory.h"
#include "launcher/signature_reason.h"
#include "net/body_bound.h"
#include "release_crypto.h"
#include "release_text.h"
#include "tree_files.h"
#include "zip_file.h"

namespace velda {

namespace {

void add_signature_trap(const std::string& where, SignatureCheck check,
                        std::vector<std::string>* traps) {
    traps->push_back("the signature " + where + " " +
                     signature_reason(check, ReasonLanguage::English));
}

// The key file among those given that made the signature, or null.
const std::string* signing_key(const CheckOptions& options, const std::string& text,
                               const std::string& signature) {
    for (const std::string& key_file : options.public_keys) {
        std::string pem;
        std::string error;
        if (read_file_bytes(key_file, &pem) &&
            verify_release_message(pem, text, signature, &error)) {
            return &key_file;
        }
    }
    return nullptr;
}

// Every entry of the archive into package; false when it is no ZIP archive.
bool read_package_entries(const std::string& archive, const std::string& where, Package* package,
                          size_t* folders, std::vector<std::string>* traps) {
    std::string error;
    std::vector<ZipEntryInfo> entries;
    if (!read_zip_directory(archive, &entries, &error)) {
        traps->push_back("the package " + where + " is no ZIP archive (" + error + ")");
        return false;
    }
    for (const ZipEntryInfo& entry : entries) {
        std::string bytes;
        bool directory = !entry.name.empty() && entry.name.back() == '/';
        if (directory) {
            ++*folders;
            continue;
        }
        if (!read_zip_entry(archive, entry, &bytes, &error)) {
            traps->push_back("package entry \"" + printable(entry.name) + "\": " + error);
            continue;
        }
        std::string name = entry.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        // Windows finds Velda.exe whatever its case.
        if (equals_ignoring_ascii_case(name, kProductFileName)) {
            package->has_exe = true;
            package->exe = bytes;
        }
        package->files[name] = std::move(bytes);
    }
    return true;
}

// The list's hash file, read and vouched for; false when launchers would not use it.
bool read_file_digests(const Origin& origin, const Manifest& m, HashRule rule, std::string* text,
                       FileDigestList* digests, std::vector<std::string>* traps) {
    if (m.changed_files_hashes_url[0] == '\0') {
        if (rule.required) {
            traps->push_back(
                "the manifest gives no \"changed_files_hashes_url\", so launchers with a "
                "release key take no changed file");
        }
        return false;
    }
    std::string where;
    std::string error;
    if (!origin.get(m.changed_files_hashes_url, text, &where, &error)) {
        traps->push_back("the hash file " + where + " cannot be fetched (" + error +
                         "): every changed-files update fails");
        return false;
    }
    std::string what = "the hash file " + where;
    check_within_bound(what, text->size(), kChangedFilesTextBound,
                       "every changed-files update fails", traps);
    if (m.changed_files_hashes_sha256[0] == '\0') {
        traps->push_back(
            "the manifest gives \"changed_files_hashes_url\" without "
            "\"changed_files_hashes_sha256\": nothing vouches for " +
            what);
        return false;
    }
    if (!check_hash("changed_files_hashes_sha256", m.changed_files_hashes_sha256, *text, what, rule,
                    traps)) {
        return false;
    }
    if (!digests->parse(text->data(), text->size())) {
        traps->push_back(what + " line " + std::to_string(digests->error_line()) + ": " +
                         digests->error());
        return false;
    }
    std::printf("Hash file: %s, %zu files\n", where.c_str(), digests->size());
    return true;
}

// What check_changed_files holds while it goes through the list's lines.
struct ChangedFilesContext {
    const Origin& origin;
    const Manifest& manifest;
    const Package& package;
    const FileDigestList* digests;  // null when launchers would take no changed file
    ChangedFilesTotals* totals;
};

// The bytes of one line's download against the hash file and the package.
void compare_changed_file(const ChangedFilesContext& context, const ListEntry& entry,
                          const std::string& name, const std::string& line,
                          const std::string& where, const std::string& bytes,
                          std::vector<std::string>* traps) {
    if (context.digests != nullptr) {
        const uint8_t* expected = context.digests->find(entry.path_text);
        uint8_t actual[kSha256Size];
        if (expected == nullptr) {
            traps->push_back(line + " \"" + printable(entry.path_text) +
                             "\" has no line in the hash file: launchers refuse " + where);
        } else if (!release_sha256(bytes, actual) ||
                   std::memcmp(actual, expected, kSha256Size) != 0) {
            traps->push_back("the changed file " + where + " (" + line +
                             ") does not match its SHA-256 in the hash file");
        }
    }
    const Package& package = context.package;
    if (package.read) {
        auto in_package = package.files.find(name);
        if (in_package == package.files.end()) {
            traps->push_back(line + " \"" + entry.path_text +
                             "\" is not in the package: a fresh installation lacks it");
        } else if (in_package->second != bytes) {
            traps->push_back(line + " \"" + entry.path_text +
                             "\" differs from the package's file of that name");
        }
    }
}

void check_changed_entry(const ChangedFilesContext& context, const ListEntry& entry,
                         std::vector<std::string>* traps) {
    std::string name = entry.path_text;
    for (char& c : name) {
        c = c == '\\' ? '/' : c;
    }
    std::string line = "line " + std::to_string(entry.line_number);
    if (entry.action == ChangedFileAction::Delete) {
        if (context.package.read && context.package.files.count(name) > 0) {
            traps->push_back(line + " deletes \"" + entry.path_text +
                             "\", which the package installs");
        }
        return;
    }
    if (context.manifest.changed_files_base_url[0] == '\0') {
        return;
    }
    char url[kChangedFilesUrlSize];
    join_changed_file_url(context.manifest.changed_files_base_url, entry.path_text.c_str(), url);
    std::string bytes;
    std::string where;
    std::string error;
    if (!context.origin.get(url, &bytes, &where, &error)) {
        traps->push_back(line + " \"" + printable(entry.path_text) +
                         "\" is missing under the base URL (" + where + ": " + error + ")");
        return;
    }
    context.totals->files_size += bytes.size();
    ++context.totals->files_fetched;
    compare_changed_file(context, entry, name, line, where, bytes, traps);
}

}  // namespace

bool check_hash(const char* key, const char* field, std::string_view bytes,
                const std::string& where, HashRule rule, std::vector<std::string>* traps) {
    ExpectedDigest expected = ExpectedDigest::from_field(field);
    if (expected.state() == ExpectedDigest::State::Absent) {
        if (rule.required) {
            traps->push_back(where + ": the manifest gives no \"" + key +
                             "\", so launchers with a release key refuse it");
            return false;
        }
        return true;
    }
    if (expected.state() == ExpectedDigest::State::Malformed) {
        traps->push_back(std::string("\"") + key + "\" is not 64 hex digits, so launchers refuse " +
                         where);
        return false;
    }
    uint8_t actual[kSha256Size];
    char actual_hex[kSha256HexSize];
    if (!release_sha256(bytes, actual)) {
        traps->push_back("cannot hash " + where);
        return false;
    }
    bytes_to_hex(actual, kSha256Size, actual_hex);
    if (std::memcmp(actual, expected.bytes(), kSha256Size) != 0) {
        traps->push_back(where + " does not match \"" + key + "\": its SHA-256 is " + actual_hex +
                         ", the manifest gives " + printable(field));
        return false;
    }
    std::printf("  SHA-256 matches \"%s\"\n", key);
    return true;
}

void check_within_bound(const std::string& what, size_t size, uint64_t max_bytes,
                        const char* effect, std::vector<std::string>* traps) {
    if (size > max_bytes) {
        traps->push_back(what + " is " + std::to_string(size) + " bytes, more than the " +
                         std::to_string(max_bytes) + " launchers take: " + effect);
    }
}

void check_signature(const Origin& origin, const CheckOptions& options, const std::string& text,
                     std::vector<std::string>* traps, std::vector<std::string>* notes) {
    std::string signature;
    std::string where;
    std::string error;
    if (!origin.get_signature(options.manifest, &signature, &where, &error)) {
        std::printf("Signature: none at %s (%s): an unsigned release\n", where.c_str(),
                    error.c_str());
        if (!options.public_keys.empty()) {
            traps->push_back("the signature " + where + " cannot be fetched (" + error +
                             "): launchers with a release key refuse the manifest");
        } else {
            notes->push_back("the release is unsigned: launchers with a release key refuse it");
        }
        return;
    }
    uint8_t rs[kP256SignatureSize];
    if (!der_signature_to_p256_rs(reinterpret_cast<const uint8_t*>(signature.data()),
                                  signature.size(), rs)) {
        add_signature_trap(where, SignatureCheck::Malformed, traps);
        return;
    }
    if (options.public_keys.empty()) {
        std::printf("Signature: %s, %zu bytes, not checked (no --public-key)\n", where.c_str(),
                    signature.size());
        return;
    }
    if (const std::string* key_file = signing_key(options, text, signature)) {
        std::printf("Signature: %s, verified with %s\n", where.c_str(), key_file->c_str());
        return;
    }
    add_signature_trap(where, SignatureCheck::WrongKey, traps);
}

void check_package(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                   Package* package, std::vector<std::string>* traps) {
    const Manifest& m = analysis.manifest;
    if (analysis.package_file_name.empty()) {
        return;
    }
    std::string archive;
    std::string where;
    std::string error;
    if (!origin.get(m.url, &archive, &where, &error)) {
        traps->push_back("the package " + where + " cannot be fetched (" + error +
                         "): first installations fail with \"No se pudo descargar el ZIP de "
                         "Velda.\"");
        return;
    }
    // A mismatch is reported and the reading goes on, so that every other fault shows too.
    check_hash("package_sha256", m.package_sha256, archive, "the package " + where, rule, traps);
    // The launcher's own test of the package's names, run before it unpacks anything.
    std::string_view archive_bytes = archive;
    ZipSource source = zip_source_in_memory(&archive_bytes);
    char bad_name[kPathSize] = {};
    ZipCheck verdict = check_zip_source(source, bad_name, sizeof(bad_name));
    if (verdict == ZipCheck::Unsafe) {
        traps->push_back("the launcher refuses the package: entry \"" + printable(bad_name) +
                         "\" would land outside the install folder");
    } else if (verdict == ZipCheck::Malformed) {
        traps->push_back("the launcher refuses the package " + where +
                         ": its central directory is malformed or it is no ZIP archive");
        return;
    }
    size_t folders = 0;
    if (!read_package_entries(archive, where, package, &folders, traps)) {
        return;
    }
    package->read = true;
    package->archive_size = archive.size();
    std::printf("Package: %s, %zu files and %zu folders\n", where.c_str(), package->files.size(),
                folders);
    if (!package->has_exe) {
        traps->push_back(
            "the package holds no Velda.exe at its top level: installations from it "
            "end with \"Actualizacion incompleta: el paquete no contiene Velda.exe "
            "en la carpeta esperada.\"");
    }
}

void check_direct(const Origin& origin, const Manifest& m, HashRule rule, const Package& package,
                  std::vector<std::string>* traps, std::vector<std::string>* notes,
                  std::optional<uint64_t>* direct_size) {
    std::string exe;
    std::string where;
    std::string error;
    if (!origin.get_direct(&exe, &where, &error)) {
        notes->push_back("the direct executable " + where + " cannot be fetched (" + error +
                         "): launchers with an install folder fall back to the package");
        return;
    }
    std::printf("Direct executable: %s, %zu bytes\n", where.c_str(), exe.size());
    if (direct_size != nullptr) {
        *direct_size = exe.size();
    }
    check_hash("direct_sha256", m.direct_sha256, exe, "the direct executable " + where, rule,
               traps);
    if (package.has_exe && exe != package.exe) {
        traps->push_back("the direct executable " + where +
                         " differs from the package's Velda.exe: launchers that take it get "
                         "another program than the version they stamp");
    }
}

void check_changed_files(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                         const Package& package, std::vector<std::string>* traps,
                         ChangedFilesTotals* totals) {
    ChangedFilesTotals unused;
    totals = totals != nullptr ? totals : &unused;
    const Manifest& m = analysis.manifest;
    if (analysis.list_file_name.empty()) {
        return;
    }
    std::string text;
    std::string where;
    std::string error;
    if (!origin.get(m.changed_files_url, &text, &where, &error)) {
        traps->push_back("the changed-files list " + where + " cannot be fetched (" + error +
                         "): every changed-files update fails");
        return;
    }
    totals->list_read = true;
    totals->list_size = text.size();
    check_within_bound("the changed-files list " + where, text.size(), kChangedFilesTextBound,
                       "every changed-files update fails", traps);
    check_hash("changed_files_sha256", m.changed_files_sha256, text,
               "the changed-files list " + where, rule, traps);
    std::string digest_text;
    FileDigestList digests;
    bool have_digests = read_file_digests(origin, m, rule, &digest_text, &digests, traps);
    totals->hashes_read = have_digests || !digest_text.empty();
    totals->hashes_size = digest_text.size();
    ListAnalysis list = analyze_changed_files_list(text);
    size_t deletions = 0;
    for (const ListEntry& entry : list.entries) {
        deletions += entry.action == ChangedFileAction::Delete ? 1 : 0;
    }
    std::printf("Changed-files list: %s, %zu downloads, %zu deletions, %zu refused lines\n",
                where.c_str(), list.entries.size() - deletions, deletions, list.refused_lines);
    traps->insert(traps->end(), list.traps.begin(), list.traps.end());
    totals->downloads = list.entries.size() - deletions;
    totals->deletions = deletions;
    totals->only_product_file = deletions == 0 && list.refused_lines == 0;
    ChangedFilesContext context{origin, m, package, have_digests ? &digests : nullptr, totals};
    for (const ListEntry& entry : list.entries) {
        check_changed_entry(context, entry, traps);
        if (entry.action != ChangedFileAction::Delete && entry.path_text != kProductFileName) {
            totals->only_product_file = false;
        }
    }
}

}  // namespace velda
