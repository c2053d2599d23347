#include "common/log.h"

#include <cstdarg>
#include <cstdio>

#include "common/log_sink.h"

namespace velda {

void log_line(const char* message) {
    std::printf("[launcher] %s\n", message);
    // The launcher may be ended from outside at any moment; keep redirected logs complete.
    std::fflush(stdout);
    log_sink_write("launcher", message);
}

void log_detail(const char* format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof(message), format, arguments);
    va_end(arguments);
    log_sink_write("detalle", message);
}

}  // namespace velda
