#include "common/windows_version.h"

#include <windows.h>

namespace velda {

bool query_windows_version(WindowsVersion* version) {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    // Through a plain function pointer type: FARPROC's own signature is not the call's.
    auto rtl_get_version = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtl_get_version == nullptr || rtl_get_version(&info) != 0) {
        return false;
    }
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    return true;
}

}  // namespace velda
