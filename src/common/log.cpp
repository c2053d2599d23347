#include "common/log.h"

#include <cstdio>

void log_line(const char* message) {
    std::printf("[launcher] %s\n", message);
    // The launcher may be ended from outside at any moment; keep redirected logs complete.
    std::fflush(stdout);
}
