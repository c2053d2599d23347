#include "check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "changed_list.h"
#include "common/hex.h"
#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/release_keys.h"
#include "common/text.h"
#include "install/file_digests.h"
#include "fetch.h"
#include "install/changed_files_rules.h"
#include "install/zip_directory.h"
#include "launcher/server_paths.h"
#include "launcher/update_plan.h"
#include "manifest_check.h"
#include "release_crypto.h"
#include "release_text.h"
#include "tree_files.h"
#include "zip_file.h"

namespace fs = std::filesystem;

namespace {

// Where the release's files come from: a server, or a folder laid out as its document root.
class Origin {
  public:
    Origin(const CheckOptions& options, std::vector<std::string>* notes) {
        fetch_.ca_file = options.ca_file;
        is_url_ = is_http_url(options.manifest);
        if (is_url_) {
            std::string_view url = options.manifest;
            size_t host = url.find("://") + 3;
            size_t slash = url.find_first_of("/?#", host);
            server_ = std::string(url.substr(0, slash));
            if (url_request_path(url) != kManifestPath) {
                notes->push_back(std::string("the launcher fetches the manifest from ") +
                                 kManifestPath + " on its server, not from " +
                                 url_request_path(url));
            }
            return;
        }
        std::error_code ec;
        fs::path manifest = fs::absolute(options.manifest, ec).lexically_normal();
        root_ = options.root.empty() ? manifest.parent_path().parent_path()
                                     : fs::absolute(options.root, ec).lexically_normal();
        fs::path expected = tree_path(root_, std::string(kManifestPath).substr(1));
        if (expected != manifest) {
            notes->push_back(
                "the manifest file is not at downloads/latest.json under the "
                "document root " +
                root_.string());
        }
    }

    bool is_url() const { return is_url_; }
    const fs::path& root() const { return root_; }

    std::string direct_url() const {
        return is_url_ ? server_ + kDirectExecutablePath
                       : std::string(kDirectExecutablePath) + " on the launcher's server";
    }

    // The body of a URL the release names; where tells the file or URL that was read.
    bool get(const std::string& url, std::string* body, std::string* where,
             std::string* error) const {
        if (is_url_) {
            *where = url;
            return fetch_url(url, fetch_, body, error);
        }
        fs::path path;
        if (!local_path(url, &path, error)) {
            *where = url;
            return false;
        }
        *where = path.string();
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            *error = ec ? ec.message() : "no such file";
            return false;
        }
        if (!read_file_bytes(path, body)) {
            *error = "cannot read it";
            return false;
        }
        return true;
    }

    bool get_direct(std::string* body, std::string* where, std::string* error) const {
        if (is_url_) {
            return get(direct_url(), body, where, error);
        }
        return get(std::string("http://root") + kDirectExecutablePath, body, where, error);
    }

    // The detached signature beside the manifest: its URL or file name with ".sig" added.
    bool get_signature(const std::string& manifest, std::string* body, std::string* where,
                       std::string* error) const {
        *where = manifest + ".sig";
        if (is_url_) {
            return fetch_url(*where, fetch_, body, error);
        }
        std::error_code ec;
        if (!fs::is_regular_file(*where, ec)) {
            *error = "no such file";
            return false;
        }
        if (!read_file_bytes(*where, body)) {
            *error = "cannot read it";
            return false;
        }
        return true;
    }

    bool get_manifest(const std::string& manifest, std::string* body, std::string* error) const {
        if (is_url_) {
            return fetch_url(manifest, fetch_, body, error);
        }
        if (!read_file_bytes(manifest, body)) {
            *error = "cannot read the file";
            return false;
        }
        return true;
    }

  private:
    // The file a server serving root would answer with for this URL's path.
    bool local_path(const std::string& url, fs::path* path, std::string* error) const {
        std::string request = url_request_path(url);
        if (request.empty() || request[0] != '/') {
            *error = "not an http(s) URL with a path";
            return false;
        }
        fs::path relative = fs::path(request.substr(1)).lexically_normal();
        if (relative.empty() || *relative.begin() == "..") {
            *error = "the path leaves the document root";
            return false;
        }
        *path = root_ / relative;
        return true;
    }

    bool is_url_ = false;
    std::string server_;
    fs::path root_;
    FetchOptions fetch_;
};

struct Package {
    bool read = false;
    std::map<std::string, std::string> files;  // entry name -> bytes
    std::string exe;                           // the top-level Velda.exe
    bool has_exe = false;
};

void print_field(const FieldReading& field) {
    std::printf("  %-24s %-10s \"%s\"\n", field.key, field.found ? "found" : "not found",
                printable(field.value).c_str());
}

// Whether hashes are required: a launcher with a release key takes no download without one.
struct HashRule {
    bool required;
};

// Checks bytes against the manifest's hash member key; false when it fails.
bool check_hash(const char* key, const char* field, std::string_view bytes,
                const std::string& where, HashRule rule, std::vector<std::string>* traps) {
    if (field[0] == '\0') {
        if (rule.required) {
            traps->push_back(where + ": the manifest gives no \"" + key +
                             "\", so launchers with a release key refuse it");
            return false;
        }
        return true;
    }
    uint8_t expected[kSha256Size];
    if (!manifest_sha256(field, expected)) {
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
    if (std::memcmp(actual, expected, kSha256Size) != 0) {
        traps->push_back(where + " does not match \"" + key + "\": its SHA-256 is " + actual_hex +
                         ", the manifest gives " + printable(field));
        return false;
    }
    std::printf("  SHA-256 matches \"%s\"\n", key);
    return true;
}

// Verifies the detached signature with each key given; reports what a launcher holding those
// keys would make of the manifest.
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
        traps->push_back("the signature " + where +
                         " is no strict DER ECDSA P-256 signature: launchers with a release key "
                         "refuse the manifest");
        return;
    }
    if (options.public_keys.empty()) {
        std::printf("Signature: %s, %zu bytes, not checked (no --public-key)\n", where.c_str(),
                    signature.size());
        return;
    }
    for (const std::string& key_file : options.public_keys) {
        std::string pem;
        read_file_bytes(key_file, &pem);
        if (verify_release_message(pem, text, signature, &error)) {
            std::printf("Signature: %s, verified with %s\n", where.c_str(), key_file.c_str());
            return;
        }
    }
    traps->push_back("the signature " + where +
                     " was made by none of the given keys over the manifest's bytes (the "
                     "manifest or the signature was changed, or another key signed it): "
                     "launchers with these keys refuse the manifest");
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
    std::vector<ZipEntryInfo> entries;
    if (!read_zip_directory(archive, &entries, &error)) {
        traps->push_back("the package " + where + " is no ZIP archive (" + error + ")");
        return;
    }
    size_t folders = 0;
    for (const ZipEntryInfo& entry : entries) {
        std::string bytes;
        bool directory = !entry.name.empty() && entry.name.back() == '/';
        if (directory) {
            ++folders;
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
    package->read = true;
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
                  std::vector<std::string>* traps, std::vector<std::string>* notes) {
    std::string exe;
    std::string where;
    std::string error;
    if (!origin.get_direct(&exe, &where, &error)) {
        notes->push_back("the direct executable " + where + " cannot be fetched (" + error +
                         "): launchers with an install folder fall back to the package");
        return;
    }
    std::printf("Direct executable: %s, %zu bytes\n", where.c_str(), exe.size());
    check_hash("direct_sha256", m.direct_sha256, exe, "the direct executable " + where, rule,
               traps);
    if (package.has_exe && exe != package.exe) {
        traps->push_back("the direct executable " + where +
                         " differs from the package's Velda.exe: launchers that take it get "
                         "another program than the version they stamp");
    }
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

void check_changed_files(const Origin& origin, const ManifestAnalysis& analysis, HashRule rule,
                         const Package& package, std::vector<std::string>* traps) {
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
    check_hash("changed_files_sha256", m.changed_files_sha256, text,
               "the changed-files list " + where, rule, traps);
    std::string digest_text;
    FileDigestList digests;
    bool have_digests = read_file_digests(origin, m, rule, &digest_text, &digests, traps);
    ListAnalysis list = analyze_changed_files_list(text);
    size_t deletions = 0;
    for (const ListEntry& entry : list.entries) {
        deletions += entry.action == ChangedFileAction::Delete ? 1 : 0;
    }
    std::printf("Changed-files list: %s, %zu downloads, %zu deletions, %zu refused lines\n",
                where.c_str(), list.entries.size() - deletions, deletions, list.refused_lines);
    traps->insert(traps->end(), list.traps.begin(), list.traps.end());
    for (const ListEntry& entry : list.entries) {
        std::string name = entry.path_text;
        for (char& c : name) {
            c = c == '\\' ? '/' : c;
        }
        std::string line = "line " + std::to_string(entry.line_number);
        if (entry.action == ChangedFileAction::Delete) {
            if (package.read && package.files.count(name) > 0) {
                traps->push_back(line + " deletes \"" + entry.path_text +
                                 "\", which the package installs");
            }
            continue;
        }
        if (m.changed_files_base_url[0] == '\0') {
            continue;
        }
        char url[kChangedFilesUrlSize];
        join_changed_file_url(m.changed_files_base_url, entry.path_text.c_str(), url);
        std::string bytes;
        if (!origin.get(url, &bytes, &where, &error)) {
            traps->push_back(line + " \"" + printable(entry.path_text) +
                             "\" is missing under the base URL (" + where + ": " + error + ")");
            continue;
        }
        if (have_digests) {
            const uint8_t* expected = digests.find(entry.path_text);
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
}

const char* means_text(UpdateMeans means) {
    switch (means) {
        case UpdateMeans::ChangedFiles:
            return "changed files";
        case UpdateMeans::KillProducts:
            return "end running Velda.exe processes";
        case UpdateMeans::DirectExecutable:
            return "the executable alone from";
        case UpdateMeans::Package:
            return "the package";
    }
    return "?";
}

void print_prediction(const CheckOptions& options, const Origin& origin,
                      const ManifestAnalysis& analysis) {
    LauncherSituation situation{};
    std::string who;
    if (options.no_install_folder) {
        situation = {false, false, "", false};
        who = "no install folder (first installation)";
    } else if (options.installed_given) {
        situation = {true, true, stamp_text_as_read(options.installed), true};
        who = "installed version \"" + printable(situation.installed_version) +
              "\" and Velda.exe in its install folder";
    } else {
        situation = {true, false, "", true};
        who = "an install folder holding Velda.exe but no version stamp";
    }
    const Manifest& m = analysis.manifest;
    LauncherPrediction prediction = predict_launcher_run(m, situation);
    std::printf("A launcher with %s:\n", who.c_str());
    for (const std::string& line : prediction.log_lines) {
        std::printf("  log: [launcher] %s\n", line.c_str());
    }
    if (!prediction.manifest_usable) {
        std::printf("  starts the Velda.exe beside it without updating\n");
        return;
    }
    if (prediction.package_name_box) {
        std::printf("  stops with the box \"%s\" and exit code 1\n", kPackageNameBox);
        return;
    }
    if (!prediction.update_needed) {
        std::printf("  is up to date and starts the installed product\n");
        return;
    }
    std::printf("  updates to %s, trying in this order:\n", m.version);
    int step = 0;
    bool kill_first = false;
    for (UpdateMeans means : prediction.means) {
        if (means == UpdateMeans::KillProducts) {
            kill_first = true;
            continue;
        }
        ++step;
        std::printf("  %d. %s%s%s", step, step > 1 ? "if that fails: " : "",
                    kill_first ? "end running Velda.exe processes, then " : "", means_text(means));
        kill_first = false;
        if (means == UpdateMeans::ChangedFiles) {
            std::printf(" from the list %s, files under %s\n", m.changed_files_url,
                        m.changed_files_base_url);
        } else if (means == UpdateMeans::DirectExecutable) {
            std::printf(" %s (replaces Velda.exe only)\n", origin.direct_url().c_str());
        } else {
            std::printf(" %s, saved as %s and unpacked\n", m.url,
                        analysis.package_file_name.c_str());
        }
    }
}

}  // namespace

int run_check(const CheckOptions& options) {
    for (const std::string& key_file : options.public_keys) {
        std::string pem;
        uint8_t point[kP256PointSize];
        if (!read_file_bytes(key_file, &pem)) {
            std::fprintf(stderr, "velda-release check: cannot read the key %s\n", key_file.c_str());
            return 1;
        }
        if (!p256_point_from_pem(pem.data(), pem.size(), point)) {
            std::fprintf(stderr,
                         "velda-release check: %s is no EC P-256 public key as "
                         "\"openssl ec -pubout\" writes it\n",
                         key_file.c_str());
            return 1;
        }
    }
    std::vector<std::string> notes;
    Origin origin(options, &notes);
    std::string text;
    std::string error;
    if (!origin.get_manifest(options.manifest, &text, &error)) {
        std::fprintf(stderr, "velda-release check: cannot read %s: %s\n", options.manifest.c_str(),
                     error.c_str());
        return 1;
    }
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    std::vector<std::string> traps = analysis.traps;
    notes.insert(notes.end(), analysis.notes.begin(), analysis.notes.end());

    std::printf("Manifest: %s (%zu bytes", options.manifest.c_str(), text.size());
    if (!origin.is_url()) {
        std::printf(", document root %s", origin.root().string().c_str());
    }
    std::printf(")\nAs the launcher reads it:\n");
    for (const FieldReading& field : analysis.fields) {
        print_field(field);
    }
    std::printf("  %-24s \"%s\"\n", "package file name", analysis.package_file_name.c_str());

    check_signature(origin, options, text, &traps, &notes);
    HashRule rule{!options.public_keys.empty()};
    Package package;
    check_package(origin, analysis, rule, &package, &traps);
    check_direct(origin, analysis.manifest, rule, package, &traps, &notes);
    check_changed_files(origin, analysis, rule, package, &traps);
    print_prediction(options, origin, analysis);

    for (const std::string& note : notes) {
        std::printf("note: %s\n", note.c_str());
    }
    for (const std::string& trap : traps) {
        std::printf("warning: %s\n", trap.c_str());
    }
    if (traps.empty()) {
        std::printf("Result: the release is sound\n");
        return 0;
    }
    std::printf("Result: %zu problem%s; the release is not sound\n", traps.size(),
                traps.size() == 1 ? "" : "s");
    return 1;
}
