#include <windows.h>

#include <cstdio>

#include "launcher/standard_output.h"

namespace velda {

namespace {

// A file or a pipe that the starter handed over: the C runtime already writes to it.
bool is_redirected(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

}  // namespace

void connect_standard_output() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (is_redirected(output)) {
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return;
    }
    // The console belongs to the shell that started the launcher: Ctrl+C typed there is meant
    // for the shell, not for an update in progress.
    SetConsoleCtrlHandler(nullptr, TRUE);
    DWORD mode = 0;
    bool character_device = output != nullptr && output != INVALID_HANDLE_VALUE &&
                            GetFileType(output) == FILE_TYPE_CHAR;
    if (character_device && !GetConsoleMode(output, &mode)) {
        return;  // redirected to a device such as NUL
    }
    std::freopen("CONOUT$", "w", stdout);
}

}  // namespace velda
