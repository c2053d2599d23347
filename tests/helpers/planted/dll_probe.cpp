// A plain program, as one without the launcher's care would be: it imports winhttp.dll and
// bcrypt.dll the usual way and starts children by name, so the system's search finds them.
//
//   dll_probe.exe                 starts (its imports loaded), prints "probe started", exits 0
//   dll_probe.exe --run COMMAND   also runs COMMAND with CreateProcess and no program path,
//                                 waits, and prints "child exit=N" (or "child failed=ERROR")

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/win_handle.h"

int main(int argc, char** argv) {
    // Calls that keep both imports in the table; neither matters for what the probe shows.
    if (argc > 99) {
        WinHttpCheckPlatform();
        BCryptCloseAlgorithmProvider(nullptr, 0);
    }
    std::printf("probe started\n");
    std::fflush(stdout);
    if (argc < 3 || std::strcmp(argv[1], "--run") != 0) {
        return 0;
    }
    std::string command = argv[2];
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        std::printf("child failed=%lu\n", GetLastError());
        return 0;
    }
    velda::ChildProcess child(info);
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD exit_code = 1;
    GetExitCodeProcess(child.process.get(), &exit_code);
    std::printf("child exit=%lu\n", exit_code);
    return 0;
}
