#include "common/wide.h"

#include <windows.h>

void utf8_to_wide(const char* utf8, wchar_t* out, int out_units) {
    if (out_units <= 0) {
        return;
    }
    ZeroMemory(out, sizeof(wchar_t) * static_cast<size_t>(out_units));
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, out_units) == 0) {
        out[0] = L'\0';
    }
}
