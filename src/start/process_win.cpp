#include "start/process.h"

#include <windows.h>

#include <thread>
#include <utility>

#include "common/win_handle.h"

namespace velda {

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

// A pipe whose write end the child inherits and whose read end stays ours alone, or the pipe
// would never report its end.
bool create_child_pipe(UniqueHandle* read_end, UniqueHandle* write_end) {
    SECURITY_ATTRIBUTES pipe_security;
    ZeroMemory(&pipe_security, sizeof(pipe_security));
    pipe_security.nLength = sizeof(pipe_security);
    pipe_security.lpSecurityDescriptor = nullptr;
    pipe_security.bInheritHandle = TRUE;
    if (!CreatePipe(read_end->put(), write_end->put(), &pipe_security, 0)) {
        return false;
    }
    if (!SetHandleInformation(read_end->get(), HANDLE_FLAG_INHERIT, 0)) {
        read_end->reset();
        write_end->reset();
        return false;
    }
    return true;
}

// Reads stderr to its end on a thread of its own, so that a child that writes much there never
// blocks while stdout is read.
class ErrorPipeReader {
  public:
    ErrorPipeReader(UniqueHandle read_end, FirstLine* line)
        : read_end_(std::move(read_end)), line_(line) {}
    ~ErrorPipeReader() { join(); }
    ErrorPipeReader(const ErrorPipeReader&) = delete;
    ErrorPipeReader& operator=(const ErrorPipeReader&) = delete;

    void start() {
        thread_ = std::thread([this] {
            char chunk[kReadChunkSize];
            DWORD received = 0;
            while (ReadFile(read_end_.get(), chunk, sizeof(chunk), &received, nullptr) &&
                   received != 0) {
                line_->feed(chunk, received);
            }
        });
    }
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
        read_end_.reset();
    }

  private:
    UniqueHandle read_end_;
    FirstLine* line_;
    std::thread thread_;
};

bool run_hidden_with_output(char* command_line, ChildOutput* output, DWORD* exit_code,
                            FirstLine* error_line) {
    UniqueHandle read_end;
    UniqueHandle write_end;
    UniqueHandle error_read_end;
    UniqueHandle error_write_end;
    if (!create_child_pipe(&read_end, &write_end) ||
        (error_line != nullptr && !create_child_pipe(&error_read_end, &error_write_end))) {
        return false;
    }

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write_end.get();
    startup.hStdError = error_line != nullptr ? error_write_end.get() : write_end.get();
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof(info));

    BOOL started = CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &info);
    // From here the read ends see end of data once the child's copies are gone.
    write_end.reset();
    error_write_end.reset();
    if (!started) {
        return false;
    }
    ChildProcess child(info);
    ErrorPipeReader errors(std::move(error_read_end), error_line);
    if (error_line != nullptr) {
        errors.start();
    }

    output->started();
    char chunk[kReadChunkSize];
    DWORD received = 0;
    while (ReadFile(read_end.get(), chunk, sizeof(chunk), &received, nullptr) && received != 0) {
        output->received(chunk, received);
    }
    output->finished();

    read_end.reset();
    errors.join();
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

bool run_hidden(char* command_line, ChildOutput* output, unsigned long* exit_code,
                FirstLine* error_line) {
    *exit_code = 1;
    if (output == nullptr) {
        return run_hidden_without_output(command_line, exit_code);
    }
    return run_hidden_with_output(command_line, output, exit_code, error_line);
}

}  // namespace velda
