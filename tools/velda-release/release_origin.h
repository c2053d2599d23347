#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "check.h"
#include "fetch.h"

namespace velda {

// Where the release's files come from: a server, or a folder laid out as its document root.
class Origin {
  public:
    Origin(const CheckOptions& options, std::vector<std::string>* notes);

    bool is_url() const { return is_url_; }
    const std::filesystem::path& root() const { return root_; }

    std::string direct_url() const;

    // The body of a URL the release names; where tells the file or URL that was read.
    [[nodiscard]] bool get(const std::string& url, std::string* body, std::string* where,
                           std::string* error) const;
    [[nodiscard]] bool get_direct(std::string* body, std::string* where, std::string* error) const;
    // The detached signature beside the manifest: its URL or file name with the signature's
    // suffix added.
    [[nodiscard]] bool get_signature(const std::string& manifest, std::string* body,
                                     std::string* where, std::string* error) const;
    [[nodiscard]] bool get_manifest(const std::string& manifest, std::string* body,
                                    std::string* error) const;

  private:
    // The file a server serving root would answer with for this URL's path.
    [[nodiscard]] bool local_path(const std::string& url, std::filesystem::path* path,
                                  std::string* error) const;

    bool is_url_ = false;
    std::string server_;
    std::filesystem::path root_;
    FetchOptions fetch_;
};

}  // namespace velda
