#pragma once

#include <cstddef>

namespace velda {

// Cuts a module path at its last separator ('\\' or '/'), scanning down to index 1.
// length is what GetModuleFileNameA returned for a buffer of buffer_size bytes.
[[nodiscard]] bool launcher_folder_from_module_path(char* path, size_t length, size_t buffer_size);

}  // namespace velda
