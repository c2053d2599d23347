#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "changed_list.h"

namespace velda {

// Every file and folder under root, "/" separated, in byte order of their paths. Refuses
// links and special files, which a product folder cannot carry to Windows.
[[nodiscard]] bool scan_tree(const std::filesystem::path& root, std::vector<TreeEntry>* entries,
                             std::string* error);

std::filesystem::path tree_path(const std::filesystem::path& root, const std::string& relative);

[[nodiscard]] bool read_file_bytes(const std::filesystem::path& path, std::string* bytes);
[[nodiscard]] bool write_file_bytes(const std::filesystem::path& path, const std::string& bytes);

// Byte for byte; false also when either cannot be read.
[[nodiscard]] bool files_have_same_bytes(const std::filesystem::path& a,
                                         const std::filesystem::path& b);

// Copies the bytes, making the parent folders.
[[nodiscard]] bool copy_file_bytes(const std::filesystem::path& from,
                                   const std::filesystem::path& to, std::string* error);

// Seconds since 1970 of the file's last change; 0 when unknown.
int64_t file_unix_time(const std::filesystem::path& path);

}  // namespace velda
