#include "start/command_line.h"

#include <cstdarg>
#include <cstdio>

namespace velda {

namespace {

__attribute__((format(printf, 3, 4))) bool format_whole(char* out, size_t out_size,
                                                        const char* format, ...) {
    if (out_size == 0) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(out, out_size, format, arguments);
    va_end(arguments);
    if (written < 0 || static_cast<size_t>(written) >= out_size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

bool format_exe_command(const char* exe_path, char* out, size_t out_size) {
    return format_whole(out, out_size, "\"%s\"", exe_path);
}

bool format_batch_command(const char* batch_path, char* out, size_t out_size) {
    return format_whole(out, out_size, "cmd.exe /C \"\"%s\"\"", batch_path);
}

}  // namespace velda
