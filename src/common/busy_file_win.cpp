#include "common/busy_file.h"

#include <windows.h>

namespace velda {

bool held_by_another_program(const char* path, uint32_t win32_error) {
    if (!is_busy_file_error(win32_error)) {
        return false;
    }
    // Access denied on a read-only file or a directory is the file's own doing.
    DWORD attributes = GetFileAttributesA(path);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

namespace {

template <typename Operation>
bool retry_while_busy(const char* path, Operation operation) {
    BusyFileBackoff backoff;
    for (;;) {
        if (operation()) {
            return true;
        }
        DWORD error = GetLastError();
        uint32_t wait = held_by_another_program(path, error) ? backoff.next_wait_ms() : 0;
        if (wait == 0) {
            SetLastError(error);
            return false;
        }
        Sleep(wait);
    }
}

}  // namespace

bool replace_file_when_free(const char* source, const char* target) {
    return retry_while_busy(target, [&] {
        return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
               FALSE;
    });
}

bool delete_file_when_free(const char* path) {
    return retry_while_busy(path, [&] { return DeleteFileA(path) != FALSE; });
}

}  // namespace velda
