#pragma once

#include <cstddef>

constexpr size_t kUrlFilenameSize = 260;

// Last path segment of url without its query, or empty when the URL names no usable file.
void extract_filename_from_url(const char* url, char out[kUrlFilenameSize]);
