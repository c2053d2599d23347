#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tree_files.h"

namespace velda {

// The release's package: the product folder's tree as one ZIP archive.

// Writes tree, read from product, to zip_path in its order.
[[nodiscard]] bool write_package(const std::filesystem::path& product,
                                 const std::vector<TreeEntry>& tree,
                                 const std::filesystem::path& zip_path, std::string* error);

// Reads the written package back: every entry present once, in order, with its bytes.
[[nodiscard]] bool verify_package(const std::filesystem::path& zip_path,
                                  const std::filesystem::path& product,
                                  const std::vector<TreeEntry>& tree, std::string* error);

}  // namespace velda
