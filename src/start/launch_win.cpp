#include "start/launch.h"

#include <windows.h>

#include "common/fs.h"
#include "common/install_paths.h"
#include "common/log.h"
#include "common/path_size.h"
#include "common/text.h"
#include "start/command_line.h"
#include "start/process.h"

namespace velda {

bool launch_velda(const char* folder) {
    char exe_path[kPathSize] = {};
    if (!product_path_in(folder, exe_path)) {
        return false;  // Run-Velda.bat is a longer name still.
    }
    if (file_exists_not_directory(exe_path)) {
        char command_line[2 * kPathSize] = {};
        if (format_exe_command(exe_path, command_line, sizeof(command_line)) &&
            start_detached({exe_path, command_line}, folder, 0)) {
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
    if (!join_path(folder, "Run-Velda.bat", batch_path) || !file_exists_not_directory(batch_path)) {
        return false;
    }
    char interpreter[kPathSize] = {};
    char command_line[3 * kPathSize] = {};
    if (system_program_path("cmd.exe", interpreter) &&
        format_batch_command(batch_path, command_line, sizeof(command_line)) &&
        start_detached({interpreter, command_line}, folder, CREATE_NO_WINDOW)) {
        return true;
    }
    char message[192] = {};
    format_bounded(message, sizeof(message), "CreateProcess(Run-Velda.bat) fallo. GetLastError=%lu",
                   GetLastError());
    log_line(message);
    return false;
}

}  // namespace velda
