#include "install/extract.h"

#include <windows.h>

#include "install/extract_command.h"
#include "install/progress_lines.h"
#include "launcher/common/log.h"
#include "launcher/common/win_handle.h"

namespace {

constexpr DWORD kReadChunkSize = 256;

struct ExtractProgressTarget {
    StatusPopup* popup;
    int spanish;
};

void show_extract_progress(uint32_t done, uint32_t total, void* user_data) {
    auto* target = static_cast<ExtractProgressTarget*>(user_data);
    if (target->popup != nullptr) {
        status_popup_set_extract_progress(target->popup, target->spanish, done, total);
    }
}

}  // namespace

bool extract_zip_with_progress(const char* zip_path, const char* destination, StatusPopup* popup,
                               int spanish) {
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

    if (popup != nullptr) {
        status_popup_set_extract_progress(popup, spanish, 0, 1);
    }

    ExtractProgressTarget target{popup, spanish};
    ProgressLineReader reader;
    progress_reader_init(&reader);
    char chunk[kReadChunkSize];
    DWORD received = 0;
    while (ReadFile(read_end.get(), chunk, sizeof(chunk), &received, nullptr) && received != 0) {
        progress_reader_feed(&reader, chunk, received, show_extract_progress, &target);
    }
    progress_reader_finish(&reader, show_extract_progress, &target);

    read_end.reset();
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD exit_code = 1;
    GetExitCodeProcess(child.process.get(), &exit_code);
    child.close();
    return exit_code == 0;
}
