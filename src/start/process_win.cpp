#include "start/process.h"

#include <windows.h>

#include "common/win_handle.h"

namespace {

// 256-byte reads keep the progress lines flowing as the child writes them.
constexpr DWORD kReadChunkSize = 256;

DWORD wait_for_exit_code(const ChildProcess& child) {
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD exit_code = 1;
    GetExitCodeProcess(child.process.get(), &exit_code);
    return exit_code;
}

bool run_hidden_without_output(char* command_line, DWORD* exit_code) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    ChildProcess child(info);
    *exit_code = wait_for_exit_code(child);
    child.close();
    return true;
}

bool run_hidden_with_output(char* command_line, ChildOutput* output, DWORD* exit_code) {
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

    BOOL started = CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &info);
    // From here the read end sees end of data once the child's copies are gone.
    write_end.reset();
    if (!started) {
        read_end.reset();
        return false;
    }
    ChildProcess child(info);

    output->started();
    char chunk[kReadChunkSize];
    DWORD received = 0;
    while (ReadFile(read_end.get(), chunk, sizeof(chunk), &received, nullptr) && received != 0) {
        output->received(chunk, received);
    }
    output->finished();

    read_end.reset();
    *exit_code = wait_for_exit_code(child);
    child.close();
    return true;
}

}  // namespace

bool start_detached(char* command_line, const char* folder, unsigned long creation_flags) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, creation_flags, nullptr,
                        folder, &startup, &info)) {
        return false;
    }
    // The product runs on by itself; only our handles to it close here.
    ChildProcess child(info);
    return true;
}

bool run_hidden(char* command_line, ChildOutput* output, unsigned long* exit_code) {
    *exit_code = 1;
    if (output == nullptr) {
        return run_hidden_without_output(command_line, exit_code);
    }
    return run_hidden_with_output(command_line, output, exit_code);
}
