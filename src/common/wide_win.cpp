#include "common/wide.h"

#include <windows.h>

namespace velda {

void utf8_to_wide(const char* utf8, wchar_t* out, int out_units) {
    if (out_units <= 0) {
        return;
    }
    ZeroMemory(out, sizeof(wchar_t) * static_cast<size_t>(out_units));
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, out_units) == 0) {
        out[0] = L'\0';
    }
}

bool ansi_path_to_wide(const char* path, wchar_t* out, int out_units) {
    if (out_units <= 0) {
        return false;
    }
    ZeroMemory(out, sizeof(wchar_t) * static_cast<size_t>(out_units));
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, out, out_units) == 0) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

bool wide_to_ansi_path(const wchar_t* wide, char* out, size_t out_size) {
    if (out_size == 0) {
        return false;
    }
    ZeroMemory(out, out_size);
    const int size = static_cast<int>(out_size);
    int bytes = 0;
    if (GetACP() == CP_UTF8) {
        bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr);
    } else {
        BOOL used_default = FALSE;
        bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, size, nullptr,
                                    &used_default);
        bytes = used_default ? 0 : bytes;
    }
    if (bytes == 0) {
        ZeroMemory(out, out_size);
        return false;
    }
    return true;
}

}  // namespace velda
