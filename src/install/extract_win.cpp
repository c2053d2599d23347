#include "install/extract.h"

#include <windows.h>

#include "install/extract_command.h"
#include "install/progress_lines.h"
#include "common/log.h"
#include "common/win_handle.h"

namespace {

constexpr DWORD kReadChunkSize = 256;

}  // namespace

bool extract_zip_with_progress(const char* zip_path, const char* destination,
                               ProgressCallback callback, void* user_data) {
    log_line("Descomprimiendo actualizacion...");

    char command[kExtractCommandSize];
    if (!format_extract_command(zip_path, destination, command, sizeof(command))) {
        return false;
    }

    SECURITY_ATTRIBUTES pipe_security;
    ZeroMemory(&pipe_security, sizeof(pipe_security));
    pipe_security.nLength = sizeof(pipe_security);
    pipe_security.lpSecurityDescriptor = nullptr;
    pipe_security.bInheritHandle = TRUE;

    UniqueHandle read_end;
    UniqueHandle write_end;
    if (!CreatePipe(read_end.put(), write_end.put(), &pipe_security, 0)) {
        return false;
    }
    // Only the write end may reach the child, or the pipe would never report its end.
    if (!SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) {
        read_end.reset();
        write_end.reset();
        return false;
    }

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof(info));

    BOOL started = CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &info);
    // From here the read end sees end of data once the child's copies are gone.
    write_end.reset();
    if (!started) {
        read_end.reset();
        return false;
    }
    ChildProcess child(info);

    callback(0, 1, user_data);

    ProgressLineReader reader;
    progress_reader_init(&reader);
    char chunk[kReadChunkSize];
    DWORD received = 0;
    while (ReadFile(read_end.get(), chunk, sizeof(chunk), &received, nullptr) && received != 0) {
        progress_reader_feed(&reader, chunk, received, callback, user_data);
    }
    progress_reader_finish(&reader, callback, user_data);

    read_end.reset();
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD exit_code = 1;
    GetExitCodeProcess(child.process.get(), &exit_code);
    child.close();
    return exit_code == 0;
}
