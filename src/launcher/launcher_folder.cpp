#include "launcher/launcher_folder.h"

namespace velda {

bool launcher_folder_from_module_path(char* path, size_t length, size_t buffer_size) {
    if (length == 0 || length >= buffer_size) {
        return false;
    }
    // The first character is never a separator that counts: "\\x.exe" has no folder.
    for (size_t index = length; index >= 1; --index) {
        if (path[index] == '\\' || path[index] == '/') {
            path[index] = '\0';
            return true;
        }
    }
    return false;
}

}  // namespace velda
