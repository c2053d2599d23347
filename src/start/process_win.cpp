#include "start/process.h"

#include <windows.h>

#include <string>
#include <thread>
#include <utility>

#include "common/install_paths.h"
#include "common/wide.h"
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

// The launcher's environment with the program's variables, for this child alone; none when
// the program has no variables (the child then inherits the launcher's).
class ChildEnvironment {
  public:
    explicit ChildEnvironment(const ChildProgram& program) {
        if (program.variable_count == 0) {
            return;
        }
        UniqueEnvironmentStrings parent(GetEnvironmentStringsW());
        block_ = environment_block_with(parent.get(), program.variables, program.variable_count);
    }

    void* block() { return block_.empty() ? nullptr : block_.data(); }
    DWORD creation_flags() const { return block_.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT; }

  private:
    std::wstring block_;
};

// Every child goes through here: its program by full path, never searched for.
bool create_child(const ChildProgram& program, BOOL inherit_handles, DWORD creation_flags,
                  const char* folder, STARTUPINFOA* startup, PROCESS_INFORMATION* info) {
    ChildEnvironment environment(program);
    return CreateProcessA(program.path, program.command_line, nullptr, nullptr, inherit_handles,
                          creation_flags | environment.creation_flags(), environment.block(),
                          folder, startup, info) != FALSE;
}

bool run_hidden_without_output(const ChildProgram& program, DWORD* exit_code) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!create_child(program, FALSE, CREATE_NO_WINDOW, nullptr, &startup, &info)) {
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

bool run_hidden_with_output(const ChildProgram& program, ChildOutput* output, DWORD* exit_code,
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

    bool started = create_child(program, TRUE, CREATE_NO_WINDOW, nullptr, &startup, &info);
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

bool system_program_path(const char* relative_path, char out[kPathSize]) {
    out[0] = '\0';
    wchar_t wide_folder[MAX_PATH] = {};
    UINT units = GetSystemDirectoryW(wide_folder, MAX_PATH);
    if (units == 0 || units >= MAX_PATH) {
        return false;
    }
    char folder[kPathSize] = {};
    return wide_to_ansi_path(wide_folder, folder, sizeof(folder)) &&
           join_path(folder, relative_path, out);
}

bool start_detached(const ChildProgram& program, const char* folder, unsigned long creation_flags) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!create_child(program, FALSE, creation_flags, folder, &startup, &info)) {
        return false;
    }
    // The product runs on by itself; only our handles to it close here.
    ChildProcess child(info);
    return true;
}

bool run_hidden(const ChildProgram& program, ChildOutput* output, unsigned long* exit_code,
                FirstLine* error_line) {
    *exit_code = 1;
    if (output == nullptr) {
        return run_hidden_without_output(program, exit_code);
    }
    return run_hidden_with_output(program, output, exit_code, error_line);
}

}  // namespace velda
