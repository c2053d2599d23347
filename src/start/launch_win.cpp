#include "start/launch.h"

#include <windows.h>

#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win_handle.h"

namespace {

// Starts command_line with folder as its current directory; the product runs on by itself.
bool start_detached(char* command_line, DWORD creation_flags, const char* folder) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, creation_flags, nullptr,
                        folder, &startup, &info)) {
        return false;
    }
    ChildProcess child(info);
    return true;
}

}  // namespace

bool launch_velda(const char* folder) {
    char exe_path[kPathSize] = {};
    product_path_in(folder, exe_path);
    if (file_exists_not_directory(exe_path)) {
        char command_line[2 * kPathSize] = {};
        format_bounded(command_line, sizeof(command_line), "\"%s\"", exe_path);
        if (start_detached(command_line, 0, folder)) {
            return true;
        }
        char message[256] = {};
        format_bounded(message, sizeof(message),
                       "CreateProcess(Velda.exe) fallo. GetLastError=%lu. Intentando "
                       "Run-Velda.bat...",
                       GetLastError());
        log_line(message);
    }

    char batch_path[kPathSize] = {};
    format_bounded(batch_path, sizeof(batch_path), "%s\\Run-Velda.bat", folder);
    if (!file_exists_not_directory(batch_path)) {
        return false;
    }
    char command_line[3 * kPathSize] = {};
    format_bounded(command_line, sizeof(command_line), "cmd.exe /C \"\"%s\"\"", batch_path);
    if (start_detached(command_line, CREATE_NO_WINDOW, folder)) {
        return true;
    }
    char message[192] = {};
    format_bounded(message, sizeof(message), "CreateProcess(Run-Velda.bat) fallo. GetLastError=%lu",
                   GetLastError());
    log_line(message);
    return false;
}
