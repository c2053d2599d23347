#pragma once

#include <cstddef>

namespace velda {

// Command lines the launcher hands to CreateProcess. Each returns false, with out empty, when
// the line does not fit: a cut command line would run something else.

// "<exe_path>": the quotes keep a path with spaces one argument.
[[nodiscard]] bool format_exe_command(const char* exe_path, char* out, size_t out_size);

// cmd.exe /C ""<batch_path>"": cmd strips the outer pair and keeps the quoted path.
[[nodiscard]] bool format_batch_command(const char* batch_path, char* out, size_t out_size);

}  // namespace velda
