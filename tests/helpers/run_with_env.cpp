// Starts a program with a controlled environment and returns its exit code.
//
//   run_with_env.exe [--set NAME=VALUE]... [--unset NAME]... [--cwd DIR]
//                    [--kill-when-exists WINPATH] [--kill-after-ms N] -- PROGRAM ARGS...
//
// Wine fills some variables (APPDATA among them) from its registry for a process started from
// Linux; a Windows parent that sets them before CreateProcess is the only way to control them.
// The child inherits the standard handles. Its pid goes to stderr as "child-pid=N". Exit code:
// the child's, 99 when this program ended it (file appeared or time ran out), 2 on bad use.

#include "helper_util.h"
#include "common/win_handle.h"

#include <string>
#include <vector>

using namespace velda;

namespace {

const DWORD kPollMs = 10;
const int kKilledExitCode = 99;

struct Options {
    std::string cwd;
    std::string kill_file;
    unsigned long kill_after_ms = 0;
    std::vector<std::string> command;
};

// One argument, quoted so that the C runtime's parser gives it back unchanged.
std::string quote_argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

bool parse(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--set" && has_value) {
            std::string assignment = argv[++i];
            size_t equals = assignment.find('=');
            if (equals == 0 || equals == std::string::npos) {
                return false;
            }
            SetEnvironmentVariableA(assignment.substr(0, equals).c_str(),
                                    assignment.substr(equals + 1).c_str());
        } else if (arg == "--unset" && has_value) {
            SetEnvironmentVariableA(argv[++i], nullptr);
        } else if (arg == "--cwd" && has_value) {
            options->cwd = argv[++i];
        } else if (arg == "--kill-when-exists" && has_value) {
            options->kill_file = argv[++i];
        } else if (arg == "--kill-after-ms" && has_value) {
            if (!helper::parse_number(argv[++i], &options->kill_after_ms)) {
                return false;
            }
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) {
        options->command.push_back(argv[i]);
    }
    return !options->command.empty();
}

// Standard handles must be inheritable for the child to get them.
void make_inheritable(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: run_with_env [--set N=V]... [--unset N]... [--cwd DIR] "
                "[--kill-when-exists PATH] [--kill-after-ms N] -- PROGRAM ARGS...\n");
        return 2;
    }

    std::string command_line;
    for (const std::string& arg : options.command) {
        command_line += (command_line.empty() ? "" : " ") + quote_argument(arg);
    }
    std::vector<char> buffer(command_line.begin(), command_line.end());
    buffer.push_back('\0');

    make_inheritable(STD_INPUT_HANDLE);
    make_inheritable(STD_OUTPUT_HANDLE);
    make_inheritable(STD_ERROR_HANDLE);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    // Under load, Wine now and then refuses a start with ERROR_INTERNAL_ERROR right after another
    // process of the prefix was killed; the same start succeeds a moment later.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 4 && !started; ++attempt) {
        if (attempt > 0) {
            if (GetLastError() != ERROR_INTERNAL_ERROR) {
                break;
            }
            Sleep(500);
        }
        started =
            CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &info);
    }
    if (!started) {
        fprintf(stderr, "run_with_env: CreateProcess failed, error %lu: %s\n", GetLastError(),
                command_line.c_str());
        return 2;
    }
    ChildProcess child(info);
    fprintf(stderr, "child-pid=%lu\n", info.dwProcessId);
    fflush(stderr);

    ULONGLONG deadline = GetTickCount64() + options.kill_after_ms;
    for (;;) {
        if (WaitForSingleObject(child.process.get(), kPollMs) != WAIT_TIMEOUT) {
            break;
        }
        const char* reason = nullptr;
        if (!options.kill_file.empty() &&
            GetFileAttributesA(options.kill_file.c_str()) != INVALID_FILE_ATTRIBUTES) {
            reason = "file";
        } else if (options.kill_after_ms != 0 && GetTickCount64() >= deadline) {
            reason = "timeout";
        }
        if (reason != nullptr) {
            TerminateProcess(child.process.get(), kKilledExitCode);
            WaitForSingleObject(child.process.get(), 5000);
            fprintf(stderr, "killed=%s\n", reason);
            fflush(stderr);
            return kKilledExitCode;
        }
    }
    DWORD exit_code = 1;
    GetExitCodeProcess(child.process.get(), &exit_code);
    return static_cast<int>(exit_code);
}
