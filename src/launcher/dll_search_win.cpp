#include "launcher/dll_search.h"

#include <windows.h>

namespace velda {

namespace {

// The DLLs the build delay-loads (cmake/delay_load.cmake).
constexpr const wchar_t* kDelayLoadedDlls[] = {L"winhttp.dll", L"bcrypt.dll"};

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Loads each delay-loaded DLL now by its full path in the system folder and keeps it for the
// run: any later load by name then finds it loaded, the delay-load stubs' and also one that a
// system DLL makes through the usual search (Wine resolves its own DLLs' delay-loads that way,
// past SetDefaultDllDirectories). It also covers Windows 7 without its 2011 loader update,
// which lacks SetDefaultDllDirectories.
void load_delay_loaded_dlls_from_system_folder() {
    wchar_t system_folder[MAX_PATH] = {};
    UINT units = GetSystemDirectoryW(system_folder, MAX_PATH);
    if (units == 0 || units >= MAX_PATH) {
        return;
    }
    for (const wchar_t* name : kDelayLoadedDlls) {
        wchar_t path[2 * MAX_PATH] = {};
        if (lstrlenW(system_folder) + 1 + lstrlenW(name) < 2 * MAX_PATH) {
            lstrcpyW(path, system_folder);
            lstrcatW(path, L"\\");
            lstrcatW(path, name);
            LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
}

}  // namespace

void load_dlls_from_system_folder_only() {
    // kernel32 is loaded in every process before this runs.
    auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default_dll_directories == nullptr ||
        !set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetDllDirectoryW(L"");  // at least the current folder leaves the search
    }
    load_delay_loaded_dlls_from_system_folder();
}

}  // namespace velda
