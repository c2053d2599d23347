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
    out += "\n}\n";
    return out;
}

}  // namespace velda
