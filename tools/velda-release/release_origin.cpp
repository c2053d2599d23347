#include "release_origin.h"

#include "launcher/server_paths.h"
#include "release_text.h"
#include "tree_files.h"

namespace velda {

namespace fs = std::filesystem;

Origin::Origin(const CheckOptions& options, std::vector<std::string>* notes) {
    fetch_.ca_file = options.ca_file;
    is_url_ = is_http_url(options.manifest);
    if (is_url_) {
        std::string_view url = options.manifest;
        size_t host = url.find("://") + 3;
        size_t slash = url.find_first_of("/?#", host);
        server_ = std::string(url.substr(0, slash));
        if (url_request_path(url) != kManifestPath) {
            notes->push_back(std::string("the launcher fetches the manifest from ") +
                             kManifestPath + " on its server, not from " + url_request_path(url));
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

std::string Origin::direct_url() const {
    return is_url_ ? server_ + kDirectExecutablePath
                   : std::string(kDirectExecutablePath) + " on the launcher's server";
}

bool Origin::get(const std::string& url, std::string* body, std::string* where,
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

bool Origin::get_direct(std::string* body, std::string* where, std::string* error) const {
    if (is_url_) {
        return get(direct_url(), body, where, error);
    }
    return get(std::string("http://root") + kDirectExecutablePath, body, where, error);
}

bool Origin::get_signature(const std::string& manifest, std::string* body, std::string* where,
                           std::string* error) const {
    *where = manifest + kManifestSignatureSuffix;
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

bool Origin::get_manifest(const std::string& manifest, std::string* body,
                          std::string* error) const {
    if (is_url_) {
        return fetch_url(manifest, fetch_, body, error);
    }
    if (!read_file_bytes(manifest, body)) {
        *error = "cannot read the file";
        return false;
    }
    return true;
}

bool Origin::local_path(const std::string& url, fs::path* path, std::string* error) const {
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

}  // namespace velda
