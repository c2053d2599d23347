#pragma once

namespace velda {

// Makes sure that path names a directory; creates this one level when it is missing.
[[nodiscard]] bool ensure_directory(const char* path);

// True when path names an existing file that is not a directory.
[[nodiscard]] bool file_exists_not_directory(const char* path);

// True when path names an existing directory.
[[nodiscard]] bool directory_exists(const char* path);

}  // namespace velda
