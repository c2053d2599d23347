#pragma once

#include <cstddef>

constexpr size_t kExtractCommandSize = 4096;

// The extraction command template: two %s, the package path and then the destination.
extern const char kExtractCommandTemplate[];

// Formats the command with every single quote in both paths doubled, so that each stays one
// single-quoted PowerShell string. Returns false when the result does not fit.
bool format_extract_command(const char* zip_path, const char* destination, char* out,
                            size_t out_size);
