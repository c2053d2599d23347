#include "manifest_writer.h"

#include "manifest/manifest.h"
#include "net/url_filename.h"
#include "release_text.h"

namespace velda {

const ManifestKey kManifestKeys[kManifestKeyCount] = {
    {"version", kVersionTextSize},
    {"url", kManifestUrlSize},
    {"changed_from_version", kVersionTextSize},
    {"changed_files_url", kManifestUrlSize},
    {"changed_files_base_url", kManifestUrlSize},
};

namespace {

bool value_fits(const char* key, const std::string& value, size_t capacity,
                std::vector<std::string>* problems) {
    std::string why;
    if (!value_is_raw_safe(value, &why)) {
        problems->push_back(std::string("\"") + key + "\" " + why +
                            ", which the launcher would read raw");
        return false;
    }
    if (value.size() > capacity - 1) {
        problems->push_back(std::string("\"") + key + "\" is " + std::to_string(value.size()) +
                            " bytes; the launcher keeps at most " + std::to_string(capacity - 1));
        return false;
    }
    return true;
}

void check_url(const char* key, const std::string& url, std::vector<std::string>* problems) {
    if (!is_http_url(url)) {
        problems->push_back(std::string("\"") + key +
                            "\" is not an http or https URL: " + printable(url));
    }
}

void check_file_name(const char* key, const std::string& url, std::vector<std::string>* problems) {
    char name[kPathSize];
    extract_filename_from_url(url.c_str(), name);
    if (name[0] == '\0') {
        problems->push_back(std::string("\"") + key +
                            "\" names no file the launcher can save: " + printable(url));
    }
}

bool is_hex_digest(const std::string& value) {
    return value.size() == 64 && value.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void check_change_set(const std::string& version, const ChangeSet& set,
                      std::vector<std::string>* problems) {
    const std::string where = "change set from " + printable(set.from_version) + ": ";
    std::string why;
    if (!release_version_usable(set.from_version, &why)) {
        problems->push_back(where + "\"from\" " + why);
    } else if (compare_versions(set.from_version.c_str(), version.c_str()) !=
               VersionOrder::LocalOlder) {
        problems->push_back(where + "not older than \"version\" " + version +
                            ": a launcher at that version would count itself up to date");
    }
    std::vector<std::string> found;
    if (value_fits("list_url", set.list_url, kManifestUrlSize, &found)) {
        check_url("list_url", set.list_url, &found);
        check_file_name("list_url", set.list_url, &found);
    }
    if (value_fits("base_url", set.base_url, kManifestUrlSize, &found)) {
        check_url("base_url", set.base_url, &found);
    }
    if (!set.hashes_url.empty() &&
        value_fits("hashes_url", set.hashes_url, kManifestUrlSize, &found)) {
        check_url("hashes_url", set.hashes_url, &found);
    }
    for (const auto& [key, url] :
         {std::pair<const char*, const std::string*>{"patches_url", &set.patches_url},
          {"patch_base_url", &set.patch_base_url}}) {
        if (!url->empty() && value_fits(key, *url, kManifestUrlSize, &found)) {
            check_url(key, *url, &found);
        }
    }
    if (set.patches_url.empty() != set.patch_base_url.empty()) {
        found.push_back("\"patches_url\" and \"patch_base_url\" come together or not at all");
    }
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string*>{"list_sha256", &set.list_sha256},
          {"hashes_sha256", &set.hashes_sha256},
          {"patches_sha256", &set.patches_sha256}}) {
        if (!value->empty() && !is_hex_digest(*value)) {
            found.push_back(std::string("\"") + key + "\" is not 64 lower-case hex digits");
        }
    }
    for (const std::string& problem : found) {
        problems->push_back(where + problem);
    }
}

void check_launcher(const OfferedLauncher& launcher, std::vector<std::string>* problems) {
    std::string why;
    if (!release_version_usable(launcher.version, &why)) {
        problems->push_back("the launcher's version \"" + printable(launcher.version) + "\" " +
                            why);
    }
    if (value_fits("launcher url", launcher.url, kManifestUrlSize, problems)) {
        check_url("launcher url", launcher.url, problems);
    }
    if (launcher.sha256.size() != 64 ||
        launcher.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
        problems->push_back("the launcher's \"sha256\" is not 64 lower-case hex digits");
    }
    if (launcher.size == 0 || launcher.size > (uint64_t{1} << 53)) {
        problems->push_back("the launcher's \"size\" is not from 1 to 2^53");
    }
}

void check_details(const ReleaseManifest& manifest, std::vector<std::string>* problems) {
    const ReleaseDetails& details = manifest.details;
    if (details.change_sets.size() > kMaxChangeSets ||
        details.direct_from.size() > kMaxDirectFrom) {
        problems->push_back("more earlier versions than a launcher reads (at most " +
                            std::to_string(kMaxChangeSets) + ")");
    }
    for (const ChangeSet& set : details.change_sets) {
        // The set the single fields repeat has had its faults named already.
        bool repeated = manifest.has_changed_files &&
                        set.from_version == manifest.changed_from_version &&
                        set.list_url == manifest.changed_files_url &&
                        set.base_url == manifest.changed_files_base_url;
        if (!repeated) {
            check_change_set(manifest.version, set, problems);
        }
    }
    for (const std::string& version : details.direct_from) {
        std::string why;
        if (!release_version_usable(version, &why)) {
            problems->push_back("\"direct_from\" version \"" + printable(version) + "\" " + why);
        }
    }
    if (details.launcher) {
        check_launcher(*details.launcher, problems);
    }
}

void write_size(std::string* out, const char* key, const std::optional<uint64_t>& size) {
    if (size) {
        *out += std::string(", \"") + key + "\": " + std::to_string(*size);
    }
}

std::string change_set_json(const ChangeSet& set) {
    std::string out = "{\"from\": \"" + set.from_version + "\", \"list_url\": \"" + set.list_url +
                      "\", \"base_url\": \"" + set.base_url + "\"";
    auto text = [&out](const char* key, const std::string& value) {
        if (!value.empty()) {
            out += std::string(", \"") + key + "\": \"" + value + "\"";
        }
    };
    text("list_sha256", set.list_sha256);
    text("hashes_url", set.hashes_url);
    text("hashes_sha256", set.hashes_sha256);
    write_size(&out, "list_size", set.list_size);
    write_size(&out, "hashes_size", set.hashes_size);
    write_size(&out, "files_size", set.files_size);
    write_size(&out, "files_count", set.files_count);
    text("patches_url", set.patches_url);
    text("patches_sha256", set.patches_sha256);
    write_size(&out, "patches_size", set.patches_size);
    text("patch_base_url", set.patch_base_url);
    return out + "}";
}

// The members after the older ones, each on its line; the change sets one object a line.
std::string details_json(const ReleaseDetails& details) {
    std::string out;
    auto size = [&out](const char* key, const std::optional<uint64_t>& value) {
        if (value) {
            out += std::string(",\n  \"") + key + "\": " + std::to_string(*value);
        }
    };
    size("package_size", details.sizes.package);
    size("unpacked_size", details.sizes.unpacked);
    size("unpacked_files", details.sizes.unpacked_files);
    size("direct_size", details.sizes.direct);
    out += ",\n  \"direct_from\": [";
    for (size_t i = 0; i < details.direct_from.size(); ++i) {
        out += std::string(i == 0 ? "\"" : ", \"") + details.direct_from[i] + "\"";
    }
    out += "],\n  \"change_sets\": [";
    for (size_t i = 0; i < details.change_sets.size(); ++i) {
        out += std::string(i == 0 ? "\n    " : ",\n    ") + change_set_json(details.change_sets[i]);
    }
    out += details.change_sets.empty() ? "]" : "\n  ]";
    const std::pair<const char*, const std::string*> identity[] = {
        {"product", &details.identity.product},
        {"issued", &details.identity.issued},
        {"expires", &details.identity.expires},
    };
    for (const auto& [key, value] : identity) {
        if (!value->empty()) {
            out += std::string(",\n  \"") + key + "\": \"" + *value + "\"";
        }
    }
    if (details.launcher) {
        const OfferedLauncher& launcher = *details.launcher;
        out += ",\n  \"launcher\": {\"version\": \"" + launcher.version + "\", \"url\": \"" +
               launcher.url + "\", \"sha256\": \"" + launcher.sha256 +
               "\", \"size\": " + std::to_string(launcher.size) + "}";
    }
    return out;
}

}  // namespace

bool release_version_usable(const std::string& version, std::string* why) {
    if (version.empty()) {
        *why = "is empty";
        return false;
    }
    if (!value_is_raw_safe(version, why)) {
        return false;
    }
    if (version.size() > kVersionTextSize - 1) {
        *why = "is longer than " + std::to_string(kVersionTextSize - 1) + " bytes";
        return false;
    }
    if (version.find_first_of(" \t\n\v\f\r") != std::string::npos) {
        *why = "holds white space";
        return false;
    }
    if (!parse_version(version.c_str(), nullptr)) {
        *why = "does not parse as three whole numbers joined by dots (like 1.4.2)";
        return false;
    }
    return true;
}

bool validate_release_manifest(const ReleaseManifest& manifest,
                               std::vector<std::string>* problems) {
    size_t before = problems->size();
    std::string why;
    if (!release_version_usable(manifest.version, &why)) {
        problems->push_back("\"version\" " + why + ": " + printable(manifest.version));
    }
    if (value_fits("url", manifest.url, kManifestUrlSize, problems)) {
        check_url("url", manifest.url, problems);
        check_file_name("url", manifest.url, problems);
    }
    if (manifest.has_changed_files) {
        if (!release_version_usable(manifest.changed_from_version, &why)) {
            problems->push_back("\"changed_from_version\" " + why + ": " +
                                printable(manifest.changed_from_version));
        } else if (compare_versions(manifest.changed_from_version.c_str(),
                                    manifest.version.c_str()) != VersionOrder::LocalOlder) {
            problems->push_back("\"changed_from_version\" " + manifest.changed_from_version +
                                " is not older than \"version\" " + manifest.version +
                                ": a launcher at that version would count itself up to date");
        }
        if (value_fits("changed_files_url", manifest.changed_files_url, kManifestUrlSize,
                       problems)) {
            check_url("changed_files_url", manifest.changed_files_url, problems);
            check_file_name("changed_files_url", manifest.changed_files_url, problems);
        }
        if (value_fits("changed_files_base_url", manifest.changed_files_base_url, kManifestUrlSize,
                       problems)) {
            check_url("changed_files_base_url", manifest.changed_files_base_url, problems);
        }
    }
    const std::pair<const char*, const std::string*> hashes[] = {
        {"package_sha256", &manifest.package_sha256},
        {"direct_sha256", &manifest.direct_sha256},
        {"changed_files_sha256", &manifest.changed_files_sha256},
        {"changed_files_hashes_sha256", &manifest.changed_files_hashes_sha256},
    };
    for (const auto& [key, value] : hashes) {
        if (!value->empty() &&
            (value->size() != 64 ||
             value->find_first_not_of("0123456789abcdef") != std::string::npos)) {
            problems->push_back(std::string("\"") + key + "\" is not 64 lower-case hex digits");
        }
    }
    if (!manifest.changed_files_hashes_url.empty() &&
        value_fits("changed_files_hashes_url", manifest.changed_files_hashes_url, kManifestUrlSize,
                   problems)) {
        check_url("changed_files_hashes_url", manifest.changed_files_hashes_url, problems);
    }
    if (manifest.has_details) {
        check_details(manifest, problems);
    }
    return problems->size() == before;
}

std::string write_manifest_json(const ReleaseManifest& manifest) {
    std::string out;
    auto member = [&out](const char* key, const std::string& value) {
        out += std::string(out.empty() ? "{\n" : ",\n") + "  \"" + key + "\": \"" + value + "\"";
    };
    auto optional_member = [&member](const char* key, const std::string& value) {
        if (!value.empty()) {
            member(key, value);
        }
    };
    member("version", manifest.version);
    member("url", manifest.url);
    if (manifest.has_changed_files) {
        member("changed_from_version", manifest.changed_from_version);
        member("changed_files_url", manifest.changed_files_url);
        member("changed_files_base_url", manifest.changed_files_base_url);
    }
    optional_member("package_sha256", manifest.package_sha256);
    optional_member("direct_sha256", manifest.direct_sha256);
    optional_member("changed_files_sha256", manifest.changed_files_sha256);
    optional_member("changed_files_hashes_url", manifest.changed_files_hashes_url);
    optional_member("changed_files_hashes_sha256", manifest.changed_files_hashes_sha256);
    if (manifest.has_details) {
        out += details_json(manifest.details);
    }
    out += "\n}\n";
    return out;
}

}  // namespace velda
