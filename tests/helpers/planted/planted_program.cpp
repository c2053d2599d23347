// A program planted where a careless parent might find cmd.exe, powershell.exe or taskkill.exe:
// each run appends its command line (UTF-8) to "<its own path>.ran" and exits with 0.

#include <windows.h>

#include <string>

#include "common/win_handle.h"

int main() {
    wchar_t exe_path[MAX_PATH * 2] = {};
    if (GetModuleFileNameW(nullptr, exe_path, MAX_PATH * 2) == 0) {
        return 0;
    }
    std::wstring marker = std::wstring(exe_path) + L".ran";
    velda::UniqueFileHandle file(CreateFileW(marker.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 0;
    }
    const wchar_t* command_line = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, command_line, -1, nullptr, 0, nullptr, nullptr);
    std::string line(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, command_line, -1, line.data(), bytes, nullptr, nullptr);
    line.back() = '\n';
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 0;
}
