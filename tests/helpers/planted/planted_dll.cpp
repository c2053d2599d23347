// A DLL planted where a program might look for winhttp.dll or bcrypt.dll: every process that
// loads it appends its own path to "<this DLL's path>.loaded". It exports the one function of
// each that dll_probe imports, so that a program importing them starts with it.

#include <windows.h>

#include <string>

#include "common/win_handle.h"

namespace {

void record_load(HINSTANCE instance) {
    wchar_t dll_path[MAX_PATH * 2] = {};
    wchar_t exe_path[MAX_PATH * 2] = {};
    if (GetModuleFileNameW(instance, dll_path, MAX_PATH * 2) == 0) {
        return;
    }
    GetModuleFileNameW(nullptr, exe_path, MAX_PATH * 2);
    std::wstring marker = std::wstring(dll_path) + L".loaded";
    velda::UniqueFileHandle file(CreateFileW(marker.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    char line[MAX_PATH * 8] = {};
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, exe_path, -1, line, sizeof(line) - 2, nullptr, nullptr);
    if (bytes > 0) {
        line[bytes - 1] = '\n';
        DWORD written = 0;
        WriteFile(file.get(), line, static_cast<DWORD>(bytes), &written, nullptr);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        record_load(instance);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI WinHttpCheckPlatform() {
    return TRUE;
}

extern "C" __declspec(dllexport) LONG WINAPI BCryptCloseAlgorithmProvider(void*, ULONG) {
    return 0;
}
