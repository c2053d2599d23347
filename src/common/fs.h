#pragma once

#include <string_view>

namespace velda {

// Makes sure that path names a directory; creates this one level when it is missing.
[[nodiscard]] bool ensure_directory(const char* path);

// True when path names an existing file that is not a directory.
[[nodiscard]] bool file_exists_not_directory(const char* path);

// True when path names an existing directory.
[[nodiscard]] bool directory_exists(const char* path);

// Creates or empties path and writes bytes, flushed to the disk before the file is closed: what a
// record that is then moved into place needs. False, GetLastError() set, when any step failed.
[[nodiscard]] bool write_flushed_file(const char* path, std::string_view bytes);
[[nodiscard]] bool write_flushed_file(const wchar_t* path, std::string_view bytes);

}  // namespace velda
